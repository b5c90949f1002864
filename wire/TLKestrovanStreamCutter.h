#pragma once

#include <QByteArray>
#include <QList>
#include <QtGlobal>

// Cuts the bytes a receiver reads, collection after collection, into telegrams, and keeps what a
// faulty line would otherwise make it take for telegrams:
// - a telegram split by a pause is put back together, as long as the pause stays within the
//   acknowledgement window (after that the sender writes it again anyway);
// - a piece whose check byte does not match is no telegram: it is dropped, so the sender, given
//   no echo, writes it again; its last byte goes on alone, as it may be an echo glued to garbage;
// - a stray head glued in front of a good telegram is dropped, and the telegram kept;
// - more bytes without a terminator than a telegram can hold are noise: all but the last ones,
//   which may begin a telegram glued to the noise, are dropped, so memory stays bounded
//   whatever arrives.
// A lone terminator (an acknowledgement) is handed on as a piece of one byte. No I/O, no
// thread: the caller says what time it is.
class TLKestrovanStreamCutter
{
public:
    // Good telegrams and lone terminators, in arrival order.
    QList<QByteArray> feed(const QByteArray &bytes, qint64 nowMs);
    // Drops an unfinished telegram whose next byte is overdue; true when it dropped one.
    bool expire(qint64 nowMs);
    // Bytes the receiver dropped unread: noise, and the end of whatever was unfinished.
    void skip(qint64 bytes);

    bool hasPending() const { return !pending.isEmpty(); }
    // Totals since construction.
    qint64 damagedTelegrams() const { return damaged; }
    qint64 noiseBytes() const { return noise; }

private:
    void keep(const QByteArray &bytes);
    void completePiece(char terminator, QList<QByteArray> &out);

    QByteArray pending; // bytes after the last terminator
    qint64 lastByteMs = 0;
    qint64 damaged = 0;
    qint64 noise = 0;
};
