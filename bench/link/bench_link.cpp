// Link benchmarks against the generator simulator paced at 38400 baud:
//  1. query round trip (median, 99th percentile) beside its floor: the query "kv?" (4 bytes),
//     its echo (1) and the reply "kv70" (5) on the line at 0.2604 ms a byte, and the link's
//     50 ms collection step, which ends only at the first wait that brings nothing;
//  2. waiting queries in a row, and how many waited the full reply time;
//  3. CPU of the link thread while it only polls the status;
//  4. CPU of a link thread whose far end has hung up (a pulled cable), while nothing is sent.
// Usage: bench_link [--queries N] [--row N] [--poll-seconds S] [--hung-up-seconds S]

#include "BenchCommon.h"
#include "KestrovanTiming.h"
#include "TLGeneratorConfigData.h"
#include "TLGeneratorDriverKestrovan.h"
#include "TLHostApplication.h"
#include "TLKestrovanGeneratorSimulator.h"
#include "TLKestrovanSerialCommunicator.h"

#include <QElapsedTimer>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace {
constexpr double CollectionStepMs = 50;
constexpr double QueryFloorMs =
    CollectionStepMs + (4 + 1 + 5) * TLKestrovanSimulatedLine::PacingMicrosecondsPerByte / 1000.0;

// Percent of one core that the link thread used over `seconds` of sleep of this thread.
double linkThreadCpuShare(int seconds)
{
    const double before = threadsCpuSeconds(DriverLinkThreadName);
    QElapsedTimer timer;
    timer.start();
    QThread::sleep(static_cast<unsigned long>(seconds));
    const double after = threadsCpuSeconds(DriverLinkThreadName);
    return before < 0 ? -1 : 100.0 * (after - before) / (double(timer.elapsed()) / 1000.0);
}
// A bare link on a line whose far end hangs up once it is open.
double hungUpLinkCpuShare(int seconds)
{
    TLKestrovanGeneratorSimulator far;
    if (!far.start())
        return -1;
    TLKestrovanSerialCommunicator link(far.slavePath());
    link.start();
    link.waitForOpened();
    far.line().hangUp();
    const double share = linkThreadCpuShare(seconds);
    link.stop();
    return share;
}

} // namespace

int main(int argc, char **argv)
{
    TLHostApplication app(argc, argv);
    app.setRecording(false);
    const QStringList args = app.arguments();
    const int queries = argument(args, QStringLiteral("--queries"), 200);
    const int row = argument(args, QStringLiteral("--row"), 2000);
    const int pollSeconds = argument(args, QStringLiteral("--poll-seconds"), 60);
    const int hungUpSeconds = argument(args, QStringLiteral("--hung-up-seconds"), 10);

    TLKestrovanGeneratorSimulator sim;
    sim.line().setPacing(true);
    if (!sim.start()) {
        std::fprintf(stderr, "simulator: %s\n", qPrintable(sim.errorString()));
        return 1;
    }
    TLGeneratorDriverKestrovan driver;
    QSharedPointer<TLGeneratorConfigData> config(new TLGeneratorConfigData);
    config->portName = sim.slavePath();
    driver.setDeviceConfig(config);
    if (!driver.openConnection().isSuccess()) {
        std::fprintf(stderr, "cannot open %s\n", qPrintable(sim.slavePath()));
        return 1;
    }

    std::vector<double> roundTrips;
    for (int i = 0; i < queries; ++i) {
        QElapsedTimer timer;
        timer.start();
        driver.query(Kestrovan::KV, true);
        roundTrips.push_back(double(timer.nsecsElapsed()) / 1e6);
    }

    int fullWaits = 0;
    QElapsedTimer rowTimer;
    rowTimer.start();
    for (int i = 0; i < row; ++i) {
        QElapsedTimer timer;
        timer.start();
        driver.query(i % 2 ? Kestrovan::MA : Kestrovan::Ms, true);
        if (timer.elapsed() >= qint64(Kestrovan::ReplyTimeoutMs))
            ++fullWaits;
    }
    const double rowSeconds = double(rowTimer.elapsed()) / 1000.0;

    driver.startStatusPolling();
    const double cpuShare = linkThreadCpuShare(pollSeconds);
    driver.closeConnection();
    const double hungUpShare = hungUpLinkCpuShare(hungUpSeconds);

    std::printf("| measurement | value |\n|---|---|\n");
    const double median = percentile(roundTrips, 0.5), p99 = percentile(roundTrips, 0.99);
    std::printf(
        "| query round trip, median (%d queries, paced 38400 baud; target within 10 %% of the floor) | "
        "%.1f ms (%+.1f %%) |\n",
        queries, median, 100.0 * (median / QueryFloorMs - 1));
    std::printf("| query round trip, 99th percentile (target within 25 %%) | %.1f ms (%+.1f %%) |\n", p99,
                100.0 * (p99 / QueryFloorMs - 1));
    std::printf("| floor: query, echo and reply on the line, one collection step | %.1f ms |\n",
                QueryFloorMs);
    std::printf("| waiting queries in a row | %d in %.1f s |\n", row, rowSeconds);
    std::printf("| of them waited the full %d ms (target 0) | %d |\n", Kestrovan::ReplyTimeoutMs, fullWaits);
    std::printf("| link thread CPU while polling %d s (target < 1 %%) | %.2f %% of one core |\n", pollSeconds,
                cpuShare);
    std::printf("| link thread CPU, far end hung up, %d s (target < 1 %%) | %.2f %% of one core |\n",
                hungUpSeconds, hungUpShare);
    return fullWaits == 0 ? 0 : 1;
}
