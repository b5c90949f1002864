// The driver's two status waits, against the generator simulator: how much CPU the host's thread
// spends while it waits, and how soon the wait ends once the link has stored the status word
// that sets the awaited bit.
//  - switchOn, the generator reporting power on 1500 ms after the power-on command;
//  - activateForAcqusition, the focus ready 1500 ms after the reset.
// The moment of storing is the link thread's "status1: a -> b" line; the wait's end is the
// "generator switched on" line for switchOn (written right after the wait) and the return of
// activateForAcqusition. From the status telegram's last byte add the link's 50 ms collection
// step, which the link waits out before it hands any telegram on.
// Usage: bench_waits [--runs N]

#include "BenchCommon.h"
#include "TLGeneratorConfigData.h"
#include "TLGeneratorDriverKestrovan.h"
#include "TLHostApplication.h"
#include "TLKestrovanGeneratorSimulator.h"
#include "TLKestrovanStatusWord.h"

#include <QElapsedTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {
using Clock = std::chrono::steady_clock;
constexpr int ReportAfterMs = 1500;

// Notes when the status word with the awaited bit was stored, and when the power-on wait ended.
class TimingHost : public TLHostApplication
{
public:
    using TLHostApplication::TLHostApplication;
    std::atomic<int> awaitedBit{0};
    std::atomic<Clock::rep> storedAt{0}, switchedOnAt{0};

    void log(const QString &category, const QString &text, LogLevel level) override
    {
        const Clock::rep now = Clock::now().time_since_epoch().count();
        if (text.startsWith(QLatin1String("status1: ")) && storedAt.load() == 0
            && (text.section(QLatin1Char(' '), -1).toInt() & awaitedBit.load()))
            storedAt = now;
        else if (text == QLatin1String("generator switched on"))
            switchedOnAt = now;
        TLHostApplication::log(category, text, level);
    }
};

double threadCpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1000.0 + double(t.tv_nsec) / 1e6;
}

void print(const char *name, const std::vector<double> &cpuShares, const std::vector<double> &reactions)
{
    std::printf("| %s | %zu | %.2f %% | %.2f %% | %.3f ms | %.3f ms |\n", name, cpuShares.size(),
                percentile(cpuShares, 0.5), percentile(cpuShares, 1.0), percentile(reactions, 0.5),
                percentile(reactions, 0.99));
}
} // namespace

int main(int argc, char **argv)
{
    TimingHost host(argc, argv);
    host.setRecording(false);
    const int runs = argument(host.arguments(), QStringLiteral("--runs"), 10);

    TLKestrovanGeneratorSimulator sim;
    sim.line().setPacing(true);
    sim.model().setPowerOnDelayMs(ReportAfterMs);
    sim.model().setFocusReadyDelayMs(ReportAfterMs);
    if (!sim.start())
        return 1;
    TLGeneratorDriverKestrovan driver;
    QSharedPointer<TLGeneratorConfigData> config(new TLGeneratorConfigData);
    config->portName = sim.slavePath();
    config->targetDeviceCodes = {{1, 2, 12}};
    driver.setDeviceConfig(config);
    driver.setBlockQueries(true); // the switch-on sequence after the wait is not measured here

    std::vector<double> powerCpu, powerReaction, focusCpu, focusReaction;
    for (int i = 0; i < runs; ++i) {
        sim.model().setPowered(false);
        driver.onMessageReceived(TLKestrovanSimulatedLine::telegram("st0"));
        host.awaitedBit = TLKestrovanStatusWord::GeneratorOnBit;
        host.storedAt = 0;
        QElapsedTimer wall;
        wall.start();
        double cpu = threadCpuMs();
        if (!driver.switchOn().isSuccess())
            return 1;
        powerCpu.push_back(100.0 * (threadCpuMs() - cpu) / double(wall.elapsed()));
        powerReaction.push_back(double(host.switchedOnAt - host.storedAt) / 1e6);

        host.awaitedBit = TLKestrovanStatusWord::FocusReadyBit;
        host.storedAt = 0;
        wall.restart();
        cpu = threadCpuMs();
        if (!driver.activateForAcqusition().isSuccess())
            return 1;
        const Clock::rep returned = Clock::now().time_since_epoch().count();
        focusCpu.push_back(100.0 * (threadCpuMs() - cpu) / double(wall.elapsed()));
        focusReaction.push_back(double(returned - host.storedAt) / 1e6);
        driver.switchOff();
    }
    std::printf(
        "| wait (report after %d ms) | runs | CPU of the waiting thread, median (target < 2 %%) | maximum | "
        "status stored to wait's end, median (target < 2 ms) | 99th percentile "
        "|\n|---|---|---|---|---|---|\n",
        ReportAfterMs);
    print("switchOn, power-on wait", powerCpu, powerReaction);
    print("activateForAcqusition, focus-ready wait", focusCpu, focusReaction);
    return 0;
}
