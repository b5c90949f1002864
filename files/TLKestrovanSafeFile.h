#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

// Files that other programs share with the driver, and may at any moment change, replace, or
// swap for a named pipe, a device or a link. Opening never blocks and only ever yields a
// regular file; replacing never writes through a link.
class TLKestrovanSafeFile
{
public:
    enum class Read { Whole, TooLarge, Failed };

    // Opens path for reading (mode may add QIODevice::Text) when it is a regular file, or a link
    // to one; false for anything else: a named pipe, a device, a folder, a dangling link.
    static bool openRegularFile(QFile &file, const QString &path,
                                QIODevice::OpenMode mode = QIODevice::ReadOnly);
    // Reads the open file to its end, but never more than maxBytes + 1 bytes: a larger file is
    // TooLarge, and then content is empty.
    static Read readAtMost(QFile &file, qint64 maxBytes, QByteArray &content);
    // Puts content in the place of whatever path names (a file, a link, nothing), in one step:
    // written to a new file beside it, then renamed over it. A link is replaced, never followed.
    static bool replace(const QString &path, const QByteArray &content);
};
