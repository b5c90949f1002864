#include "TLKestrovanReplayRecord.h"

#include "TLKestrovanSimulatedLine.h"
#include "TLTraceReader.h"

namespace {
// The generator's side reads the record by its own copy of the wire's rules.
constexpr char TerminatorBit = TLKestrovanSimulatedLine::TerminatorBit;
const QByteArray ExposureStateCode = QByteArrayLiteral("xy");
const QByteArray ReleaseAnswerCode = QByteArrayLiteral("xr");
constexpr qint64 BytesPerMiB = Q_INT64_C(1024) * 1024;
} // namespace

bool TLKestrovanReplayRecord::read(QIODevice &input)
{
    *this = TLKestrovanReplayRecord();
    TLTraceReader reader(input);
    TLTraceChunk chunk;
    QByteArray pending;
    qint64 previousUs = -1;
    qint64 cutOutUs = 0;
    int silences = 0;
    int chunks = 0;
    qint64 keptBytes = 0;
    int lastState = -1;
    bool hostSeen = false;
    while (reader.next(chunk)) {
        keptBytes += chunk.bytes.size();
        if (++chunks > MaxChunks || keptBytes > MaxKeptBytes) {
            notes << QStringLiteral("the trace holds more than %1 chunks or %2 MiB; the rest is left out")
                         .arg(MaxChunks)
                         .arg(MaxKeptBytes / BytesPerMiB);
            break;
        }
        qint64 atUs = chunk.elapsedUs - cutOutUs;
        if (previousUs >= 0 && atUs - previousUs > MaxSilenceUs) {
            cutOutUs += atUs - previousUs - MaxSilenceUs;
            atUs = previousUs + MaxSilenceUs;
            ++silences;
        }
        previousUs = atUs;
        if (chunk.direction == TLTraceChunk::Direction::Tx) {
            if (!hostSeen)
                firstHostUs = atUs;
            hostSeen = true;
            for (const QByteArray &piece : cut(pending, chunk.bytes)) {
                if (piece.size() < 2)
                    continue; // an acknowledgement, no telegram: chunks are tied to telegrams
                host.append(
                    {piece, atUs, chunk.line(), piece.startsWith(ReleaseAnswerCode) ? lastState : -1});
                keptBytes += host.last().line.size();
            }
            continue;
        }
        GeneratorChunk answer{chunk.bytes, atUs, int(host.size()) - 1, false};
        answer.led = answer.after >= 0 && atUs - host.at(answer.after).atUs <= LeadWindowUs;
        if (!lastExposureState(chunk.bytes).isEmpty())
            lastState = int(generator.size());
        generator.append(answer);
    }
    if (silences > 0)
        notes << QStringLiteral("%1 silences longer than %2 s shortened to %2 s")
                     .arg(silences)
                     .arg(MaxSilenceUs / 1000000);
    if (reader.skippedLines() > 0)
        notes << QStringLiteral("%1 lines that are no chunk skipped").arg(reader.skippedLines());
    notes << reader.problems();
    if (host.isEmpty() && generator.isEmpty()) {
        error = QStringLiteral("no chunk of a serial trace in it");
        return false;
    }
    return true;
}

QList<QByteArray> TLKestrovanReplayRecord::cut(QByteArray &pending, const QByteArray &bytes)
{
    QList<QByteArray> pieces;
    for (const char byte : bytes) {
        pending.append(byte);
        if (byte & TerminatorBit) {
            pieces.append(pending);
            pending.clear();
        } else if (pending.size() > MaxPieceBytes) {
            pending.clear();
        }
    }
    return pieces;
}

QByteArray TLKestrovanReplayRecord::lastExposureState(const QByteArray &bytes)
{
    const int start = bytes.lastIndexOf(ExposureStateCode);
    if (start < 0)
        return QByteArray();
    int end = start + ExposureStateCode.size();
    while (end < bytes.size() && !(bytes.at(end) & TerminatorBit))
        ++end;
    return bytes.mid(start, end - start);
}

QString TLKestrovanReplayRecord::printable(const QByteArray &bytes)
{
    QByteArray text = bytes;
    for (char &c : text) {
        if (c < 0x20 || c > 0x7e)
            c = '.';
    }
    return QString::fromLatin1(text);
}

QString TLKestrovanReplayRecord::describe(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ')) + QStringLiteral(" | ") + printable(bytes);
}
