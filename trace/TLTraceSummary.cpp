#include "TLTraceSummary.h"

#include "KestrovanCommand.h"
#include "TLKestrovanExposureState.h"
#include "TLTraceMeaning.h"

#include <QJsonArray>
#include <QStringList>

#include <algorithm>
#include <cmath>

using namespace Kestrovan;

namespace {
using Flag = TLTraceEvent::Flag;
constexpr int Median = 50;
constexpr int Tail = 99;
// Column of the command names in the table of telegrams.
constexpr int NameWidth = 18;
constexpr int CountWidth = 7;

const char *flagLabel(Flag flag)
{
    switch (flag) {
    case Flag::WrongCheckByte:
        return "wrong check byte";
    case Flag::NoTelegram:
        return "no telegram";
    case Flag::UnknownCode:
        return "unknown code";
    case Flag::Split:
        return "split";
    case Flag::Repeat:
        return "written again";
    case Flag::NoAcknowledgement:
        return "no acknowledgement in time";
    case Flag::GiveUp:
        return "given up";
    case Flag::UnsolicitedInWindow:
        return "unsolicited in a window";
    case Flag::LoneTerminator:
        return "lone terminator";
    case Flag::NoReply:
        return "no reply";
    }
    return "";
}

QString ms(qint64 us)
{
    return us < 0 ? QStringLiteral("-") : TLTraceEvent::milliseconds(us);
}

} // namespace

qint64 TLTraceSummary::percentile(QVector<qint64> samples, int p)
{
    if (samples.isEmpty())
        return -1;
    std::sort(samples.begin(), samples.end());
    const int rank = static_cast<int>(std::ceil(p / 100.0 * samples.size()));
    return samples.at(std::max(rank, 1) - 1);
}

void TLTraceSummary::add(const TLTraceEvent &event)
{
    if (firstUs < 0) {
        firstUs = event.timeUs;
        firstClock = event.clock;
        firstTime = event.timeText();
    }
    lastUs = std::max(lastUs, event.timeUs);
    lastClock = event.clock;
    lastTime = event.timeText();
    for (const TLTraceEvent::Finding &finding : event.findings)
        ++flags[static_cast<int>(finding.flag)];
    const bool tx = event.direction == TLTraceChunk::Direction::Tx;
    if (event.kind == TLTraceEvent::Kind::NoTelegram) {
        ++noTelegrams;
        return;
    }
    if (event.kind == TLTraceEvent::Kind::LoneTerminator) {
        ++loneTerminators;
        return;
    }
    if (event.writes == 1) {
        QPair<int, int> &counts = byCode[event.code()];
        ++(tx ? counts.first : counts.second);
    }
    if (event.ackDelayUs >= 0)
        ackDelays[tx ? 0 : 1].append(event.ackDelayUs);
    if (event.reply)
        roundTrips.append(event.roundTripUs);
    if (tx && event.query && event.command == Status1 && event.writes == 1)
        pollTimes.append(event.timeUs);
    trackExposure(event);
}

void TLTraceSummary::trackExposure(const TLTraceEvent &event)
{
    if (event.writes > 1)
        return;
    if (event.direction == TLTraceChunk::Direction::Tx && event.command == ExposureRelease) {
        if (!seen.isEmpty())
            seen.last().releases.append({event.timeUs, event.value(), event.reactionUs, event.reactionTo});
        return;
    }
    if (event.direction != TLTraceChunk::Direction::Rx || event.command != ExposureState)
        return;
    const TLKestrovanExposureState read = TLKestrovanExposureState::read(event.value());
    if (!read.isValid())
        return;
    const bool fresh =
        seen.isEmpty() || seen.last().ended
        || (read.state() == TLKestrovanExposureState::PrepareOn && !seen.last().states.isEmpty());
    if (fresh) {
        if (!seen.isEmpty() && !seen.last().ended)
            seen.last().outcome = QStringLiteral("no end seen before the next prepare");
        seen.append(Exposure());
    }
    Exposure &exposure = seen.last();
    exposure.states.append({event.timeUs, event.timeText(), event.value(), read.state()});
    if (read.state() == TLKestrovanExposureState::ExposureOff
        || read.state() == TLKestrovanExposureState::Break
        || read.state() == TLKestrovanExposureState::Error) {
        exposure.ended = true;
        exposure.outcome = TLTraceMeaning::stateName(read.state());
    } else {
        exposure.outcome = QStringLiteral("the trace ends before the exposure does");
    }
}

int TLTraceSummary::telegrams(TLTraceChunk::Direction direction) const
{
    int total = 0;
    for (const QPair<int, int> &counts : byCode)
        total += direction == TLTraceChunk::Direction::Tx ? counts.first : counts.second;
    return total;
}

TLTraceSummary::PollStatistics TLTraceSummary::pollStatistics() const
{
    PollStatistics result;
    QVector<qint64> intervals;
    for (int i = 1; i < pollTimes.size(); ++i)
        intervals.append(pollTimes.at(i) - pollTimes.at(i - 1));
    result.periodUs = percentile(intervals, Median);
    QVector<qint64> deviations;
    for (const qint64 interval : qAsConst(intervals)) {
        if (interval > PausePeriods * result.periodUs)
            ++result.pauses;
        else
            deviations.append(std::abs(interval - result.periodUs));
    }
    result.intervals = intervals.size();
    result.jitterUs = percentile(deviations, Tail);
    return result;
}

QString TLTraceSummary::text() const
{
    QStringList lines;
    if (firstUs < 0)
        return QStringLiteral("== summary: nothing on the line\n");
    lines << QStringLiteral("== summary: %1 to %2 (%3 s)")
                 .arg(firstTime, lastTime)
                 .arg(static_cast<double>(lastUs - firstUs) / 1e6, 0, 'f', 1);
    lines << QStringLiteral("telegrams (a telegram written again counts once): %1 host to generator (TX), "
                            "%2 generator to host (RX)")
                 .arg(telegrams(TLTraceChunk::Direction::Tx))
                 .arg(telegrams(TLTraceChunk::Direction::Rx));
    lines << QStringLiteral("  code  %1%2%3")
                 .arg(QStringLiteral("command"), -NameWidth)
                 .arg(QStringLiteral("TX"), CountWidth)
                 .arg(QStringLiteral("RX"), CountWidth);
    for (auto it = byCode.cbegin(); it != byCode.cend(); ++it)
        lines << QStringLiteral("  %1%2%3%4")
                     .arg(TLTraceMeaning::printable(it.key()), -6)
                     .arg(TLTraceMeaning::name(TLTraceMeaning::command(it.key())), -NameWidth)
                     .arg(it.value().first, CountWidth)
                     .arg(it.value().second, CountWidth);
    QStringList deviations;
    for (int flag = 0; flag < TLTraceEvent::FlagCount; ++flag)
        deviations << QStringLiteral("%1 %2").arg(QLatin1String(flagLabel(Flag(flag)))).arg(flags[flag]);
    lines << QStringLiteral("deviations: ") + deviations.join(QStringLiteral(", "));
    const char *who[2] = {"TX, acknowledged by the generator", "RX, acknowledged by the host"};
    for (int side = 0; side < 2; ++side)
        lines << QStringLiteral("acknowledgement delay (%1): median %2, 99th percentile %3, maximum %4 (%5)")
                     .arg(QLatin1String(who[side]), ms(percentile(ackDelays[side], Median)),
                          ms(percentile(ackDelays[side], Tail)), ms(percentile(ackDelays[side], 100)))
                     .arg(ackDelays[side].size());
    lines << QStringLiteral("query round trip: median %1, 99th percentile %2 (%3)")
                 .arg(ms(percentile(roundTrips, Median)), ms(percentile(roundTrips, Tail)))
                 .arg(roundTrips.size());
    const PollStatistics poll = pollStatistics();
    if (poll.intervals == 0)
        lines << QStringLiteral("status poll: none seen");
    else
        lines << QStringLiteral(
                     "status poll: every %1 (median of %2 intervals), jitter %3 (99th percentile of "
                     "the deviation), %4 pauses longer than %5 periods")
                     .arg(ms(poll.periodUs))
                     .arg(poll.intervals)
                     .arg(ms(poll.jitterUs))
                     .arg(poll.pauses)
                     .arg(PausePeriods);
    lines << QStringLiteral("exposures: %1").arg(seen.size());
    for (int i = 0; i < seen.size(); ++i) {
        const Exposure &exposure = seen.at(i);
        QStringList states;
        for (const State &state : exposure.states)
            states << TLTraceMeaning::printable(state.value);
        lines << QStringLiteral("  %1. %2  %3: %4")
                     .arg(i + 1)
                     .arg(exposure.states.constFirst().time, states.join(QLatin1Char(' ')), exposure.outcome);
        QStringList answers;
        for (const Release &release : exposure.releases)
            answers << (release.reactionUs < 0
                            ? QStringLiteral("%1 answering no state")
                                  .arg(TLTraceMeaning::printable(release.value))
                            : QStringLiteral("%1 -> %2 after %3")
                                  .arg(TLTraceMeaning::printable(release.reactionTo),
                                       TLTraceMeaning::printable(release.value), ms(release.reactionUs)));
        lines << QStringLiteral("     release answers: %1")
                     .arg(answers.isEmpty() ? QStringLiteral("none") : answers.join(QStringLiteral("; ")));
    }
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

QJsonObject TLTraceSummary::json() const
{
    QJsonObject codes;
    for (auto it = byCode.cbegin(); it != byCode.cend(); ++it)
        codes.insert(
            TLTraceMeaning::printable(it.key()),
            QJsonObject{{QStringLiteral("command"), TLTraceMeaning::name(TLTraceMeaning::command(it.key()))},
                        {QStringLiteral("tx"), it.value().first},
                        {QStringLiteral("rx"), it.value().second}});
    QJsonObject flagCounts;
    for (int flag = 0; flag < TLTraceEvent::FlagCount; ++flag)
        flagCounts.insert(TLTraceEvent::flagName(Flag(flag)), flags[flag]);
    auto delays = [](const QVector<qint64> &samples) {
        return QJsonObject{
            {QStringLiteral("median"), TLTraceEvent::jsonMilliseconds(percentile(samples, Median))},
            {QStringLiteral("p99"), TLTraceEvent::jsonMilliseconds(percentile(samples, Tail))},
            {QStringLiteral("max"), TLTraceEvent::jsonMilliseconds(percentile(samples, 100))},
            {QStringLiteral("count"), samples.size()}};
    };
    const PollStatistics poll = pollStatistics();
    QJsonArray exposures;
    for (const Exposure &exposure : seen) {
        QJsonArray states;
        for (const State &state : exposure.states)
            states.append(TLTraceMeaning::printable(state.value));
        QJsonArray releases;
        for (const Release &release : exposure.releases)
            releases.append(QJsonObject{
                {QStringLiteral("value"), TLTraceMeaning::printable(release.value)},
                {QStringLiteral("answers"), TLTraceMeaning::printable(release.reactionTo)},
                {QStringLiteral("reactionMs"), TLTraceEvent::jsonMilliseconds(release.reactionUs)}});
        exposures.append(QJsonObject{{QStringLiteral("start"), exposure.states.constFirst().time},
                                     {QStringLiteral("states"), states},
                                     {QStringLiteral("outcome"), exposure.outcome},
                                     {QStringLiteral("releases"), releases}});
    }
    const QJsonObject summary{
        {QStringLiteral("start"), QString::fromLatin1(firstClock)},
        {QStringLiteral("end"), QString::fromLatin1(lastClock)},
        {QStringLiteral("telegrams"),
         QJsonObject{{QStringLiteral("tx"), telegrams(TLTraceChunk::Direction::Tx)},
                     {QStringLiteral("rx"), telegrams(TLTraceChunk::Direction::Rx)},
                     {QStringLiteral("byCode"), codes}}},
        {QStringLiteral("noTelegram"), noTelegrams},
        {QStringLiteral("loneTerminators"), loneTerminators},
        {QStringLiteral("flags"), flagCounts},
        {QStringLiteral("ackDelayMs"), QJsonObject{{QStringLiteral("tx"), delays(ackDelays[0])},
                                                   {QStringLiteral("rx"), delays(ackDelays[1])}}},
        {QStringLiteral("roundTripMs"), delays(roundTrips)},
        {QStringLiteral("statusPoll"),
         QJsonObject{{QStringLiteral("periodMs"), TLTraceEvent::jsonMilliseconds(poll.periodUs)},
                     {QStringLiteral("jitterMs"), TLTraceEvent::jsonMilliseconds(poll.jitterUs)},
                     {QStringLiteral("intervals"), poll.intervals},
                     {QStringLiteral("pauses"), poll.pauses}}},
        {QStringLiteral("exposures"), exposures}};
    return QJsonObject{{QStringLiteral("summary"), summary}};
}
