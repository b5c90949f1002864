#include "TLTraceDecoder.h"

#include "KestrovanCommand.h"
#include "TLKestrovanExposureState.h"
#include "TLKestrovanTelegram.h"
#include "TLTraceMeaning.h"

#include <algorithm>

using namespace Kestrovan;

namespace {
using Direction = TLTraceChunk::Direction;
using Flag = TLTraceEvent::Flag;

Direction other(Direction direction)
{
    return direction == Direction::Tx ? Direction::Rx : Direction::Tx;
}

QString hexByte(quint8 byte)
{
    return QStringLiteral("%1").arg(byte, 2, 16, QLatin1Char('0'));
}

QString seconds(qint64 us)
{
    return QString::number(static_cast<double>(us) / 1e6, 'f', 1) + QStringLiteral(" s");
}

// Code, value and check byte right, code of the table: what a split must add up to.
bool isWholeTelegram(const QByteArray &piece)
{
    if (piece.size() < 3)
        return false;
    const QByteArray body = piece.left(piece.size() - 1);
    return TLKestrovanTelegram::checkByte(body) == static_cast<quint8>(piece.back())
           && TLTraceMeaning::command(body.left(2)) >= 0;
}

// Only a proper telegram is owed an echo.
bool owesEcho(const TLTraceEvent &event)
{
    return event.kind == TLTraceEvent::Kind::Telegram && event.checkByteRight;
}
} // namespace

TLTraceDecoder::TLTraceDecoder(Sink sink) : sink(std::move(sink)) {}

TLTraceDecoder::~TLTraceDecoder() = default;

TLTraceDecoder::Side &TLTraceDecoder::side(Direction direction)
{
    return sides[direction == Direction::Tx ? 0 : 1];
}

void TLTraceDecoder::feed(const TLTraceChunk &chunk)
{
    const qint64 timeUs = std::max(nowUs, chunk.elapsedUs);
    nowUs = timeUs;
    expire();

    Side &own = side(chunk.direction);
    if (!own.pending.isEmpty() && timeUs - own.lastUs > ReceivePauseUs)
        own.pauses.append({int(own.pending.size()), timeUs - own.lastUs, own.lastUs, own.lastClock});
    own.pending += chunk.bytes;
    own.lastUs = timeUs;
    own.lastClock = chunk.clock;
    dropOverlong(chunk.direction);

    TLKestrovanTelegram::Cut cut = TLKestrovanTelegram::cut(own.pending);
    const QList<QByteArray> &pieces = cut.pieces;
    if (!pieces.isEmpty()) {
        own.pending = cut.rest;
        // The earlier bytes had no terminator, so every pause lies in the first piece.
        const QList<Pause> pauses = own.pauses;
        own.pauses.clear();
        for (int i = 0; i < pieces.size(); ++i)
            handlePiece(chunk.direction, pieces.at(i), i == 0 ? pauses : QList<Pause>(), timeUs, chunk.clock);
    }
    emitReady();
}

void TLTraceDecoder::dropOverlong(Direction direction)
{
    Side &own = side(direction);
    const auto end =
        std::find_if(own.pending.cbegin(), own.pending.cend(), TLKestrovanTelegram::isTerminator);
    const int terminator = static_cast<int>(end - own.pending.cbegin());
    if (terminator < MaxPendingBytes)
        return;
    TLTraceEvent noise;
    noise.kind = TLTraceEvent::Kind::NoTelegram;
    noise.direction = direction;
    noise.timeUs = noise.firstWriteUs = own.lastUs;
    noise.clock = own.lastClock;
    noise.bytes = own.pending.left(terminator - (TLKestrovanTelegram::MaxBytes - 1));
    noise.flag(Flag::NoTelegram,
               QStringLiteral("%1 bytes without a terminator: more than a telegram can hold")
                   .arg(noise.bytes.size()));
    add(noise);
    own.pending.remove(0, noise.bytes.size());
    own.pauses.clear();
}

void TLTraceDecoder::advance(qint64 timeUs)
{
    nowUs = std::max(nowUs, timeUs);
    expire();
    emitReady();
}

void TLTraceDecoder::handlePiece(Direction direction, const QByteArray &piece, const QList<Pause> &pauses,
                                 qint64 timeUs, const QByteArray &clock)
{
    if (!pauses.isEmpty() && !isWholeTelegram(piece)) {
        // A receiver has dropped what came before the pause; what follows stands on its own.
        const Pause &pause = pauses.last();
        TLTraceEvent head;
        head.kind = TLTraceEvent::Kind::NoTelegram;
        head.direction = direction;
        head.timeUs = head.firstWriteUs = pause.beforeUs;
        head.clock = pause.beforeClock;
        head.bytes = piece.left(pause.position);
        head.flag(Flag::NoTelegram,
                  QStringLiteral("%1 bytes without a terminator, dropped by a receiver after "
                                 "the pause of %2 that followed them")
                      .arg(head.bytes.size())
                      .arg(TLTraceEvent::milliseconds(pause.pauseUs)));
        add(head);
        handlePiece(direction, piece.mid(pause.position), QList<Pause>(), timeUs, clock);
        return;
    }
    if (piece.size() == 1) {
        if (acknowledge(direction, piece.front(), timeUs))
            return;
        TLTraceEvent lone;
        lone.kind = TLTraceEvent::Kind::LoneTerminator;
        lone.direction = direction;
        lone.timeUs = lone.firstWriteUs = timeUs;
        lone.clock = clock;
        lone.bytes = piece;
        lone.flag(Flag::LoneTerminator, QStringLiteral("lone terminator %1 acknowledges no telegram")
                                            .arg(hexByte(quint8(piece.front()))));
        add(lone);
        return;
    }
    TLTraceEvent event;
    event.direction = direction;
    event.timeUs = event.firstWriteUs = timeUs;
    event.clock = clock;
    event.bytes = piece;
    handleTelegramLike(event, pauses);
}

void TLTraceDecoder::handleTelegramLike(TLTraceEvent event, const QList<Pause> &pauses)
{
    const QByteArray body = event.bytes.left(event.bytes.size() - 1);
    const quint8 terminator = static_cast<quint8>(event.bytes.back());
    if (body.size() < 2) {
        event.kind = TLTraceEvent::Kind::NoTelegram;
        event.flag(Flag::NoTelegram, QStringLiteral("no telegram: one byte before the terminator"));
    } else {
        const quint8 expected = TLKestrovanTelegram::checkByte(body);
        event.checkByteRight = expected == terminator;
        event.command = TLTraceMeaning::command(body.left(2));
        if (event.command < 0 && !event.checkByteRight) {
            event.kind = TLTraceEvent::Kind::NoTelegram;
            event.flag(Flag::NoTelegram,
                       QStringLiteral("no telegram: no code of the table and a wrong check byte"));
        } else {
            if (!event.checkByteRight)
                event.flag(Flag::WrongCheckByte, QStringLiteral("wrong check byte %1, it should be %2")
                                                     .arg(hexByte(terminator), hexByte(expected)));
            if (event.command < 0)
                event.flag(Flag::UnknownCode, QStringLiteral("code %1 is no command of the table")
                                                  .arg(TLTraceMeaning::printable(body.left(2))));
            else if (event.command == Unknown)
                event.flag(Flag::UnknownCode, QStringLiteral("code zz stands for no command"));
        }
    }
    if (!pauses.isEmpty()) {
        qint64 longest = 0;
        for (const Pause &pause : pauses)
            longest = std::max(longest, pause.pauseUs);
        event.flag(Flag::Split,
                   QStringLiteral("split by a pause of %1; a receiver that stops collecting "
                                  "after %2 drops the first part")
                       .arg(TLTraceEvent::milliseconds(longest), TLTraceEvent::milliseconds(ReceivePauseUs)));
    }

    Side &own = side(event.direction);
    if (event.kind == TLTraceEvent::Kind::Telegram) {
        for (int i = own.awaitingAck.size() - 1; i >= 0; --i) {
            Open *earlier = own.awaitingAck.at(i);
            if (earlier->event.bytes != event.bytes || event.timeUs - earlier->event.timeUs < MinRepeatGapUs)
                continue;
            closeUnacknowledged(*earlier, false);
            own.awaitingAck.removeAt(i);
            event.writes = earlier->event.writes + 1;
            event.firstWriteUs = earlier->event.firstWriteUs;
            event.flag(Flag::Repeat, QStringLiteral("written again (write %1)").arg(event.writes));
            break;
        }
    }
    checkWindow(event);
    trackHandshake(event);

    Open *added = add(event);
    awaitAck(own, added);
    answerOrAsk(*added);
}

void TLTraceDecoder::awaitAck(Side &own, Open *added)
{
    added->awaitingAck = true;
    added->ackDeadlineUs = added->event.timeUs + RepeatDeadlineUs;
    own.awaitingAck.append(added);
    if (own.awaitingAck.size() <= MaxAwaitingAck)
        return;
    Open *oldest = own.awaitingAck.takeFirst();
    oldest->awaitingAck = false;
    if (owesEcho(oldest->event))
        oldest->event.flag(Flag::NoAcknowledgement,
                           QStringLiteral("no acknowledgement while %1 more telegrams of its side followed")
                               .arg(MaxAwaitingAck));
}

void TLTraceDecoder::decideNow(Open &oldest)
{
    const QString followed = QStringLiteral("while %1 more events followed").arg(MaxOpenEvents);
    if (oldest.awaitingAck) {
        for (Side &each : sides)
            each.awaitingAck.removeOne(&oldest);
        if (owesEcho(oldest.event))
            oldest.event.flag(Flag::NoAcknowledgement, QStringLiteral("no acknowledgement ") + followed);
    }
    for (auto it = queries.begin(); it != queries.end();) {
        if (it->open != &oldest && it->early != &oldest) {
            ++it;
            continue;
        }
        if (it->open == &oldest && oldest.event.ackDelayUs >= 0 && !it->early)
            oldest.event.flag(Flag::NoReply, QStringLiteral("no reply ") + followed);
        endWait(*it);
        it = queries.erase(it);
    }
    oldest.awaitingAck = oldest.awaitingReply = oldest.earlyAnswer = false;
}

bool TLTraceDecoder::acknowledge(Direction direction, char terminator, qint64 timeUs)
{
    QList<Open *> &awaiting = side(other(direction)).awaitingAck;
    for (int i = 0; i < awaiting.size(); ++i) {
        Open *acknowledged = awaiting.at(i);
        if (acknowledged->event.bytes.back() != terminator)
            continue;
        TLTraceEvent &event = acknowledged->event;
        event.ackDelayUs = timeUs - event.timeUs;
        if (event.ackDelayUs > AckWindowUs && event.kind == TLTraceEvent::Kind::Telegram)
            event.flag(Flag::NoAcknowledgement, QStringLiteral("acknowledged only after %1")
                                                    .arg(TLTraceEvent::milliseconds(event.ackDelayUs)));
        acknowledged->awaitingAck = false;
        awaiting.removeAt(i);
        return true;
    }
    return false;
}

void TLTraceDecoder::answerOrAsk(Open &added)
{
    TLTraceEvent &event = added.event;
    if (event.kind != TLTraceEvent::Kind::Telegram || event.command < 0)
        return;
    const QByteArray code = event.code();
    if (event.value() == "?") {
        event.query = true;
        if (event.direction != Direction::Tx)
            return;
        // A later query of the same code takes over the wait of an earlier one.
        const auto earlier = queries.find(code);
        if (earlier != queries.end())
            endWait(*earlier);
        queries.insert(code, {&added, event.timeUs});
        added.awaitingReply = true;
        return;
    }
    if (event.direction != Direction::Rx)
        return;
    const auto asked = queries.find(code);
    if (asked == queries.end())
        return;
    const TLTraceEvent &query = asked->open->event;
    if (asked->early) {
        if (event.writes > 1)
            return; // the early answer written again
        // A second answer: the one before the echo of the query crossed it unasked.
        TLTraceEvent &crossing = asked->early->event;
        crossing.reply = false;
        crossing.roundTripUs = -1;
        flagUnsolicited(crossing, query);
    }
    event.reply = true;
    event.roundTripUs = event.timeUs - asked->timeUs;
    if (!asked->early && asked->open->awaitingAck && event.timeUs - query.timeUs <= AckWindowUs) {
        // Either the reply, sent before the echo, or a telegram of the generator's own that
        // crosses the query and the reply still to come: held until the wait tells.
        asked->early = &added;
        added.earlyAnswer = true;
        return;
    }
    endWait(*asked);
    queries.erase(asked);
}

void TLTraceDecoder::endWait(Query &query)
{
    query.open->awaitingReply = false;
    if (query.early)
        query.early->earlyAnswer = false;
    query.early = nullptr;
}

void TLTraceDecoder::checkWindow(TLTraceEvent &event)
{
    // Only the generator speaks unasked; an answer to a waiting query is asked for.
    if (event.direction != Direction::Rx || event.kind != TLTraceEvent::Kind::Telegram || event.writes > 1
        || (event.value() != "?" && queries.contains(event.code())))
        return;
    for (const Open *waiting : qAsConst(side(Direction::Tx).awaitingAck)) {
        const TLTraceEvent &sent = waiting->event;
        if (sent.kind == TLTraceEvent::Kind::Telegram && event.timeUs - sent.timeUs <= AckWindowUs) {
            flagUnsolicited(event, sent);
            return;
        }
    }
}

void TLTraceDecoder::flagUnsolicited(TLTraceEvent &event, const TLTraceEvent &sent)
{
    event.flag(Flag::UnsolicitedInWindow,
               QStringLiteral("unsolicited, inside the acknowledgement window of %1")
                   .arg(TLTraceMeaning::printable(TLKestrovanTelegram(sent.bytes).text())));
}

void TLTraceDecoder::trackHandshake(TLTraceEvent &event)
{
    if (event.kind != TLTraceEvent::Kind::Telegram || event.writes > 1)
        return;
    if (event.direction == Direction::Rx && event.command == ExposureState) {
        const TLKestrovanExposureState state = TLKestrovanExposureState::read(event.value());
        if (state.state() == TLKestrovanExposureState::PrepareOn && state.prepareKey())
            prepareOn = {event.timeUs, event.value()};
        else if (state.state() == TLKestrovanExposureState::ExposureCheck && state.exposureKey())
            exposureCheck = {event.timeUs, event.value()};
    } else if (event.direction == Direction::Tx && event.command == ExposureRelease) {
        Stimulus *answered = event.value() == TLKestrovanExposureState::PrepareAccepted    ? &prepareOn
                             : event.value() == TLKestrovanExposureState::ExposureAccepted ? &exposureCheck
                                                                                           : nullptr;
        if (answered && answered->timeUs >= 0) {
            event.reactionUs = event.timeUs - answered->timeUs;
            event.reactionTo = answered->value;
            *answered = Stimulus();
        }
    }
}

void TLTraceDecoder::closeUnacknowledged(Open &closed, bool givenUp)
{
    closed.awaitingAck = false;
    TLTraceEvent &event = closed.event;
    if (!owesEcho(event))
        return;
    event.flag(Flag::NoAcknowledgement,
               QStringLiteral("no acknowledgement within %1").arg(TLTraceEvent::milliseconds(AckWindowUs)));
    if (givenUp && event.writes > 1)
        event.flag(Flag::GiveUp, QStringLiteral("given up after %1 writes over %2")
                                     .arg(event.writes)
                                     .arg(seconds(event.timeUs + AckWindowUs - event.firstWriteUs)));
}

TLTraceDecoder::Open *TLTraceDecoder::add(const TLTraceEvent &event)
{
    auto added = std::make_unique<Open>();
    added->event = event;
    Open *pointer = added.get();
    // Almost always the latest; bytes dropped before a pause may be older than what is open.
    const auto at = std::upper_bound(
        open.begin(), open.end(), event.timeUs,
        [](qint64 timeUs, const std::unique_ptr<Open> &entry) { return timeUs < entry->event.timeUs; });
    open.insert(at, std::move(added));
    return pointer;
}

void TLTraceDecoder::expire()
{
    // Oldest first, and so by deadline: only those that end now are looked at.
    for (Side &each : sides) {
        while (!each.awaitingAck.isEmpty() && each.awaitingAck.constFirst()->ackDeadlineUs <= nowUs)
            closeUnacknowledged(*each.awaitingAck.takeFirst(), true);
    }
    for (auto it = queries.begin(); it != queries.end();) {
        if (it->timeUs + ReplyWaitUs > nowUs) {
            ++it;
            continue;
        }
        // A query that never got through has its own flag already.
        TLTraceEvent &query = it->open->event;
        if (query.ackDelayUs >= 0 && !it->early)
            query.flag(Flag::NoReply,
                       QStringLiteral("no reply within %1").arg(TLTraceEvent::milliseconds(ReplyWaitUs)));
        endWait(*it);
        it = queries.erase(it);
    }
}

void TLTraceDecoder::finish()
{
    for (int index = 0; index < 2; ++index) {
        Side &each = sides[index];
        if (!each.pending.isEmpty()) {
            TLTraceEvent rest;
            rest.kind = TLTraceEvent::Kind::NoTelegram;
            rest.direction = index == 0 ? Direction::Tx : Direction::Rx;
            rest.timeUs = rest.firstWriteUs = each.lastUs;
            rest.clock = each.lastClock;
            rest.bytes = each.pending;
            rest.flag(Flag::NoTelegram,
                      QStringLiteral("%1 bytes without a terminator at the end of the trace")
                          .arg(rest.bytes.size()));
            add(rest);
            each.pending.clear();
            each.pauses.clear();
        }
        // Whether an echo or a repeat was still to come, the end of the trace cannot tell; but
        // at the end of its last window the writer gives up a telegram it has written for 8 s.
        for (Open *waiting : qAsConst(each.awaitingAck)) {
            const TLTraceEvent &event = waiting->event;
            const bool lastWindow =
                event.timeUs + AckWindowUs + WindowSlackUs - event.firstWriteUs > GiveUpUs;
            if (lastWindow || nowUs - event.timeUs >= AckWindowUs)
                closeUnacknowledged(*waiting, lastWindow || nowUs >= waiting->ackDeadlineUs);
            waiting->awaitingAck = false;
        }
        each.awaitingAck.clear();
    }
    expire();
    for (Query &query : queries)
        endWait(query);
    queries.clear();
    emitReady();
}

QList<TLTraceEvent> TLTraceDecoder::decode(const QList<TLTraceChunk> &chunks)
{
    QList<TLTraceEvent> events;
    TLTraceDecoder decoder([&events](const TLTraceEvent &event) { events.append(event); });
    for (const TLTraceChunk &chunk : chunks)
        decoder.feed(chunk);
    decoder.finish();
    return events;
}

void TLTraceDecoder::emitReady()
{
    while (!open.empty()) {
        Open &oldest = *open.front();
        if (oldest.awaitingAck || oldest.awaitingReply || oldest.earlyAnswer) {
            if (open.size() <= MaxOpenEvents)
                return;
            decideNow(oldest);
        }
        const std::unique_ptr<Open> done = std::move(open.front());
        open.pop_front();
        sink(done->event);
    }
}
