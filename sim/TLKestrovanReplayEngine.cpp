#include "TLKestrovanReplayEngine.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>

namespace {
// Telegrams with the same first two bytes (the command's code) are the likeliest to stand in
// for each other when the driver sends another value than the record.
constexpr int CodeBytes = 2;
} // namespace

TLKestrovanReplayEngine::TLKestrovanReplayEngine(const TLKestrovanReplayRecord &record,
                                                 OnDivergence onDivergence)
    : host(record.hostTelegrams()), chunks(record.generatorChunks()), firstHostUs(record.firstHostBytesUs()),
      onDivergence(onDivergence), telegramState(size_t(host.size()), State::Open),
      sentAtUs(size_t(chunks.size()), -1), ledChunks(size_t(host.size()))
{
    for (int i = 0; i < host.size(); ++i)
        byBytes[host.at(i).bytes].push_back(i);
    for (int c = 0; c < chunks.size(); ++c) {
        if (chunks.at(c).led)
            ledChunks[size_t(chunks.at(c).after)].push_back(c);
        else
            unled.push_back(c);
    }
}

qint64 TLKestrovanReplayEngine::offsetUpTo(int telegram) const
{
    const auto after = offsets.upper_bound(telegram);
    return after == offsets.begin() ? *startOffset : std::prev(after)->second;
}

QVector<TLKestrovanReplayEngine::Received> TLKestrovanReplayEngine::receive(const QByteArray &bytes,
                                                                            qint64 nowUs)
{
    if (!startOffset) {
        startOffset = nowUs - firstHostUs;
        latestOffset = *startOffset;
    }
    QVector<Received> received;
    for (const QByteArray &piece : TLKestrovanReplayRecord::cut(pending, bytes)) {
        if (piece.size() < 2 || stopped)
            continue; // an acknowledgement: the recorded chunks already allow for it
        expire(nowUs);
        const int telegram = findMatch(piece, nowUs);
        const auto copy = latestCopies.find(piece);
        const bool repeated =
            telegram < 0 && copy != latestCopies.end() && nowUs - copy->atUs <= MatchWindowUs;
        if (telegram >= 0) {
            match(telegram, nowUs);
        } else if (repeated) {
            ++repeatCount;
            schedule(copy->telegram, nowUs, true);
        } else {
            diverge(piece, nowUs);
        }
        received.append({piece, telegram < 0 && !repeated});
    }
    return received;
}

int TLKestrovanReplayEngine::findMatch(const QByteArray &telegram, qint64 nowUs)
{
    const auto found = byBytes.find(telegram);
    if (found == byBytes.end())
        return -1;
    std::deque<int> &queue = found.value();
    while (!queue.empty() && telegramState[size_t(queue.front())] != State::Open)
        queue.pop_front();
    for (const int candidate : queue) {
        if (telegramState[size_t(candidate)] != State::Open)
            continue;
        const qint64 expected = expectedUs(candidate);
        if (expected > nowUs + MatchWindowUs)
            break;
        if (expected >= nowUs - MatchWindowUs)
            return candidate;
    }
    return -1;
}

void TLKestrovanReplayEngine::match(int telegram, qint64 nowUs)
{
    const qint64 offset = nowUs - host.at(telegram).atUs;
    // How much the driver's time since the latest matched telegram before this one differs
    // from the record's.
    const qint64 difference = std::llabs(offset - offsetUpTo(telegram - 1));
    if (difference > largestDifferenceUs) {
        largestDifferenceUs = difference;
        largestAt = telegram;
    }
    telegramState[size_t(telegram)] = State::Matched;
    offsets[telegram] = offset;
    latestOffset = offset;
    latestCopies.insert(host.at(telegram).bytes, {telegram, nowUs});
    ++matchedCount;
    schedule(telegram, nowUs, false);
    if (host.at(telegram).stateChunk >= 0)
        reportHandshake(telegram, nowUs);
}

void TLKestrovanReplayEngine::schedule(int telegram, qint64 nowUs, bool again)
{
    for (const int c : ledChunks[size_t(telegram)])
        scheduled.emplace(nowUs + chunks.at(c).atUs - host.at(telegram).atUs, again ? -1 - c : c);
}

void TLKestrovanReplayEngine::reportHandshake(int telegram, qint64 nowUs)
{
    const int state = host.at(telegram).stateChunk;
    const qint64 recordedUs = host.at(telegram).atUs - chunks.at(state).atUs;
    const QString answer = QStringLiteral("handshake: %1 answered %2")
                               .arg(TLKestrovanReplayRecord::printable(host.at(telegram).bytes.chopped(1)),
                                    TLKestrovanReplayRecord::printable(
                                        TLKestrovanReplayRecord::lastExposureState(chunks.at(state).bytes)));
    const qint64 sentUs = sentAtUs[size_t(state)];
    if (sentUs < 0)
        reports << answer
                       + QStringLiteral(" (recorded after %1 ms; that state was not sent in this replay)")
                             .arg(double(recordedUs) / 1000.0, 0, 'f', 1);
    else
        reports << answer
                       + QStringLiteral(" after %1 ms (recorded after %2 ms)")
                             .arg(double(nowUs - sentUs) / 1000.0, 0, 'f', 1)
                             .arg(double(recordedUs) / 1000.0, 0, 'f', 1);
}

void TLKestrovanReplayEngine::diverge(const QByteArray &telegram, qint64 nowUs)
{
    ++divergenceCount;
    if (divergenceCount <= MaxReportedDivergences) {
        reports << QStringLiteral("divergence %1 at %2 on the record's clock: the driver sent %3")
                       .arg(divergenceCount)
                       .arg(seconds(nowUs - latestOffset), TLKestrovanReplayRecord::describe(telegram));
        const int expected = nearestOpen(telegram, nowUs);
        reports << (expected >= 0 ? QStringLiteral("  the record expected: %1")
                                        .arg(QString::fromLatin1(host.at(expected).line))
                                  : QStringLiteral("  the record expected no host telegram within %1 s of it")
                                        .arg(MatchWindowUs / 1000000));
    }
    if (divergenceCount == MaxReportedDivergences)
        reports << QStringLiteral("further divergences are only counted");
    if (onDivergence == OnDivergence::Stop) {
        stopped = true;
        reports << QStringLiteral("replay stopped at the divergence (--on-divergence stop)");
    }
}

int TLKestrovanReplayEngine::nearestOpen(const QByteArray &telegram, qint64 nowUs) const
{
    int nearest = -1;
    qint64 nearestDistance = 0;
    for (int i = firstOpen; i < host.size(); ++i) {
        if (telegramState[size_t(i)] != State::Open)
            continue;
        const qint64 expected = expectedUs(i);
        if (expected > nowUs + MatchWindowUs)
            break;
        const qint64 distance = std::llabs(expected - nowUs);
        if (distance > MatchWindowUs)
            continue;
        if (host.at(i).bytes.left(CodeBytes) == telegram.left(CodeBytes))
            return i;
        if (nearest < 0 || distance < nearestDistance) {
            nearest = i;
            nearestDistance = distance;
        }
    }
    return nearest;
}

void TLKestrovanReplayEngine::expire(qint64 nowUs)
{
    for (; firstOpen < host.size(); ++firstOpen) {
        State &state = telegramState[size_t(firstOpen)];
        if (state != State::Open)
            continue;
        if (expectedUs(firstOpen) >= nowUs - MatchWindowUs)
            return;
        state = State::Missed;
        droppedCount += int(ledChunks[size_t(firstOpen)].size());
    }
}

QVector<TLKestrovanReplayEngine::Due> TLKestrovanReplayEngine::takeDue(qint64 nowUs)
{
    QVector<Due> due;
    if (!startOffset || stopped)
        return due;
    expire(nowUs);
    for (; nextUnled < unled.size(); ++nextUnled) {
        const int c = unled[nextUnled];
        const qint64 atUs = chunks.at(c).atUs + offsetUpTo(chunks.at(c).after);
        if (atUs > nowUs)
            break;
        scheduled.emplace(atUs, c);
    }
    while (!scheduled.empty() && scheduled.begin()->first <= nowUs) {
        const auto [atUs, entry] = *scheduled.begin();
        scheduled.erase(scheduled.begin());
        const int c = entry < 0 ? -1 - entry : entry;
        if (entry >= 0) {
            sentAtUs[size_t(c)] = nowUs;
            ++sentCount;
        }
        due.append({chunks.at(c).bytes, atUs});
    }
    return due;
}

qint64 TLKestrovanReplayEngine::nextDueUs() const
{
    if (!startOffset || stopped)
        return -1;
    qint64 next = scheduled.empty() ? -1 : scheduled.begin()->first;
    if (nextUnled < unled.size()) {
        const int c = unled[nextUnled];
        const qint64 atUs = chunks.at(c).atUs + offsetUpTo(chunks.at(c).after);
        next = next < 0 ? atUs : std::min(next, atUs);
    }
    return next;
}

bool TLKestrovanReplayEngine::isOver() const
{
    return stopped
           || (startOffset && firstOpen >= host.size() && scheduled.empty() && nextUnled >= unled.size());
}

QStringList TLKestrovanReplayEngine::takeReports()
{
    QStringList taken;
    taken.swap(reports);
    return taken;
}

QStringList TLKestrovanReplayEngine::summaryLines() const
{
    QStringList lines{QStringLiteral("replay summary"),
                      QStringLiteral("  host telegrams matched: %1 of %2").arg(matchedCount).arg(host.size()),
                      QStringLiteral("  divergences: %1").arg(divergenceCount),
                      QStringLiteral("  recorded chunks sent: %1 of %2 (%3 dropped: the telegram they answer "
                                     "did not come)")
                          .arg(sentCount)
                          .arg(chunks.size())
                          .arg(droppedCount)};
    if (repeatCount > 0)
        lines << QStringLiteral("  telegrams the driver sent more often than the record, answered as their "
                                "copies: %1")
                     .arg(repeatCount);
    if (largestAt >= 0)
        lines << QStringLiteral("  largest timing difference: %1 ms, at %2 recorded at %3")
                     .arg(double(largestDifferenceUs) / 1000.0, 0, 'f', 1)
                     .arg(TLKestrovanReplayRecord::printable(host.at(largestAt).bytes.chopped(1)),
                          seconds(host.at(largestAt).atUs));
    return lines;
}

QString TLKestrovanReplayEngine::seconds(qint64 us)
{
    return QStringLiteral("%1%2.%3 s")
        .arg(us < 0 ? QStringLiteral("-") : QStringLiteral("+"))
        .arg(std::llabs(us) / 1000000)
        .arg(std::llabs(us) % 1000000, 6, 10, QLatin1Char('0'));
}
