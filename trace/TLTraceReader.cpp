#include "TLTraceReader.h"

#include <QIODevice>

#include <algorithm>

TLTraceReader::TLTraceReader(QIODevice &input) : input(&input) {}

bool TLTraceReader::next(TLTraceChunk &chunk)
{
    for (;;) {
        // On a pipe readLine() waits for a whole line; only the end of the input gives nothing.
        QByteArray line = input ? input->readLine(MaxLineBytes) : QByteArray();
        if (line.isEmpty())
            return false;
        if (line.size() >= MaxLineBytes - 1 && !line.endsWith('\n')) {
            // Overlong: pass over the rest of it.
            while (line.size() >= MaxLineBytes - 1 && !line.endsWith('\n'))
                line = input->readLine(MaxLineBytes);
            passOver();
            continue;
        }
        if (take(line, chunk))
            return true;
    }
}

bool TLTraceReader::take(QByteArray line, TLTraceChunk &chunk)
{
    ++lineNumber;
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    if (line.trimmed().isEmpty() || line.startsWith('#'))
        return false;
    QByteArray reason;
    if (!TLTraceChunk::parse(line, chunk, reason)) {
        skip(QString::fromLatin1(reason));
        return false;
    }
    if (chunk.elapsedUs + shiftUs < lastUs)
        shiftUs = lastUs - chunk.elapsedUs;
    chunk.elapsedUs = std::min(chunk.elapsedUs + shiftUs, MaxTimeUs);
    lastUs = chunk.elapsedUs;
    return true;
}

void TLTraceReader::passOver()
{
    ++lineNumber;
    skip(QStringLiteral("longer than %1 bytes").arg(MaxLineBytes));
}

void TLTraceReader::skip(const QString &why)
{
    ++skipped;
    if (reported.size() < MaxProblems)
        reported << QStringLiteral("line %1 skipped: %2").arg(lineNumber).arg(why);
}
