// The driver's operations against the generator simulator paced at 38400 baud, each beside the
// floor that the protocol's own waits impose:
//  - setKV with its four follow-up queries,
//  - switchOn with the power bit reported at once,
//  - lastExposureSettings in direct mode (four waiting queries, no dose meter),
//  - the handshake's reaction: last byte of "xy" 0A01 on the wire to the first byte of "xr" "41",
//    with the detector ready at once.
// Each operation but switchOn is timed right after a status poll, so that the poll's own
// telegrams do not fall into it.
// Usage: bench_operations [--runs N]
//
// How the floor is derived. At 38400 baud with 10 bits per byte a byte takes 0.2604 ms on the
// line. For every telegram the driver writes, the line carries the telegram, its one-byte echo
// and, for a query, the reply; the link then ends its collection of what arrived only at the
// first wait of 50 ms that brings nothing (the collection step), and only then counts the echo
// and hands on the reply. So each telegram of an operation costs at least
//     (bytes written + 1 echo byte + reply bytes) x 0.2604 ms + 50 ms,
// one after the other, as the link has one telegram on the wire at a time. The owner's 50 ms send
// poll adds nothing here: the link wakes a waiting sender as soon as its telegram is echoed, and
// a newly queued telegram ends the link's wait for input at once. switchOn waits in addition for
// the first status poll, which the link's tick sends 1000 ms after its loop started. The handshake
// reaction is one collection step after the state's last byte, plus the echo of the state.
// Floors are summed from the telegrams that the simulator saw the driver write during each run.

#include "BenchCommon.h"
#include "KestrovanTiming.h"
#include "TLGeneratorConfigData.h"
#include "TLGeneratorDriverKestrovan.h"
#include "TLHostApplication.h"
#include "TLKestrovanGeneratorSimulator.h"
#include "TLXRayExposureStateProvider.h"
#include "TLXRaySynchronizer.h"

#include <QElapsedTimer>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <vector>

namespace {
using Sim = TLKestrovanGeneratorSimulator;
using Line = TLKestrovanSimulatedLine;
constexpr double ByteMs = Line::PacingMicrosecondsPerByte / 1000.0;
constexpr double CollectionStepMs = 50.0;
constexpr double FirstTickMs = double(Kestrovan::StatusPollIntervalMs);

// The floor of the telegrams the driver wrote since the transcript was cleared: each one, its
// echo and the generator's reply to a query, on the line, and a collection step.
double telegramFloorMs(const Sim &sim)
{
    double floor = 0;
    for (const QByteArray &telegram : sim.line().telegramsFromDriver()) {
        double bytes = telegram.size() + 1;
        if (telegram.size() == 4 && telegram.at(2) == '?')
            bytes += Line::telegram(telegram.left(2) + sim.model().value(telegram.left(2))).size();
        floor += bytes * ByteMs + CollectionStepMs;
    }
    return floor;
}

struct Row
{
    const char *name;
    std::vector<double> measured;
    std::vector<double> floors;
};

void print(const Row &row)
{
    const double median = percentile(row.measured, 0.5), p99 = percentile(row.measured, 0.99);
    const double floor = percentile(row.floors, 0.5);
    std::printf("| %s | %zu | %.1f ms | %.1f ms | %.1f ms | %+.1f %% | %+.1f %% |\n", row.name,
                row.measured.size(), median, p99, floor, 100.0 * (median / floor - 1),
                100.0 * (p99 / floor - 1));
}

} // namespace

int main(int argc, char **argv)
{
    TLHostApplication app(argc, argv);
    app.setRecording(false);
    const int runs = argument(app.arguments(), QStringLiteral("--runs"), 100);
    TLXRayExposureStateProvider::instance()->setUnlocked(true);
    TLXRaySynchronizer::instance()->setDetectorReadyAnswer(TLHostAnswer::atOnce());

    Sim sim;
    sim.line().setPacing(true);
    sim.model().setPowerOnDelayMs(0);
    if (!sim.start()) {
        std::fprintf(stderr, "simulator: %s\n", qPrintable(sim.errorString()));
        return 1;
    }
    TLGeneratorDriverKestrovan driver;
    driver.setBlockQueries(false);
    QSharedPointer<TLGeneratorConfigData> config(new TLGeneratorConfigData);
    config->portName = sim.slavePath();
    config->targetDeviceCodes = {{1, 2, 12}};
    driver.setDeviceConfig(config);

    Row switchOn{"switchOn, power reported at once", {}, {}};
    for (int i = 0; i < std::max(3, runs / 10); ++i) {
        // The generator was reported off before: the power-on wait needs the first status poll.
        sim.model().setPowered(false);
        driver.onMessageReceived(Line::telegram("st0"));
        sim.line().clearTranscript();
        QElapsedTimer timer;
        timer.start();
        if (!driver.switchOn().isSuccess()) {
            std::fprintf(stderr, "switchOn failed\n");
            return 1;
        }
        switchOn.measured.push_back(double(timer.nsecsElapsed()) / 1e6);
        switchOn.floors.push_back(FirstTickMs + telegramFloorMs(sim));
        driver.switchOff();
    }
    if (!driver.switchOn().isSuccess())
        return 1;

    TLKestrovanSimulatedLine &line = sim.line();
    const auto measure = [&sim, &line, runs](Row &row, const std::function<void(int)> &operation) {
        for (int i = 0; i < runs; ++i) {
            // Started just after a status poll, so that the poll's telegrams do not fall in.
            line.clearTranscript();
            while (!line.waitForTelegramFromDriver("qs?", 2000) || !line.waitForIdle(2000)) {}
            QThread::msleep(20);
            line.clearTranscript();
            QElapsedTimer timer;
            timer.start();
            operation(i);
            row.measured.push_back(double(timer.nsecsElapsed()) / 1e6);
            row.floors.push_back(telegramFloorMs(sim));
        }
    };
    Row setKV{"setKV with four follow-up queries", {}, {}};
    measure(setKV, [&driver](int i) { driver.setKV(i % 2 ? 70 : 71); });
    Row last{"lastExposureSettings, direct", {}, {}};
    measure(last, [&driver](int) {
        TLGeneratorSettings settings;
        driver.lastExposureSettings(settings);
    });

    Row reaction{"handshake: xy 0A01 last byte to xr 41 first byte", {}, {}};
    const QByteArray state = Line::telegram("xy0A01");
    for (int i = 0; i < runs; ++i) {
        // As above, between two status polls: a state that meets a poll's exchange waits for it,
        // as the link writes one telegram at a time in the order they were queued.
        line.clearTranscript();
        while (!line.waitForTelegramFromDriver("qs?", 2000) || !line.waitForIdle(2000)) {}
        QThread::msleep(20);
        line.clearTranscript();
        line.sendTelegram("xy0A01");
        if (!line.waitForTelegramFromDriver("xr41", 3000) || !line.waitForIdle(3000))
            return 1;
        qint64 stateEnd = -1, answerStart = -1;
        for (const Line::TranscriptEntry &entry : line.transcript()) {
            if (stateEnd < 0 && entry.direction == Line::Direction::ToDriver && entry.bytes.contains(state))
                stateEnd = entry.elapsedUs + qint64(state.size() - 1) * Line::PacingMicrosecondsPerByte;
            if (answerStart < 0 && entry.direction == Line::Direction::FromDriver
                && entry.bytes.contains("xr41"))
                answerStart = entry.elapsedUs;
        }
        reaction.measured.push_back(double(answerStart - stateEnd) / 1000.0);
        reaction.floors.push_back(CollectionStepMs + ByteMs);
    }

    std::printf("| operation (simulator paced at 38400 baud) | runs | median | 99th percentile | floor | "
                "median over floor "
                "(target < 10 %%) | 99th over floor (target < 25 %%) |\n|---|---|---|---|---|---|---|\n");
    for (const Row *row : {&setKV, &switchOn, &last, &reaction})
        print(*row);
    driver.switchOff();
    return 0;
}
