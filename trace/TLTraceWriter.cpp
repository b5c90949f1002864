#include "TLTraceWriter.h"

#include <unistd.h>

bool TLTraceWriter::open(const QString &path)
{
    file.setFileName(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate);
}

bool TLTraceWriter::openStandardOutput()
{
    return file.open(STDOUT_FILENO, QIODevice::WriteOnly);
}

void TLTraceWriter::write(const TLTraceChunk &chunk)
{
    writeLine(chunk.line());
}

void TLTraceWriter::note(const QByteArray &text)
{
    writeLine("# " + text);
}

void TLTraceWriter::writeLine(const QByteArray &line)
{
    if (!file.isOpen())
        return;
    file.write(line + '\n');
    file.flush();
}
