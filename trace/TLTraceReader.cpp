#include "TLTraceReader.h"

#include <QIODevice>

#include <algorithm>

TLTraceReader::TLTraceReader(QIODevice &input) : input(input) {}

bool TLTraceReader::next(TLTraceChunk &chunk)
{
    for (;;) {
        // On a pipe readLine() waits for a whole line; only the end of the input gives nothing.
        QByteArray line = input.readLine(MaxLineBytes);
        if (line.isEmpty())
            return false;
        ++lineNumber;
        if (line.size() >= MaxLineBytes - 1 && !line.endsWith('\n')) {
            // Overlong: pass over the rest of it.
            while (line.size() >= MaxLineBytes - 1 && !line.endsWith('\n'))
                line = input.readLine(MaxLineBytes);
            skip(QStringLiteral("longer than %1 bytes").arg(MaxLineBytes));
            continue;
        }
        while (line.endsWith('\n') || line.endsWith('\r'))
            line.chop(1);
        if (line.trimmed().isEmpty() || line.startsWith('#'))
            continue;
        QByteArray reason;
        if (!TLTraceChunk::parse(line, chunk, reason)) {
            skip(QString::fromLatin1(reason));
            continue;
        }
        if (chunk.elapsedUs + shiftUs < lastUs)
            shiftUs = lastUs - chunk.elapsedUs;
        chunk.elapsedUs = std::min(chunk.elapsedUs + shiftUs, MaxTimeUs);
        lastUs = chunk.elapsedUs;
        return true;
    }
}

void TLTraceReader::skip(const QString &why)
{
    ++skipped;
    if (reported.size() < MaxProblems)
        reported << QStringLiteral("line %1 skipped: %2").arg(lineNumber).arg(why);
}
