#pragma once

#include "TLCondition.h"

#include <QString>

class TLFileSystemHelper
{
public:
    // "\" and "/" both become the running system's separator.
    static QString adaptFileOrPathToSystem(const QString &path);

    // Copies source to destination. The destination is written under a temporary name and
    // renamed in one step, so nobody ever sees it half-written, and a link in its place is
    // replaced rather than followed. With overwrite false an existing destination is an error.
    static TLCondition copyFile(const QString &source, const QString &destination, bool overwrite);
};
