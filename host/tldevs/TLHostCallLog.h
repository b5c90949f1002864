#pragma once

#include <QStringList>

// Every call the driver makes on the host's singletons, in order, as "Class::call(args)".
// Written from any thread.
class TLHostCallLog
{
public:
    static void record(const QString &call);
    static QStringList calls();
    static void clear();
};
