#pragma once

#include "TLTraceChunk.h"

#include <QJsonValue>
#include <QList>
#include <QString>

// One thing seen on the line: a telegram (check byte included), bytes before a terminator that
// form no telegram, or a lone terminator that acknowledges nothing. An acknowledgement that
// matches a telegram is no event of its own; it is attached to the telegram.
class TLTraceEvent
{
public:
    enum class Kind { Telegram, NoTelegram, LoneTerminator };
    // Deviations from the rules of the line, each with its explanation.
    enum class Flag {
        WrongCheckByte,
        NoTelegram,
        UnknownCode,
        Split,
        Repeat,
        NoAcknowledgement,
        GiveUp,
        UnsolicitedInWindow,
        LoneTerminator,
        NoReply
    };
    static constexpr int FlagCount = 10;
    struct Finding
    {
        Flag flag;
        QString text;
    };

    Kind kind = Kind::Telegram;
    TLTraceChunk::Direction direction = TLTraceChunk::Direction::Tx;
    qint64 timeUs = 0; // when its last byte was read
    QByteArray clock;  // wall clock of that read
    QByteArray bytes;
    int command = -1; // id in the command table, -1 for none
    bool checkByteRight = false;
    bool query = false;
    bool reply = false;
    qint64 ackDelayUs = -1;
    qint64 roundTripUs = -1; // on a reply: since the last write of its query
    qint64 reactionUs = -1;  // on a release answer: since the exposure state it answers
    QByteArray reactionTo;
    int writes = 1; // this is the n-th write of the same telegram
    qint64 firstWriteUs = 0;
    QList<Finding> findings;

    QByteArray code() const;
    QByteArray value() const;
    bool has(Flag flag) const;
    void flag(Flag flag, const QString &text);
    // The time of day of its clock, or the elapsed time when the trace has no clock.
    QString timeText() const;
    // A query of a status word or its reply: the steady poll that a reader wants folded away.
    bool isStatusPoll() const;

    // "wrong-check-byte", "no-acknowledgement", ...
    static QString flagName(Flag flag);
    // Milliseconds with one decimal, as text ("4.1 ms") and for JSON (4.1, null when negative).
    static QString milliseconds(qint64 us);
    static QJsonValue jsonMilliseconds(qint64 us);
    // "12:00:00.123456" of a clock "2025-01-31 12:00:00.123456".
    static QString timeOfDay(const QByteArray &clock);
};
