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
// the run ends at once with the table so far, the flood under way counted up to that moment: a
// driver that keeps what arrives would otherwise take the machine's memory, and a host call it
// holds up could not be left. The exit status is 0 when every target was met.

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
#include <optional>
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
// Memory samples during a flood, and the main thread's steps through its events.
constexpr int StepMs = 100;
// A quiet moment before each flood, for the figures "before".
constexpr int QuietMs = 2000;
// Echoes of flood telegrams still count this long after the poll came back.
constexpr int EchoGraceMs = 1000;
// Longest the driver may take to tear down after the table; then the process ends regardless.
constexpr int TeardownLimitSeconds = 30;

const QByteArray StatusQuery = QByteArrayLiteral("st?\xb8");

struct Kind
{
    QString name;
    Flood flood;
    bool lineRate;
};

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
        for (const Clock::time_point at : polls)
            if (at >= from && at <= to)
                found.push_back(at);
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
    bool unfinished = false; // the run ended in this flood, or before it had settled
    double seconds = 0;
    double bytesPerSecond = 0;
    int floodTelegrams = 0;
    int floodEchoes = 0;
    int floodEchoesLater = 0;
    qint64 setKvMs = -1; // -1: not made
    bool setKvUnfinished = false;
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
    bool onAtEnd = false;
    bool pollingAtEnd = false;
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
    // The rows of the floods done and, while one is under way, its figures up to now. Any thread.
    std::vector<Result> resultsSoFar() const;
    void end();
    qint64 quietSetKvMs = 0;

private:
    Snapshot snapshot() const;
    // The figures of the flood from start to stop.
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
    std::atomic<qint64> floodRssPeak{0};

    // guarded by mutex: read by resultsSoFar() in the memory guard's thread
    mutable std::mutex mutex;
    std::vector<Result> results;
    std::optional<Result> current;
    Snapshot currentStart;
    std::optional<Snapshot> currentStop; // once the flood under way is over
    std::optional<Clock::time_point> setKvStart;
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
    Snapshot s;
    s.at = Clock::now();
    s.traceLines = host.traceLines.load();
    s.otherLines = host.otherLines.load();
    s.linkCpu = threadsCpuSeconds(DriverLinkThreadName);
    s.processCpu = processCpuSeconds();
    s.simulatorCpu = std::max(0.0, threadsCpuSeconds(TLKestrovanSimulatedLine::ThreadNamePrefix));
    s.flood = sim.line().floodCounts();
    return s;
}

void FloodBench::runEvents(const std::function<bool()> &done, Clock::time_point until)
{
    while (!done() && Clock::now() < until) {
        QCoreApplication::processEvents();
        QThread::msleep(StepMs / 10);
    }
}

void FloodBench::measure(Result &r, const Snapshot &start, const Snapshot &stop) const
{
    const double wall = std::max(0.001, double(msBetween(start.at, stop.at)) / 1000.0);
    r.seconds = wall;
    r.bytesPerSecond = double(stop.flood.bytes - start.flood.bytes) / wall;
    r.floodTelegrams = stop.flood.telegrams - start.flood.telegrams;
    r.floodEchoes = stop.flood.echoes - start.flood.echoes;
    r.otherPerMinute = double(stop.otherLines - start.otherLines) * 60.0 / wall;
    r.tracePerMinute = double(stop.traceLines - start.traceLines) * 60.0 / wall;
    // A link thread that was replaced or ended counts for nothing here.
    if (start.linkCpu >= 0 && stop.linkCpu >= start.linkCpu && r.onAtEnd)
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
    r.pollingAtEnd = r.onAtEnd && msBetween(previous, stop.at) <= PollGapLimitMs;
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
    floodRssPeak = r.rssBefore;

    const Snapshot start = snapshot();
    {
        std::lock_guard<std::mutex> lock(mutex);
        current = r;
        currentStart = start;
        currentStop.reset();
    }
    const auto planned = std::chrono::seconds(seconds);
    std::atomic<bool> floodOver{false};
    Snapshot stop;
    bool onAtEnd = false;
    // The flood's clock runs in a thread of its own: the host's thread may be held in setKV.
    sim.line().setFlood(kind.flood);
    std::thread controller([&] {
        while (Clock::now() - start.at < planned) {
            std::this_thread::sleep_for(std::chrono::milliseconds(StepMs));
            floodRssPeak = std::max(floodRssPeak.load(), residentKiB());
        }
        sim.line().setFlood(Flood::Off);
        stop = snapshot();
        onAtEnd = driver.isSwitchedOn();
        {
            std::lock_guard<std::mutex> lock(mutex);
            currentStop = stop;
        }
        floodOver = true;
    });

    runEvents([&] { return floodOver.load(); }, start.at + planned / 3);
    const double kv = 80 + settingCount % 40;
    {
        std::lock_guard<std::mutex> lock(mutex);
        setKvStart = Clock::now();
    }
    r.setKvMs = timedSetKv(kv);
    {
        std::lock_guard<std::mutex> lock(mutex);
        setKvStart.reset();
    }
    runEvents([&] { return floodOver.load(); }, Clock::time_point::max());
    controller.join();
    r.onAtEnd = onAtEnd;
    r.rssPeak = floodRssPeak;
    measure(r, start, stop);

    // After the flood: until the poll comes back, or the link is gone for good.
    runEvents([&] { return !recorder.between(stop.at, Clock::now()).empty() || !driver.isSwitchedOn(); },
              stop.at + std::chrono::seconds(settleSeconds));
    const std::vector<Clock::time_point> after = recorder.between(stop.at, Clock::now());
    if (!after.empty())
        r.pollBackMs = msBetween(stop.at, after.front());
    r.backlogLines = host.otherLines.load() - stop.otherLines;
    runEvents([] { return false; }, Clock::now() + std::chrono::milliseconds(EchoGraceMs));
    r.floodEchoesLater = sim.line().floodCounts().echoes - start.flood.echoes;
    r.rssAfter = residentKiB();
    r.setKvArrived = sim.model().value("kv") == QByteArray::number(kv);

    std::lock_guard<std::mutex> lock(mutex);
    results.push_back(r);
    current.reset();
}

std::vector<Result> FloodBench::resultsSoFar() const
{
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<Result> rows = results;
    if (current) {
        Result r = *current;
        r.unfinished = true;
        r.onAtEnd = driver.isSwitchedOn();
        r.rssPeak = std::max(floodRssPeak.load(), residentKiB());
        measure(r, currentStart, currentStop.value_or(snapshot()));
        if (setKvStart) {
            r.setKvMs = msBetween(*setKvStart, Clock::now());
            r.setKvUnfinished = true;
        }
        rows.push_back(r);
    }
    return rows;
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

QString yesNo(bool value)
{
    return value ? QStringLiteral("yes") : QStringLiteral("**no**");
}

// A figure that misses its target is shown in bold.
QString judged(const QString &text, bool met)
{
    return met ? text : QStringLiteral("**%1**").arg(text);
}

// Prints the table; false when a figure missed its target.
bool printTable(const std::vector<Result> &results, qint64 quietSetKvMs, int seconds)
{
    bool allMet = true;
    const auto met = [&](bool ok) {
        allMet = allMet && ok;
        return ok;
    };
    using Cell = std::function<QString(const Result &)>;
    const auto row = [&](const QString &measure, const QString &target, const Cell &cell) {
        QString line = QStringLiteral("| %1 | %2 |").arg(measure, target);
        for (const Result &r : results)
            line += QStringLiteral(" %1 |").arg(cell(r));
        std::printf("%s\n", qPrintable(line));
    };
    // Figures of the time after a flood: none when the run ended before.
    const auto afterwards = [&](const Cell &cell) {
        return [cell](const Result &r) { return r.unfinished ? QStringLiteral("-") : cell(r); };
    };
    QString header = QStringLiteral("| measure | target |");
    QString rule = QStringLiteral("|---|---|");
    for (const Result &r : results) {
        header += QStringLiteral(" %1 |").arg(r.kind.name);
        rule += QStringLiteral("---|");
    }
    std::printf("%s\n%s\n", qPrintable(header), qPrintable(rule));

    row(QStringLiteral("flood kept up (s)"), QString::number(seconds), [](const Result &r) {
        return QString::number(r.seconds, 'f', 1)
               + (r.unfinished ? QStringLiteral(" (the run ended in or after it, at the memory limit)")
                               : QString());
    });
    row(QStringLiteral("flood bytes a second"), QStringLiteral("3840 at line rate"),
        [](const Result &r) { return QString::number(r.bytesPerSecond, 'f', 0); });
    row(QStringLiteral("flood telegrams echoed by the driver: in the flood, by %1 ms after polling again / "
                       "written")
            .arg(EchoGraceMs),
        QStringLiteral("all"), afterwards([&](const Result &r) {
            return r.kind.flood != Flood::Telegrams ? QStringLiteral("-")
                                                    : judged(QStringLiteral("%1, %2 / %3")
                                                                 .arg(r.floodEchoes)
                                                                 .arg(r.floodEchoesLater)
                                                                 .arg(r.floodTelegrams),
                                                             met(r.floodEchoesLater >= r.floodTelegrams));
        }));
    row(QStringLiteral("setKV a third into the flood (quiet line: %1 ms)").arg(quietSetKvMs),
        QStringLiteral("<= %1x").arg(SetKvSlowdownLimit), [&](const Result &r) {
            if (r.setKvMs < 0)
                return QStringLiteral("not made");
            const double ratio = double(r.setKvMs) / double(std::max<qint64>(1, quietSetKvMs));
            const QString text = QStringLiteral("%1%2 ms (%3x)%4")
                                     .arg(r.setKvUnfinished ? QStringLiteral("> ") : QString())
                                     .arg(r.setKvMs)
                                     .arg(ratio, 0, 'f', 2)
                                     .arg(r.setKvUnfinished ? QStringLiteral(", still waiting") : QString());
            return judged(text, met(!r.setKvUnfinished && ratio <= SetKvSlowdownLimit));
        });
    row(QStringLiteral("setKV's value reached the generator"), QStringLiteral("yes"),
        afterwards([&](const Result &r) { return yesNo(met(r.setKvArrived)); }));
    row(QStringLiteral("largest gap between status polls in the flood"),
        QStringLiteral("<= %1 ms").arg(PollGapLimitMs), [&](const Result &r) {
            return judged(QStringLiteral("%1 ms (%2 polls)").arg(r.largestPollGapMs).arg(r.polls),
                          met(r.largestPollGapMs <= PollGapLimitMs));
        });
    row(QStringLiteral("resident memory: peak in the flood - before (KiB)"),
        QStringLiteral("<= %1").arg(MemoryGrowthLimitKiB), [&](const Result &r) {
            return judged(
                QStringLiteral("%1 (%2 -> %3)").arg(r.rssPeak - r.rssBefore).arg(r.rssBefore).arg(r.rssPeak),
                met(r.rssPeak - r.rssBefore <= MemoryGrowthLimitKiB));
        });
    row(QStringLiteral("resident memory: after the flood - before (KiB)"),
        QStringLiteral("<= %1").arg(MemoryGrowthLimitKiB), afterwards([&](const Result &r) {
            return judged(QString::number(r.rssAfter - r.rssBefore),
                          met(r.rssAfter - r.rssBefore <= MemoryGrowthLimitKiB));
        }));
    row(QStringLiteral("log lines a minute in the flood, Debug and above"),
        QStringLiteral("< %1").arg(LogLinesPerMinuteLimit), [&](const Result &r) {
            return judged(QString::number(r.otherPerMinute, 'f', 0),
                          met(r.otherPerMinute < LogLinesPerMinuteLimit));
        });
    row(QStringLiteral("Trace lines a minute in the flood (telegram traffic)"), QStringLiteral("-"),
        [](const Result &r) { return QString::number(r.tracePerMinute, 'f', 0); });
    row(QStringLiteral("log lines above Trace after the flood, until polling again"), QStringLiteral("-"),
        afterwards([](const Result &r) { return QString::number(r.backlogLines); }));
    row(QStringLiteral("link thread CPU in the flood (% of one core)"),
        QStringLiteral("< %1 at line rate").arg(CpuLimitPercent), [&](const Result &r) {
            if (r.linkCpuPercent < 0)
                return QStringLiteral("- (link gone)");
            const QString text = QString::number(r.linkCpuPercent, 'f', 1);
            return r.kind.lineRate ? judged(text, met(r.linkCpuPercent < CpuLimitPercent)) : text;
        });
    row(QStringLiteral("process CPU without the simulator (% of one core)"),
        QStringLiteral("< %1 at line rate").arg(CpuLimitPercent), [&](const Result &r) {
            const QString text = QString::number(r.driverCpuPercent, 'f', 1);
            return r.kind.lineRate ? judged(text, met(r.driverCpuPercent < CpuLimitPercent)) : text;
        });
    row(QStringLiteral("switched on and polling at the flood's end"), QStringLiteral("yes"),
        [&](const Result &r) { return yesNo(met(r.onAtEnd && r.pollingAtEnd)); });
    row(QStringLiteral("first poll after the flood's end"), QStringLiteral("-"),
        afterwards([](const Result &r) {
            return r.pollBackMs < 0 ? QStringLiteral("none") : QStringLiteral("%1 ms").arg(r.pollBackMs);
        }));
    row(QStringLiteral("driver switched on again before this flood"), QStringLiteral("no"),
        [&](const Result &r) {
            return r.switchedOnAgain ? QStringLiteral("**yes**") : QStringLiteral("no");
        });
    return allMet && !results.empty() && !results.back().unfinished;
}
} // namespace

int main(int argc, char **argv)
{
    CountingHost app(argc, argv);
    app.setRecording(false);
    const QStringList args = app.arguments();
    bool positional = false;
    const int seconds = args.size() > 1 ? args.at(1).toInt(&positional) : 0;
    const int floodSeconds = positional && seconds > 0 ? seconds : DefaultFloodSeconds;
    const int settleSeconds = argument(args, QStringLiteral("--settle"), DefaultSettleSeconds);
    const qint64 rssLimitKiB =
        qint64(argument(args, QStringLiteral("--rss-limit"), DefaultRssLimitMiB)) * 1024;
    const int kindsAt = args.indexOf(QStringLiteral("--kinds"));
    const QStringList wanted =
        kindsAt >= 0 ? args.value(kindsAt + 1).split(QLatin1Char(','))
                     : QStringList{QStringLiteral("telegrams"), QStringLiteral("noise"),
                                   QStringLiteral("unterminated"), QStringLiteral("full-speed")};
    const std::vector<Kind> all{{QStringLiteral("telegrams"), Flood::Telegrams, true},
                                {QStringLiteral("noise"), Flood::Noise, true},
                                {QStringLiteral("unterminated"), Flood::Unterminated, true},
                                {QStringLiteral("full-speed"), Flood::FullSpeed, false}};
    std::vector<Kind> kinds;
    for (const QString &name : wanted) {
        const auto found =
            std::find_if(all.begin(), all.end(), [&](const Kind &k) { return k.name == name; });
        if (found == all.end()) {
            std::fprintf(stderr, "unknown flood kind %s (telegrams, noise, unterminated, full-speed)\n",
                         qPrintable(name));
            return 2;
        }
        kinds.push_back(*found);
    }

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

    std::atomic<bool> finished{false};
    const qint64 baselineKiB = residentKiB();
    std::thread guard([&] {
        while (!finished) {
            std::this_thread::sleep_for(std::chrono::milliseconds(StepMs));
            const qint64 grown = residentKiB() - baselineKiB;
            if (grown > rssLimitKiB) {
                printTable(bench.resultsSoFar(), bench.quietSetKvMs, floodSeconds);
                std::printf(
                    "\nThe run ended early: resident memory grew by %lld MiB, over the limit of %lld MiB.\n",
                    static_cast<long long>(grown / 1024), static_cast<long long>(rssLimitKiB / 1024));
                printFooter();
                std::_Exit(1);
            }
        }
    });
    for (const Kind &kind : kinds) {
        std::fprintf(stderr, "flood %s for %d s...\n", qPrintable(kind.name), floodSeconds);
        bench.run(kind);
    }
    finished = true;
    guard.join();
    const bool allMet = printTable(bench.resultsSoFar(), bench.quietSetKvMs, floodSeconds);
    printFooter();
    bench.end();
    return allMet ? 0 : 1;
}
