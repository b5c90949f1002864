#pragma once

#include "TLTraceChunk.h"

#include <QFile>
#include <QString>

// Writes a trace file in the format that kestrovan-host --trace writes: one chunk or note a
// line, each flushed at once, so that the file is complete up to the moment a run ends, however
// it ends.
class TLTraceWriter
{
public:
    // Replaces the file; false with errorString() when it cannot be written.
    bool open(const QString &path);
    // Writes to standard output instead, after whatever is there already.
    bool openStandardOutput();
    void write(const TLTraceChunk &chunk);
    // A line that readers pass over; '#' is put in front.
    void note(const QByteArray &text);
    bool isOpen() const { return file.isOpen(); }
    QString errorString() const { return file.errorString(); }

private:
    void writeLine(const QByteArray &line);

    QFile file;
};
