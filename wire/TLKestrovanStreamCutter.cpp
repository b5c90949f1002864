#include "TLKestrovanStreamCutter.h"

#include "KestrovanCommand.h"
#include "KestrovanTiming.h"
#include "TLKestrovanTelegram.h"

namespace {
// A telegram continued after a longer pause would meet its own repetition.
constexpr qint64 SplitWindowMs = Kestrovan::AckWindowMs;
// More bytes than this without a terminator are no telegram's beginning.
constexpr int MaxPendingBytes = TLKestrovanTelegram::MaxPayloadBytes;
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
        keep(bytes.mid(start, i - start));
        completePiece(bytes.at(i), out);
        start = i + 1;
    }
    keep(bytes.mid(start));
    return out;
}

bool TLKestrovanStreamCutter::expire(qint64 nowMs)
{
    if (pending.isEmpty() || nowMs - lastByteMs <= SplitWindowMs)
        return false;
    noise += pending.size();
    pending.clear();
    return true;
}

void TLKestrovanStreamCutter::skip(qint64 bytes)
{
    noise += pending.size() + qMax<qint64>(0, bytes);
    pending.clear();
}

void TLKestrovanStreamCutter::keep(const QByteArray &bytes)
{
    pending.append(bytes);
    // Longer than a telegram's payload without its end: noise, but for the last bytes, which
    // may still begin a telegram that follows it without a pause.
    const int excess = pending.size() - MaxPendingBytes;
    if (excess > 0) {
        noise += excess;
        pending.remove(0, excess);
    }
}

void TLKestrovanStreamCutter::completePiece(char terminator, QList<QByteArray> &out)
{
    QByteArray piece = pending;
    piece.append(terminator);
    pending.clear();
    if (piece.size() == 1
        || (piece.size() <= TLKestrovanTelegram::MaxBytes
            && TLKestrovanTelegram(piece).hasRightCheckByte())) {
        out.append(piece);
        return;
    }
    // A good telegram at the end of the piece: bytes before it are a stray head. Garbage passes
    // a check byte by chance too (one try in 128, a byte twice cancels out), so only a tail that
    // begins with a code of the table is taken, the longest.
    QByteArray found;
    const int longest = qMin(piece.size() - 1, TLKestrovanTelegram::MaxBytes);
    for (int length = longest; length >= MinGluedTelegramBytes; --length) {
        const TLKestrovanTelegram tail(piece.right(length));
        if (tail.hasRightCheckByte() && Kestrovan::commandForCode(tail.code()) != Kestrovan::Unknown) {
            found = tail.bytes();
            break;
        }
    }
    if (!found.isEmpty()) {
        noise += piece.size() - found.size();
        out.append(found);
        return;
    }
    // Nothing good in it: garbage, a damaged telegram, or garbage with an echo at its end. The
    // terminator goes on alone, so that an awaited echo still counts; outside a transmission a
    // lone terminator is ignored anyway.
    if (piece.size() >= MinGluedTelegramBytes)
        ++damaged;
    noise += piece.size() - 1;
    out.append(piece.right(1));
}
