#pragma once

#include "KestrovanTiming.h"
#include "TLTraceChunk.h"
#include "TLTraceEvent.h"

#include <QByteArray>
#include <QHash>
#include <QList>

#include <deque>
#include <functional>
#include <memory>

// Turns the chunks of a trace, in time order, into telegrams and flags what deviates from the
// rules of the line: each side cuts its byte stream at terminators, acknowledges a telegram by
// echoing its terminator within 500 ms, writes it again when no echo comes and gives up after
// 8 s; replies answer the latest query of their code.
//
// An event is handed to the sink once nothing can change it any more (its acknowledgement came
// or cannot come any more, a query's reply came or its wait ended), in time order. A live caller
// lets time pass with advance(); finish() closes whatever is still open at the end.
class TLTraceDecoder
{
public:
    // The line's own times, in the microseconds of a trace.
    static constexpr qint64 Us = 1000;
    static constexpr qint64 AckWindowUs = Kestrovan::AckWindowMs * Us;
    static constexpr qint64 ReceivePauseUs = Kestrovan::ReadWaitMs * Us;
    static constexpr qint64 ReplyWaitUs = Kestrovan::ReplyTimeoutMs * Us;
    static constexpr qint64 GiveUpUs = Kestrovan::GiveUpMs * Us;
    // A write not echoed and not written again within two windows has been given up.
    static constexpr qint64 RepeatDeadlineUs = 2 * AckWindowUs;
    // A writer writes a telegram again only once its window has passed; the reads that stamp the
    // two copies may bring them up to a read pause closer. Nearer copies are two telegrams.
    static constexpr qint64 MinRepeatGapUs = AckWindowUs - ReceivePauseUs;
    // A writer notices the end of a window in steps of its reads, up to this much late.
    static constexpr qint64 WindowSlackUs = 2 * ReceivePauseUs;
    // Bytes without a terminator beyond this are no telegram; they are flagged and dropped, all
    // but the last ones that may still begin one.
    static constexpr int MaxPendingBytes = 1024;
    // A writer has one telegram in flight. When more than this many of one side wait for their
    // echo at once (a clock that stands still lets no window end), the oldest is given up, so
    // that each telegram costs the same however long the trace.
    static constexpr int MaxAwaitingAck = 16;
    // At 38400 baud a line carries 3,840 bytes a second, so fewer events than this fit into the
    // longest wait (a reply's 3 s). More open at once only when the clock stands still: the
    // oldest is then decided at once, so that memory stays bounded.
    static constexpr int MaxOpenEvents = 16384;

    using Sink = std::function<void(const TLTraceEvent &)>;

    explicit TLTraceDecoder(Sink sink);
    ~TLTraceDecoder();
    TLTraceDecoder(const TLTraceDecoder &) = delete;
    TLTraceDecoder &operator=(const TLTraceDecoder &) = delete;

    void feed(const TLTraceChunk &chunk);
    void advance(qint64 nowUs);
    void finish();

    // All events of a whole trace.
    static QList<TLTraceEvent> decode(const QList<TLTraceChunk> &chunks);

private:
    struct Open
    {
        TLTraceEvent event;
        bool awaitingAck = false;
        qint64 ackDeadlineUs = 0;
        bool awaitingReply = false;
        // Came before the echo of its query: the reply, unless another answer follows.
        bool earlyAnswer = false;
    };
    struct Pause
    {
        int position; // in the pending bytes: the first byte after the pause
        qint64 pauseUs;
        qint64 beforeUs; // when the bytes before it were read
        QByteArray beforeClock;
    };
    struct Side
    {
        QByteArray pending; // bytes after the last terminator
        qint64 lastUs = 0;
        QByteArray lastClock;
        QList<Pause> pauses;
        QList<Open *> awaitingAck; // oldest first
    };
    struct Query
    {
        Open *open;
        qint64 timeUs;
        Open *early = nullptr; // an answer held back until the reply is known
    };
    struct Stimulus
    {
        qint64 timeUs = -1;
        QByteArray value;
    };

    void dropOverlong(TLTraceChunk::Direction direction);
    void handlePiece(TLTraceChunk::Direction direction, const QByteArray &piece, const QList<Pause> &pauses,
                     qint64 timeUs, const QByteArray &clock);
    void handleTelegramLike(TLTraceEvent event, const QList<Pause> &pauses);
    bool acknowledge(TLTraceChunk::Direction direction, char terminator, qint64 timeUs);
    void answerOrAsk(Open &open);
    void checkWindow(TLTraceEvent &event);
    static void flagUnsolicited(TLTraceEvent &event, const TLTraceEvent &sent);
    void endWait(Query &query);
    void trackHandshake(TLTraceEvent &event);
    void closeUnacknowledged(Open &open, bool givenUp);
    void awaitAck(Side &own, Open *added);
    void decideNow(Open &oldest);
    Open *add(const TLTraceEvent &event);
    void expire();
    void emitReady();
    Side &side(TLTraceChunk::Direction direction);

    Sink sink;
    std::deque<std::unique_ptr<Open>> open; // by time
    Side sides[2];
    QHash<QByteArray, Query> queries; // unanswered query per code
    Stimulus prepareOn;
    Stimulus exposureCheck;
    qint64 nowUs = 0;
};
