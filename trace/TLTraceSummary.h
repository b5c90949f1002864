#pragma once

#include "TLTraceEvent.h"

#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QVector>

// What a whole trace adds up to: telegrams each way by command, the deviations by kind,
// acknowledgement delays, query round trips, the status poll's period and jitter, and the
// exposures with their states and the handshake's reaction times.
class TLTraceSummary
{
public:
    struct State
    {
        qint64 timeUs;
        QString time;
        QByteArray value;
        int state;
    };
    struct Release
    {
        qint64 timeUs;
        QByteArray value;
        qint64 reactionUs; // -1: no state to answer
        QByteArray reactionTo;
    };
    struct Exposure
    {
        QList<State> states;
        QList<Release> releases;
        bool ended = false;
        QString outcome; // how it ended, or that the trace ended first
    };

    // A pause of the status poll is an interval longer than this many periods.
    static constexpr int PausePeriods = 2;

    void add(const TLTraceEvent &event);

    int count(TLTraceEvent::Flag flag) const { return flags[static_cast<int>(flag)]; }
    int telegrams(TLTraceChunk::Direction direction) const;
    const QList<Exposure> &exposures() const { return seen; }

    QString text() const;
    QJsonObject json() const;

    // Nearest-rank percentile of samples (0 < p <= 100); -1 without samples.
    static qint64 percentile(QVector<qint64> samples, int p);

private:
    struct PollStatistics
    {
        qint64 periodUs = -1;
        qint64 jitterUs = -1;
        int intervals = 0;
        int pauses = 0;
    };
    PollStatistics pollStatistics() const;
    void trackExposure(const TLTraceEvent &event);

    // per code: telegrams host to generator, generator to host (written again: counted once)
    QMap<QByteArray, QPair<int, int>> byCode;
    int flags[TLTraceEvent::FlagCount] = {};
    int noTelegrams = 0;
    int loneTerminators = 0;
    QVector<qint64> ackDelays[2];
    QVector<qint64> roundTrips;
    QVector<qint64> pollTimes;
    QList<Exposure> seen;
    qint64 firstUs = -1;
    qint64 lastUs = -1;
    QString firstTime;
    QString lastTime;
    QByteArray firstClock;
    QByteArray lastClock;
};
