#pragma once

#include "TLKestrovanReplayRecord.h"

#include <QByteArray>
#include <QHash>
#include <QStringList>
#include <QVector>

#include <deque>
#include <map>
#include <optional>
#include <vector>

// The rules of a replay, without I/O, threads or a clock of its own: fed the driver's bytes
// with their times, it says which driver telegrams matched the record and which diverged, and
// which recorded generator chunks are due when. Times are microseconds on the caller's clock;
// the record's clock is lined up with it at the driver's first bytes, and nothing is due
// before them.
//
// A driver telegram matches the earliest recorded host telegram with the same bytes, not yet
// matched, that the record expects within MatchWindowUs of now. The record expects a telegram
// at its recorded time, moved by as much as the driver was late or early at the latest matched
// telegram before it. The chunks a telegram led to follow it at their recorded delays once it
// has matched, and are dropped when it never comes (it falls out of the window); the other
// chunks keep their recorded distance from the latest matched telegram before them. When every
// recorded copy in the window has matched, a driver telegram repeats the copy that matched last
// within the window, and gets what that one got: a poll that the driver's clock put in once
// more, or a telegram written again for want of an echo a little longer than in the field.
class TLKestrovanReplayEngine
{
public:
    enum class OnDivergence { Stop, Continue };

    // The driver's status poll runs on its own clock, once a second: a recorded poll may come a
    // whole interval earlier or later against the telegrams around it, and the driver's own
    // reactions may be slower or faster than in the record by as much again. Two seconds hold
    // both. A window counted in telegrams would be milliseconds wide in a burst of queries and
    // seconds wide between polls.
    static constexpr qint64 MatchWindowUs = 2000000;
    // A driver that has gone its own way would fill the screen: beyond these, divergences are
    // only counted.
    static constexpr int MaxReportedDivergences = 100;

    struct Received
    {
        QByteArray telegram; // check byte included
        bool diverged = false;
    };
    struct Due
    {
        QByteArray bytes;
        qint64 atUs = 0; // when it was due
    };

    // The record must outlive the engine.
    TLKestrovanReplayEngine(const TLKestrovanReplayRecord &record, OnDivergence onDivergence);

    // The driver's bytes, read at nowUs: its telegrams in them (acknowledgements are left out),
    // each matched or diverged. After a stop nothing is matched any more.
    QVector<Received> receive(const QByteArray &bytes, qint64 nowUs);
    // The recorded chunks due by nowUs, in the order they were due; they count as sent.
    QVector<Due> takeDue(qint64 nowUs);
    // When the next chunk is due (it may be past); -1 when none can be until the driver sends.
    qint64 nextDueUs() const;
    // Every recorded telegram matched or missed and every chunk sent or dropped, or stopped.
    bool isOver() const;
    bool isStopped() const { return stopped; }
    int divergences() const { return divergenceCount; }
    int matchedTelegrams() const { return matchedCount; }
    int sentChunks() const { return sentCount; }
    // The divergences and the exposure handshake's reaction times since the last call.
    QStringList takeReports();
    QStringList summaryLines() const;

private:
    enum class State : char { Open, Matched, Missed };

    qint64 offsetUpTo(int telegram) const;
    qint64 expectedUs(int telegram) const { return host.at(telegram).atUs + offsetUpTo(telegram - 1); }
    int findMatch(const QByteArray &telegram, qint64 nowUs);
    void match(int telegram, qint64 nowUs);
    // The chunks a telegram led to, due at their recorded delays after nowUs; again: for a
    // repeat, not counted as sent once more.
    void schedule(int telegram, qint64 nowUs, bool again);
    void diverge(const QByteArray &telegram, qint64 nowUs);
    // The open telegram in the window that the record expected instead: the earliest of the same
    // code, or else the nearest in time.
    int nearestOpen(const QByteArray &telegram, qint64 nowUs) const;
    // Telegrams whose window has passed are missed; their chunks dropped.
    void expire(qint64 nowUs);
    void reportHandshake(int telegram, qint64 nowUs);
    static QString seconds(qint64 us);

    const QVector<TLKestrovanReplayRecord::HostTelegram> &host;
    const QVector<TLKestrovanReplayRecord::GeneratorChunk> &chunks;
    const qint64 firstHostUs;
    const OnDivergence onDivergence;

    std::vector<State> telegramState;
    std::vector<qint64> sentAtUs;               // per chunk; -1 while not sent
    std::vector<std::vector<int>> ledChunks;    // per telegram
    QHash<QByteArray, std::deque<int>> byBytes; // telegram indices, oldest first
    std::map<int, qint64> offsets;              // matched telegram -> its time minus the record's
    std::multimap<qint64, int> scheduled;       // due time -> chunk; -1 - chunk: sent again
    std::vector<int> unled;                     // chunks no telegram led to, in order
    size_t nextUnled = 0;
    int firstOpen = 0;
    std::optional<qint64> startOffset;
    qint64 latestOffset = 0;
    struct Copy
    {
        int telegram = -1;
        qint64 atUs = 0; // when it matched; repeats do not move the window on
    };
    QHash<QByteArray, Copy> latestCopies; // the matched telegram each driver telegram may repeat
    QByteArray pending;
    bool stopped = false;
    int divergenceCount = 0;
    int matchedCount = 0;
    int sentCount = 0;
    int repeatCount = 0;
    int droppedCount = 0;
    qint64 largestDifferenceUs = -1;
    int largestAt = -1;
    QStringList reports;
};
