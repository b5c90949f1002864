// Flood benchmark: a real driver, switched on and polling, against the generator simulator on a
// pseudo-terminal (paced at 38400 baud) while the line is flooded, one kind after the other: good
// telegrams the driver only stores, noise, bytes that never end a telegram (these three at line
// rate, 3840 bytes a second) and random bytes as fast as the terminal takes them. For each kind
// it prints, beside the targets:
//  - a setKV made a third into the flood, against the same call on a quiet line before;
//  - the largest gap between two status polls ("st?") that reached the generator in the flood;
//  - resident memory at its peak during the flood, and once the driver polls again after it,
//    against the figure before the flood;
//  - the driver's log lines a minute during the flood, Debug and above and Trace apart, and the
//    lines above Trace it wrote after the flood until it polled again (a backlog);
//  - CPU as % of one core during the flood: the driver's link thread, and the whole process
//    without the simulator's threads;
//  - whether the driver was still switched on and polling at the flood's end, and when its poll
//    came back after it.
// Log lines are counted as the host receives them, not recorded: a record of millions of lines
// would itself be the memory growth being measured.
//
// Usage: bench_flood [SECONDS] [--kinds telegrams,noise,unterminated,full-speed] [--settle S]
//                    [--rss-limit MIB]
// SECONDS per flood, 60 by default; "bench_flood 10" is a quick run. After each flood the run
// waits up to --settle seconds (30) for the poll to come back, and switches on again a driver that
// lost its link before the next kind. Once resident memory has grown by --rss-limit MiB (1024)
// the run ends at once with the table of the floods done: a driver that keeps what arrives would
// otherwise take the machine's memory, and a host call it holds up could not be left. The exit
// status is 0 when every target was met.

#include "BenchCommon.h"
#include "TLGeneratorConfigData.h"
#include "TLGeneratorDriverKestrovan.h"
#include "TLHostApplication.h"
#include "TLHostDevice.h"
#include "TLKestrovanGeneratorSimulator.h"

#include <QThread>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace {
using Clock = std::chrono::steady_clock;
using Flood = TLKestrovanSimulatedLine::Flood;

// The targets.
constexpr double SetKvSlowdownLimit = 1.25;
constexpr qint64 PollGapLimitMs = 2000;
constexpr qint64 MemoryGrowthLimitKiB = 2048;
constexpr double LogLinesPerMinuteLimit = 100;
constexpr double CpuLimitPercent = 10;

constexpr int DefaultFloodSeconds = 60;
constexpr int DefaultSettleSeconds = 30;
constexpr int DefaultRssLimitMiB = 1024;
constexpr int QuietSetKvCalls = 5;
// Memory samples, and the main thread's steps through its events.
constexpr int StepMs = 100;
constexpr int EventStepMs = 10;
// A quiet moment before each flood, for the figures "before".
constexpr int QuietMs = 2000;
// Echoes of flood telegrams still count this long after the poll came back.
constexpr int EchoGraceMs = 1000;
// Longest the driver may take to tear down after the table; then the process ends regardless.
constexpr int TeardownLimitSeconds = 30;

const QByteArray StatusQuery = QByteArrayLiteral("st?\xb8");

struct Kind
{
    const char *name;
    Flood flood;
    bool lineRate;
};
const Kind Kinds[] = {{"telegrams", Flood::Telegrams, true},
                      {"noise", Flood::Noise, true},
                      {"unterminated", Flood::Unterminated, true},
                      {"full-speed", Flood::FullSpeed, false}};

// Counts the driver's log lines by level as they come.
class CountingHost : public TLHostApplication
{
public:
    using TLHostApplication::TLHostApplication;

    void log(const QString &category, const QString &text, LogLevel level) override
    {
        ++(level == LogLevel::Trace ? traceLines : otherLines);
        TLHostApplication::log(category, text, level);
    }

    std::atomic<qint64> traceLines{0};
    std::atomic<qint64> otherLines{0}; // Debug and above
};

// When the driver's status polls reached the generator, from the simulator's trace of the line.
class PollRecorder
{
public:
    void received(const QByteArray &bytes)
    {
        const Clock::time_point now = Clock::now();
        std::lock_guard<std::mutex> lock(mutex);
        for (const char byte : bytes) {
            pending.append(byte);
            if (byte & 0x80) {
                if (pending == StatusQuery)
                    polls.push_back(now);
                pending.clear();
            }
        }
    }

    std::vector<Clock::time_point> between(Clock::time_point from, Clock::time_point to) const
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<Clock::time_point> found;
        std::copy_if(polls.begin(), polls.end(), std::back_inserter(found),
                     [&](Clock::time_point at) { return at >= from && at <= to; });
        return found;
    }

private:
    mutable std::mutex mutex;
    QByteArray pending;
    std::vector<Clock::time_point> polls;
};

qint64 msBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

// What is counted at both ends of a flood.
struct Snapshot
{
    Clock::time_point at;
    qint64 traceLines = 0;
    qint64 otherLines = 0;
    double linkCpu = 0;
    double processCpu = 0;
    double simulatorCpu = 0;
    TLKestrovanSimulatedLine::FloodCounts flood;
};

struct Result
{
    Kind kind;
    bool switchedOnAgain = false;
    double seconds = 0;
    double bytesPerSecond = 0;
    int floodTelegrams = 0;
    int floodEchoes = 0;
    int floodEchoesLater = 0;
    qint64 setKvMs = 0;
    bool setKvArrived = false;
    qint64 largestPollGapMs = 0;
    int polls = 0;
    qint64 rssBefore = 0;
    qint64 rssPeak = 0;
    qint64 rssAfter = 0;
    double otherPerMinute = 0;
    double tracePerMinute = 0;
    qint64 backlogLines = 0;
    double linkCpuPercent = -1; // -1: the link thread did not last the flood
    double driverCpuPercent = 0;
    bool onAndPollingAtEnd = false;
    qint64 pollBackMs = -1; // -1: not within the settle time
};

class FloodBench
{
public:
    FloodBench(CountingHost &host, TLKestrovanGeneratorSimulator &sim, int seconds, int settleSeconds)
        : host(host), sim(sim), seconds(seconds), settleSeconds(settleSeconds)
    {
    }

    bool begin();
    void run(const Kind &kind);
    void end();
    qint64 quietSetKvMs = 0;
    // The floods done; read by the memory guard's thread.
    std::vector<Result> results() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return done;
    }

private:
    Snapshot snapshot() const;
    void measure(Result &r, const Snapshot &start, const Snapshot &stop) const;
    // Runs the main thread's events until done() or the time is over.
    void runEvents(const std::function<bool()> &done, Clock::time_point until);
    qint64 timedSetKv(double kv);

    CountingHost &host;
    TLKestrovanGeneratorSimulator &sim;
    const int seconds;
    const int settleSeconds;
    PollRecorder recorder;
    TLHostDevice device{QStringLiteral("kestrovan")};
    TLGeneratorDriverKestrovan driver;
    int settingCount = 0;
    mutable std::mutex mutex;
    std::vector<Result> done;
};

bool FloodBench::begin()
{
    sim.line().setTraceHandler([this](const TLKestrovanSimulatedLine::TranscriptEntry &entry) {
        if (entry.direction == TLKestrovanSimulatedLine::Direction::FromDriver)
            recorder.received(entry.bytes);
    });
    QSharedPointer<TLGeneratorConfigData> config(new TLGeneratorConfigData);
    config->portName = sim.slavePath();
    config->targetDeviceCodes = {{1, 2, 12}};
    driver.setDeviceConfig(config);
    driver.setDevice(&device);
    device.setState(DeviceState::Ready);
    if (!driver.switchOn().isSuccess())
        return false;
    timedSetKv(70); // warm-up
    std::vector<double> quiet;
    quiet.reserve(QuietSetKvCalls);
    for (int i = 0; i < QuietSetKvCalls; ++i)
        quiet.push_back(double(timedSetKv(71 + i)));
    quietSetKvMs = qint64(percentile(quiet, 0.5));
    return true;
}

qint64 FloodBench::timedSetKv(double kv)
{
    const Clock::time_point start = Clock::now();
    driver.setKV(kv);
    ++settingCount;
    return msBetween(start, Clock::now());
}

Snapshot FloodBench::snapshot() const
{
    return {Clock::now(),
            host.traceLines.load(),
            host.otherLines.load(),
            threadsCpuSeconds(DriverLinkThreadName),
            processCpuSeconds(),
            std::max(0.0, threadsCpuSeconds(TLKestrovanSimulatedLine::ThreadNamePrefix)),
            sim.line().floodCounts()};
}

void FloodBench::runEvents(const std::function<bool()> &done, Clock::time_point until)
{
    while (!done() && Clock::now() < until) {
        QCoreApplication::processEvents();
        QThread::msleep(EventStepMs);
    }
}

void FloodBench::measure(Result &r, const Snapshot &start, const Snapshot &stop) const
{
    const double wall = double(msBetween(start.at, stop.at)) / 1000.0;
    r.seconds = wall;
    r.bytesPerSecond = double(stop.flood.bytes - start.flood.bytes) / wall;
    r.floodTelegrams = stop.flood.telegrams - start.flood.telegrams;
    r.floodEchoes = stop.flood.echoes - start.flood.echoes;
    r.otherPerMinute = double(stop.otherLines - start.otherLines) * 60.0 / wall;
    r.tracePerMinute = double(stop.traceLines - start.traceLines) * 60.0 / wall;
    // A link thread that was replaced or ended counts for nothing here.
    if (start.linkCpu >= 0 && stop.linkCpu >= start.linkCpu)
        r.linkCpuPercent = 100.0 * (stop.linkCpu - start.linkCpu) / wall;
    r.driverCpuPercent =
        100.0 * ((stop.processCpu - start.processCpu) - (stop.simulatorCpu - start.simulatorCpu)) / wall;

    const std::vector<Clock::time_point> polls = recorder.between(start.at, stop.at);
    r.polls = int(polls.size());
    Clock::time_point previous = start.at;
    for (const Clock::time_point at : polls) {
        r.largestPollGapMs = std::max(r.largestPollGapMs, msBetween(previous, at));
        previous = at;
    }
    r.largestPollGapMs = std::max(r.largestPollGapMs, msBetween(previous, stop.at));
    r.onAndPollingAtEnd = r.onAndPollingAtEnd && msBetween(previous, stop.at) <= PollGapLimitMs;
}

void FloodBench::run(const Kind &kind)
{
    Result r;
    r.kind = kind;
    if (!driver.isSwitchedOn()) {
        r.switchedOnAgain = true;
        driver.switchOn();
    }
    runEvents([] { return false; }, Clock::now() + std::chrono::milliseconds(QuietMs));
    r.rssBefore = residentKiB();
    std::atomic<qint64> rssPeak{r.rssBefore};

    const Snapshot start = snapshot();
    const auto planned = std::chrono::seconds(seconds);
    std::atomic<bool> floodOver{false};
    Snapshot stop;
    // The flood's clock runs in a thread of its own: the host's thread may be held in setKV.
    sim.line().setFlood(kind.flood);
    std::thread controller([&] {
        while (Clock::now() - start.at < planned) {
            std::this_thread::sleep_for(std::chrono::milliseconds(StepMs));
            rssPeak = std::max(rssPeak.load(), residentKiB());
        }
        sim.line().setFlood(Flood::Off);
        stop = snapshot();
        r.onAndPollingAtEnd = driver.isSwitchedOn();
        floodOver = true;
    });
    runEvents([&] { return floodOver.load(); }, start.at + planned / 3);
    const double kv = 80 + settingCount % 40;
    r.setKvMs = timedSetKv(kv);
    runEvents([&] { return floodOver.load(); }, Clock::time_point::max());
    controller.join();
    r.rssPeak = rssPeak;
    measure(r, start, stop);

    // After the flood: until the poll comes back, or the link is gone for good.
    runEvents([&] { return !recorder.between(stop.at, Clock::now()).empty() || !driver.isSwitchedOn(); },
              stop.at + std::chrono::seconds(settleSeconds));
    const std::vector<Clock::time_point> after = recorder.between(stop.at, Clock::now());
    r.pollBackMs = after.empty() ? -1 : msBetween(stop.at, after.front());
    r.backlogLines = host.otherLines.load() - stop.otherLines;
    runEvents([] { return false; }, Clock::now() + std::chrono::milliseconds(EchoGraceMs));
    r.floodEchoesLater = sim.line().floodCounts().echoes - start.flood.echoes;
    r.rssAfter = residentKiB();
    r.setKvArrived = sim.model().value("kv") == QByteArray::number(kv);
    std::lock_guard<std::mutex> lock(mutex);
    done.push_back(r);
}

void FloodBench::end()
{
    // A driver still busy with what a flood left may not stop in time: the figures are out.
    std::thread([] {
        std::this_thread::sleep_for(std::chrono::seconds(TeardownLimitSeconds));
        std::fprintf(stderr, "the driver did not stop within %d s\n", TeardownLimitSeconds);
        std::_Exit(2);
    }).detach();
    driver.switchOff();
    sim.stop();
}

// Prints the table, a figure that misses its target in bold; false when one did.
bool printTable(const std::vector<Result> &results, qint64 quietSetKvMs, int seconds)
{
    bool allMet = true;
    const auto row = [&](const QString &measure, const QString &target,
                         const std::function<QString(const Result &, bool &met)> &cell) {
        QString line = QStringLiteral("| %1 | %2 |").arg(measure, target);
        for (const Result &r : results) {
            bool met = true;
            const QString text = cell(r, met);
            allMet = allMet && met;
            line += met ? QStringLiteral(" %1 |").arg(text) : QStringLiteral(" **%1** |").arg(text);
        }
        std::printf("%s\n", qPrintable(line));
    };
    QString header = QStringLiteral("| measure | target |");
    for (const Result &r : results)
        header += QStringLiteral(" %1 |").arg(QLatin1String(r.kind.name));
    std::printf("%s\n|---|---|%s\n", qPrintable(header),
                qPrintable(QStringLiteral("---|").repeated(int(results.size()))));

    row("flood kept up (s)", QString::number(seconds),
        [](const Result &r, bool &) { return QString::number(r.seconds, 'f', 1); });
    row("flood bytes a second", "3840 at line rate",
        [](const Result &r, bool &) { return QString::number(r.bytesPerSecond, 'f', 0); });
    row(QString::asprintf(
            "flood telegrams echoed by the driver: in the flood, by %d ms after polling again / written",
            EchoGraceMs),
        "all", [](const Result &r, bool &met) {
            if (r.kind.flood != Flood::Telegrams)
                return QStringLiteral("-");
            met = r.floodEchoesLater >= r.floodTelegrams;
            return QString::asprintf("%d, %d / %d", r.floodEchoes, r.floodEchoesLater, r.floodTelegrams);
        });
    row(QString::asprintf("setKV a third into the flood (quiet line: %lld ms)",
                          static_cast<long long>(quietSetKvMs)),
        QString::asprintf("<= %.2fx", SetKvSlowdownLimit), [&](const Result &r, bool &met) {
            const double ratio = double(r.setKvMs) / double(std::max<qint64>(1, quietSetKvMs));
            met = ratio <= SetKvSlowdownLimit;
            return QString::asprintf("%lld ms (%.2fx)", static_cast<long long>(r.setKvMs), ratio);
        });
    row("setKV's value reached the generator", "yes", [](const Result &r, bool &met) {
        met = r.setKvArrived;
        return QString::fromLatin1(met ? "yes" : "no");
    });
    row("largest gap between status polls in the flood",
        QString::asprintf("<= %lld ms", static_cast<long long>(PollGapLimitMs)),
        [](const Result &r, bool &met) {
            met = r.largestPollGapMs <= PollGapLimitMs;
            return QString::asprintf("%lld ms (%d polls)", static_cast<long long>(r.largestPollGapMs),
                                     r.polls);
        });
    row("resident memory: peak in the flood - before (KiB)",
        QString::asprintf("<= %lld", static_cast<long long>(MemoryGrowthLimitKiB)),
        [](const Result &r, bool &met) {
            met = r.rssPeak - r.rssBefore <= MemoryGrowthLimitKiB;
            return QString::asprintf("%lld (%lld -> %lld)", static_cast<long long>(r.rssPeak - r.rssBefore),
                                     static_cast<long long>(r.rssBefore), static_cast<long long>(r.rssPeak));
        });
    row("resident memory: after the flood - before (KiB)",
        QString::asprintf("<= %lld", static_cast<long long>(MemoryGrowthLimitKiB)),
        [](const Result &r, bool &met) {
            met = r.rssAfter - r.rssBefore <= MemoryGrowthLimitKiB;
            return QString::number(r.rssAfter - r.rssBefore);
        });
    row("log lines a minute in the flood, Debug and above",
        QString::asprintf("< %.0f", LogLinesPerMinuteLimit), [](const Result &r, bool &met) {
            met = r.otherPerMinute < LogLinesPerMinuteLimit;
            return QString::number(r.otherPerMinute, 'f', 0);
        });
    row("Trace lines a minute in the flood (telegram traffic)", "-",
        [](const Result &r, bool &) { return QString::number(r.tracePerMinute, 'f', 0); });
    row("log lines above Trace after the flood, until polling again", "-",
        [](const Result &r, bool &) { return QString::number(r.backlogLines); });
    row("link thread CPU in the flood (% of one core)",
        QString::asprintf("< %.0f at line rate", CpuLimitPercent), [](const Result &r, bool &met) {
            met = !r.kind.lineRate || (r.linkCpuPercent >= 0 && r.linkCpuPercent < CpuLimitPercent);
            return r.linkCpuPercent < 0 ? QStringLiteral("- (link gone)")
                                        : QString::number(r.linkCpuPercent, 'f', 1);
        });
    row("process CPU without the simulator (% of one core)",
        QString::asprintf("< %.0f at line rate", CpuLimitPercent), [](const Result &r, bool &met) {
            met = !r.kind.lineRate || r.driverCpuPercent < CpuLimitPercent;
            return QString::number(r.driverCpuPercent, 'f', 1);
        });
    row("switched on and polling at the flood's end (switched on again before it)", "yes (no)",
        [](const Result &r, bool &met) {
            met = r.onAndPollingAtEnd && !r.switchedOnAgain;
            return QString::fromLatin1(r.onAndPollingAtEnd ? "yes" : "no")
                   + QString::fromLatin1(r.switchedOnAgain ? " (yes)" : " (no)");
        });
    row("first poll after the flood's end", "-", [](const Result &r, bool &) {
        return r.pollBackMs < 0 ? QStringLiteral("none") : QStringLiteral("%1 ms").arg(r.pollBackMs);
    });
    return allMet;
}
} // namespace

int main(int argc, char **argv)
{
    CountingHost app(argc, argv);
    app.setRecording(false);
    const QStringList args = app.arguments();
    const int seconds = args.value(1).toInt();
    const int floodSeconds = seconds > 0 ? seconds : DefaultFloodSeconds;
    const int settleSeconds = argument(args, QStringLiteral("--settle"), DefaultSettleSeconds);
    const qint64 rssLimitKiB =
        qint64(argument(args, QStringLiteral("--rss-limit"), DefaultRssLimitMiB)) * 1024;
    const int kindsAt = args.indexOf(QStringLiteral("--kinds"));
    std::vector<Kind> kinds;
    for (const Kind &kind : Kinds)
        if (kindsAt < 0 || args.value(kindsAt + 1).split(QLatin1Char(',')).contains(QLatin1String(kind.name)))
            kinds.push_back(kind);

    TLKestrovanGeneratorSimulator sim;
    sim.line().setPacing(true);
    sim.line().setRecording(false); // the transcript would grow with the flood's echoes
    if (!sim.start()) {
        std::fprintf(stderr, "simulator: %s\n", qPrintable(sim.errorString()));
        return 1;
    }
    const QString loadAtStart = loadAverage();
    const auto printFooter = [&] {
        std::printf("\nload average at start / end: %s / %s; %d cores\n", qPrintable(loadAtStart),
                    qPrintable(loadAverage()), QThread::idealThreadCount());
        std::fflush(stdout);
    };
    FloodBench bench(app, sim, floodSeconds, settleSeconds);
    if (!bench.begin()) {
        std::fprintf(stderr, "the driver did not switch on\n");
        return 1;
    }

    std::atomic<const char *> under{""};
    std::atomic<bool> finished{false};
    const qint64 baselineKiB = residentKiB();
    std::thread guard([&] {
        while (!finished) {
            std::this_thread::sleep_for(std::chrono::milliseconds(StepMs));
            const qint64 grown = residentKiB() - baselineKiB;
            if (grown <= rssLimitKiB)
                continue;
            printTable(bench.results(), bench.quietSetKvMs, floodSeconds);
            std::printf(
                "\nThe run ended in the %s flood or after it: resident memory grew by %lld MiB, over the "
                "limit of %lld MiB.\n",
                under.load(), static_cast<long long>(grown / 1024),
                static_cast<long long>(rssLimitKiB / 1024));
            printFooter();
            std::_Exit(1);
        }
    });
    for (const Kind &kind : kinds) {
        std::fprintf(stderr, "flood %s for %d s...\n", kind.name, floodSeconds);
        under = kind.name;
        bench.run(kind);
    }
    finished = true;
    guard.join();
    const bool allMet = printTable(bench.results(), bench.quietSetKvMs, floodSeconds);
    printFooter();
    bench.end();
    return allMet && !kinds.empty() ? 0 : 1;
}
