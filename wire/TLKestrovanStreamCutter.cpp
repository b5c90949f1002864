#include "TLKestrovanStreamCutter.h"

#include "KestrovanCommand.h"
#include "KestrovanTiming.h"
#include "TLKestrovanTelegram.h"

namespace {
// A telegram continued after a longer pause would meet its own repetition.
constexpr qint64 SplitWindowMs = Kestrovan::AckWindowMs;
// More bytes than this without a terminator are no telegram's beginning.
constexpr int MaxPendingBytes = TLKestrovanTelegram::MaxBytes;
// The shortest telegram that a stray head can be cut from: two code letters and the check byte.
constexpr int MinGluedTelegramBytes = 3;
} // namespace

QList<QByteArray> TLKestrovanStreamCutter::feed(const QByteArray &bytes, qint64 nowMs)
{
    QList<QByteArray> out;
    if (bytes.isEmpty())
        return out;
    expire(nowMs);
    lastByteMs = nowMs;
    int start = 0;
    for (int i = 0; i < bytes.size(); ++i) {
        if (!TLKestrovanTelegram::isTerminator(bytes.at(i)))
            continue;
        const int run = i - start;
        if (inNoise || pending.size() + run > MaxPendingBytes) {
            noise += pending.size() + run + 1;
            pending.clear();
            inNoise = false;
        } else {
            // A terminator that comes first in a read, after bytes of an earlier one, may be an
            // acknowledgement that met an unfinished head rather than that head's end.
            const bool arrivedAlone = i == 0 && !pending.isEmpty();
            pending.append(bytes.constData() + start, run);
            completePiece(bytes.at(i), arrivedAlone, out);
        }
        start = i + 1;
    }
    const int rest = bytes.size() - start;
    if (inNoise) {
        noise += rest;
    } else {
        pending.append(bytes.constData() + start, rest);
        if (pending.size() > MaxPendingBytes) {
            dropPending();
            inNoise = true;
        }
    }
    return out;
}

bool TLKestrovanStreamCutter::expire(qint64 nowMs)
{
    if ((pending.isEmpty() && !inNoise) || nowMs - lastByteMs <= SplitWindowMs)
        return false;
    // A noise run ends with the silence too: what comes next may be a telegram again.
    inNoise = false;
    if (pending.isEmpty())
        return false;
    dropPending();
    return true;
}

void TLKestrovanStreamCutter::completePiece(char terminator, bool arrivedAlone, QList<QByteArray> &out)
{
    QByteArray piece = pending;
    piece.append(terminator);
    pending.clear();
    if (piece.size() == 1
        || (piece.size() <= TLKestrovanTelegram::MaxBytes && TLKestrovanTelegram(piece).hasRightCheckByte())) {
        out.append(piece);
        return;
    }
    // A good telegram at the end of the piece: bytes before it are a stray head. Garbage can
    // pass a check byte by chance (a byte twice cancels out), so a code of the table counts for
    // more than length.
    QByteArray found;
    const int longest = qMin(piece.size() - 1, TLKestrovanTelegram::MaxBytes);
    for (int length = longest; length >= MinGluedTelegramBytes; --length) {
        const TLKestrovanTelegram tail(piece.right(length));
        if (!tail.hasRightCheckByte())
            continue;
        if (found.isEmpty())
            found = tail.bytes();
        if (Kestrovan::commandForCode(tail.code()) != Kestrovan::Unknown) {
            found = tail.bytes();
            break;
        }
    }
    if (!found.isEmpty()) {
        noise += piece.size() - found.size();
        out.append(found);
        return;
    }
    if (arrivedAlone) {
        noise += piece.size() - 1;
        out.append(piece.right(1));
        return;
    }
    ++damaged;
    noise += piece.size();
}

void TLKestrovanStreamCutter::dropPending()
{
    noise += pending.size();
    pending.clear();
}
