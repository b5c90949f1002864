// Soak run against the generator simulator, in one process: many settings, many exposures and
// many link losses with recovery. It reports, as a table:
//  - waiting calls that took 3000 ms or more without a fault to explain it (target 0);
//  - telegrams lost or duplicated between the driver and the generator (target 0): every
//    telegram the driver logs as sent must reach the generator exactly once, apart from the
//    repeats of a telegram whose echo was withheld on purpose;
//  - values that did not read back as set or reported;
//  - resident memory after warm-up and at the end (target: flat within 1 MiB);
//  - threads left once the driver is destroyed and the simulator stopped (target: main alone).
//
// Usage: bench_soak [--settings N] [--exposures N] [--losses N]
// The defaults, 10000 / 1000 / 100, are an unattended soak of about an hour and a half, not a
// quick check. With the simulator paced at 38400 baud a setting costs about 0.30 s (a command and
// four answered queries, each ending with the link's 50 ms collection step, and the status poll
// beside them), an exposure about 1.1 s (with the setting before it and the last exposure's
// values after it) and a loss about 11 s (8 s of repeats before the link gives up, then a
// switch-on): about 50, 19 and 19 minutes. The run prints its own estimate after its first rounds.
// A short run, about 15 minutes:
//   bench_soak --settings 2000 --exposures 100 --losses 5
// Run it on a quiet machine (or at a higher priority than the rest): a simulator or a link thread
// that gets no CPU for longer than the line's own pauses (50 ms between the bytes of a telegram,
// 500 ms for an echo) tears telegrams or writes them again, and the figures then measure the
// machine rather than the driver.

#include "BenchCommon.h"
#include "KestrovanTiming.h"
#include "TLGeneratorConfigData.h"
#include "TLGeneratorDriverKestrovan.h"
#include "TLHostApplication.h"
#include "TLHostCallLog.h"
#include "TLHostDevice.h"
#include "TLKestrovanGeneratorSimulator.h"
#include "TLKestrovanTelegram.h"
#include "TLXRayExposureStateProvider.h"
#include "TLXRaySynchronizer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

namespace {
// A waiting query gives up after this long; a call that takes as long waited for nothing.
constexpr qint64 ReplyTimeoutMs = Kestrovan::ReplyTimeoutMs;
// How long sent and received telegrams may take to agree before a difference counts.
constexpr qint64 SettleLimitMs = 3000;
constexpr unsigned long SettleStepMs = 20;
// Longest a link loss may take to reach the host: a poll, the 8 s give-up, and slack.
constexpr qint64 LossLimitMs = 20000;
constexpr int ExposureLimitMs = 30000;
// Settings done before each loss, so that every cycle also carries normal traffic.
constexpr int SettingsPerLossCycle = 2;
// Rounds between memory samples and progress lines.
constexpr int ProgressEvery = 500;

int threadCount()
{
    return QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size();
}

// Telegrams counted on both ends of the line under one lock, so that a snapshot compares
// like with like: what the driver logged as sent ("command:  " and "query:    " lines),
// and what the generator received (cut from the simulator's trace of the line).
class TelegramLedger
{
public:
    TelegramLedger() { clock.start(); }

    struct Difference
    {
        int lost = 0;            // sent, never arrived
        int duplicated = 0;      // arrived more often than sent
        QByteArrayList payloads; // the telegrams concerned, for the incident list
        bool isZero() const { return lost == 0 && duplicated == 0; }
    };

    void sent(const QByteArray &payload)
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++driverSent[payload];
    }

    // Bytes from the driver as the simulator read them: telegrams end at a terminator; a
    // lone terminator is an echo.
    void received(const QByteArray &bytes)
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (const char byte : bytes) {
            pending.append(byte);
            if (TLKestrovanTelegram::isTerminator(byte)) {
                if (pending.size() > 1)
                    arrived(pending.left(pending.size() - 1));
                pending.clear();
            }
        }
    }

    // Waits for a moment in which both sides agree and starts afresh from there. Telegrams
    // on their way make the difference for a moment only; what is left after the limit is
    // counted and the ledger starts afresh all the same.
    Difference settle()
    {
        QElapsedTimer timer;
        timer.start();
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                Difference now = differenceLocked();
                if (now.isZero() || timer.elapsed() > SettleLimitMs) {
                    clearLocked();
                    return now;
                }
            }
            QCoreApplication::processEvents();
            QThread::msleep(SettleStepMs);
        }
    }

    // Starts afresh without comparing: the line is dead and nothing is on its way.
    Difference restart()
    {
        std::lock_guard<std::mutex> lock(mutex);
        Difference now = differenceLocked();
        clearLocked();
        pending.clear();
        return now;
    }

private:
    void arrived(const QByteArray &payload)
    {
        const qint64 now = clock.elapsed();
        const int count = ++generatorReceived[payload];
        // A copy beyond what the driver sent: note how long after the previous copy it came.
        if (count > driverSent.value(payload) && lastArrival.contains(payload))
            gaps.insert(payload, now - lastArrival.value(payload));
        lastArrival.insert(payload, now);
    }

    Difference differenceLocked() const
    {
        Difference d;
        for (auto it = driverSent.constBegin(); it != driverSent.constEnd(); ++it) {
            const int missing = it.value() - generatorReceived.value(it.key());
            if (missing > 0) {
                d.lost += missing;
                d.payloads << "lost " + it.key();
            }
        }
        for (auto it = generatorReceived.constBegin(); it != generatorReceived.constEnd(); ++it) {
            const int extra = it.value() - driverSent.value(it.key());
            if (extra > 0) {
                d.duplicated += extra;
                d.payloads << "duplicated " + it.key() + " (copies "
                                  + QByteArray::number(gaps.value(it.key(), -1)) + " ms apart)";
            }
        }
        return d;
    }

    void clearLocked()
    {
        driverSent.clear();
        generatorReceived.clear();
        lastArrival.clear();
        gaps.clear();
    }

    mutable std::mutex mutex;
    QHash<QByteArray, int> driverSent;
    QHash<QByteArray, int> generatorReceived;
    QByteArray pending;
    QElapsedTimer clock;
    QHash<QByteArray, qint64> lastArrival; // ms on clock
    QHash<QByteArray, qint64> gaps;        // of duplicated payloads
};

TelegramLedger ledger;

// The host application, also counting the telegrams the driver logs as sent.
class SoakHost : public TLHostApplication
{
public:
    using TLHostApplication::TLHostApplication;

    void log(const QString &category, const QString &text, LogLevel level) override
    {
        static const QString Command = QStringLiteral("command:  ");
        static const QString Query = QStringLiteral("query:    ");
        static const QString Unknown = QStringLiteral("unknown command: ");
        static const QString Short = QStringLiteral("received to short message: ");
        if (text.startsWith(Command) || text.startsWith(Query))
            ledger.sent(text.mid(Command.size()).toLatin1());
        else if (text.startsWith(Kestrovan::Unknown) || text.startsWith(Short))
            ++garbled;
        TLHostApplication::log(category, text, level);
    }

    // Telegrams from the generator that reached the driver torn or glued together.
    std::atomic<int> garbled{0};
};

// Durations of one kind of waiting call.
struct Timings
{
    std::vector<qint64> ms;
    void add(qint64 value) { ms.push_back(value); }
    int atLeast(qint64 limit) const
    {
        return int(std::count_if(ms.begin(), ms.end(), [limit](qint64 v) { return v >= limit; }));
    }
    qint64 percentile(double p) const
    {
        if (ms.empty())
            return 0;
        std::vector<qint64> sorted = ms;
        std::sort(sorted.begin(), sorted.end());
        return sorted[std::min(sorted.size() - 1, size_t(std::lround(p * double(sorted.size() - 1))))];
    }
};

struct PhaseResult
{
    QString name;
    int rounds = 0;
    Timings calls;
    int lost = 0;
    int duplicated = 0;
    int mismatches = 0;
    int failures = 0;
    qint64 wallMs = 0;
    QStringList incidents;
};

class Soak
{
public:
    explicit Soak(TLKestrovanGeneratorSimulator &sim) : sim(sim) {}

    bool begin();
    PhaseResult settings(int count);
    PhaseResult exposures(int count);
    PhaseResult losses(int count, int &repeats, int &neverWritten, Timings &detection);
    int end();
    qint64 rssAfterWarmUp = 0;

private:
    bool setting(int round, PhaseResult &result);
    void housekeeping(int round, PhaseResult &result, const QElapsedTimer &phase, int total);
    void account(PhaseResult &result, const TelegramLedger::Difference &d);

    TLKestrovanGeneratorSimulator &sim;
    int currentRound = 0; // for the incident list
    TLHostDevice device{QStringLiteral("kestrovan")};
    std::unique_ptr<TLGeneratorDriverKestrovan> driver;
};

bool Soak::begin()
{
    TLXRaySynchronizer::instance()->setDetectorReadyAnswer(TLHostAnswer::atOnce());
    TLXRaySynchronizer::instance()->setXRayWindowAnswer(TLHostAnswer::atOnce());
    TLXRayExposureStateProvider::instance()->setUnlocked(true);
    driver.reset(new TLGeneratorDriverKestrovan);
    QSharedPointer<TLGeneratorConfigData> config(new TLGeneratorConfigData);
    config->portName = sim.slavePath();
    config->targetDeviceCodes = {{1, 2, 12}};
    driver->setDeviceConfig(config);
    driver->setDevice(&device);
    device.setState(DeviceState::Ready);
    if (!driver->switchOn().isSuccess())
        return false;
    // Warm-up: the first rounds allocate what every later round reuses.
    PhaseResult warmUp;
    for (int i = 0; i < 20; ++i)
        setting(i, warmUp);
    ledger.settle();
    sim.line().clearTranscript();
    TLHostCallLog::clear();
    rssAfterWarmUp = residentKiB();
    return warmUp.mismatches == 0;
}

void Soak::account(PhaseResult &result, const TelegramLedger::Difference &d)
{
    result.lost += d.lost;
    result.duplicated += d.duplicated;
    for (const QByteArray &payload : d.payloads)
        result.incidents << QStringLiteral("%1 round %2: telegram %3")
                                .arg(result.name)
                                .arg(currentRound)
                                .arg(QString::fromLatin1(payload));
}

// One setting, cycling through kV, mAs, mA and ms with values that change every time; the
// follow-up queries run. False when the value did not read back as set.
bool Soak::setting(int round, PhaseResult &result)
{
    QElapsedTimer timer;
    double expected = 0;
    double actual = 0;
    timer.start();
    switch (round % 4) {
    case 0:
        expected = 50 + round % 50;
        driver->setKV(expected);
        result.calls.add(timer.elapsed());
        actual = driver->kV();
        break;
    case 1:
        expected = 1 + (round % 90) * 0.5;
        driver->setMAs(expected);
        result.calls.add(timer.elapsed());
        actual = driver->mAs();
        break;
    case 2:
        expected = 100 + (round % 50) * 10;
        driver->setMA(expected);
        result.calls.add(timer.elapsed());
        actual = driver->mA();
        break;
    default:
        expected = 10 + (round % 60) * 5;
        driver->setMs(expected);
        result.calls.add(timer.elapsed());
        actual = driver->ms();
        break;
    }
    const qint64 took = result.calls.ms.back();
    if (took >= ReplyTimeoutMs)
        result.incidents << QStringLiteral("%1 round %2: setting %3 took %4 ms")
                                .arg(result.name)
                                .arg(round)
                                .arg(round % 4)
                                .arg(took);
    if (actual != expected) {
        ++result.mismatches;
        result.incidents << QStringLiteral("%1 round %2: set %3, read back %4")
                                .arg(result.name)
                                .arg(round)
                                .arg(expected)
                                .arg(actual);
        return false;
    }
    return true;
}

void Soak::housekeeping(int round, PhaseResult &result, const QElapsedTimer &phase, int total)
{
    // Events queued for the main thread (none expected without faults) must not pile up.
    QCoreApplication::processEvents();
    account(result, ledger.settle());
    sim.line().clearTranscript();
    TLHostCallLog::clear();
    if ((round + 1) % ProgressEvery == 0 || round + 1 == 5) {
        const double perRound = double(phase.elapsed()) / double(round + 1);
        std::fprintf(stderr, "%s: %d/%d, %.0f ms per round, about %.0f s left, RSS %lld KiB\n",
                     qPrintable(result.name), round + 1, total, perRound,
                     perRound * double(total - round - 1) / 1000.0, static_cast<long long>(residentKiB()));
    }
}

PhaseResult Soak::settings(int count)
{
    PhaseResult result;
    result.name = QStringLiteral("settings");
    QElapsedTimer phase;
    phase.start();
    for (int i = 0; i < count; ++i) {
        currentRound = i;
        setting(i, result);
        housekeeping(i, result, phase, count);
    }
    result.rounds = count;
    result.wallMs = phase.elapsed();
    return result;
}

PhaseResult Soak::exposures(int count)
{
    PhaseResult result;
    result.name = QStringLiteral("exposures");
    QElapsedTimer phase;
    phase.start();
    TLKestrovanExposureSequence &sequence = sim.sequence();
    const TLKestrovanGeneratorModel &model = sim.model();
    for (int i = 0; i < count; ++i) {
        currentRound = i;
        // A different setting before each, so that the exposure's values change too.
        setting(i, result);
        if (sequence.runExposure() && sequence.waitForExposureDone(ExposureLimitMs)
            && sequence.exposureOutcome() == TLKestrovanExposureSequence::Outcome::Completed) {
            TLGeneratorSettings last;
            QElapsedTimer timer;
            timer.start();
            driver->lastExposureSettings(last);
            const qint64 took = timer.elapsed();
            result.calls.add(took);
            if (took >= ReplyTimeoutMs)
                result.incidents
                    << QStringLiteral("exposures round %1: lastExposureSettings took %2 ms").arg(i).arg(took);
            if (last.kV != model.value("xv").toDouble() || last.mAs != model.value("xa").toDouble()
                || last.mA != model.value("xm").toDouble() || last.ms != model.value("xs").toDouble() * 0.5) {
                ++result.mismatches;
                result.incidents
                    << QStringLiteral("exposures round %1: last exposure read back wrong").arg(i);
            }
        } else {
            ++result.failures;
            result.incidents << QStringLiteral("exposures round %1: sequence ended as %2")
                                    .arg(i)
                                    .arg(int(sequence.exposureOutcome()));
        }
        housekeeping(i, result, phase, count);
    }
    result.rounds = count;
    result.wallMs = phase.elapsed();
    return result;
}

PhaseResult Soak::losses(int count, int &repeats, int &neverWritten, Timings &detection)
{
    PhaseResult result;
    result.name = QStringLiteral("losses");
    QElapsedTimer phase;
    phase.start();
    for (int i = 0; i < count; ++i) {
        currentRound = i;
        for (int s = 0; s < SettingsPerLossCycle; ++s)
            setting(i * SettingsPerLossCycle + s, result);
        account(result, ledger.settle());

        // No echo from now on: the next telegram (a status poll, as the host is idle) is
        // written again and again and given up; the host hears of it as device state 4.
        const int droppedBefore = sim.line().droppedAcknowledgements();
        sim.line().dropAcknowledgements(-1);
        QElapsedTimer lost;
        lost.start();
        while (device.state() != DeviceState::Error && lost.elapsed() < LossLimitMs) {
            QCoreApplication::processEvents();
            QThread::msleep(SettleStepMs);
        }
        detection.add(lost.elapsed());
        sim.line().dropAcknowledgements(0);
        if (device.state() != DeviceState::Error || driver->isPortOpen()) {
            ++result.failures;
            result.incidents << QStringLiteral("losses round %1: not reported to the host").arg(i);
        }
        // The link is dead, nothing is on its way: the window's traffic is accounted apart.
        // One telegram was written over and over (every copy's echo withheld on purpose);
        // whatever was queued behind it was never written, as the link had failed.
        const TelegramLedger::Difference window = ledger.restart();
        const int dropped = sim.line().droppedAcknowledgements() - droppedBefore;
        repeats += window.duplicated;
        neverWritten += window.lost;
        // Copies beyond the repeats of the one withheld telegram would be duplicates.
        result.duplicated += std::max(0, window.duplicated - (dropped - 1));

        device.setState(DeviceState::Ready);
        QElapsedTimer timer;
        timer.start();
        QVariant unused;
        const bool recovered = driver->executeCommand(QStringLiteral("switchOn"), unused).isSuccess();
        const qint64 took = timer.elapsed();
        result.calls.add(took);
        if (took >= ReplyTimeoutMs)
            result.incidents << QStringLiteral("losses round %1: switchOn took %2 ms").arg(i).arg(took);
        if (!recovered || !driver->isPortOpen()) {
            ++result.failures;
            result.incidents << QStringLiteral("losses round %1: switchOn did not recover").arg(i);
        }
        housekeeping(i, result, phase, count);
    }
    result.rounds = count;
    result.wallMs = phase.elapsed();
    return result;
}

int Soak::end()
{
    driver->switchOff();
    driver.reset();
    sim.stop();
    QCoreApplication::processEvents();
    // Qt's threads are detached: give a finished one a moment to leave the kernel's list.
    QThread::msleep(200);
    return threadCount();
}

void printRow(const PhaseResult &r)
{
    std::printf("| %-9s | %6d | %8.1f | %6d | %7lld | %7lld | %4d | %4d | %10d | %8d |\n", qPrintable(r.name),
                r.rounds, double(r.wallMs) / 1000.0, int(r.calls.ms.size()),
                static_cast<long long>(r.calls.percentile(0.5)),
                static_cast<long long>(r.calls.percentile(1.0)), r.calls.atLeast(ReplyTimeoutMs), r.lost,
                r.duplicated, r.mismatches + r.failures);
}
} // namespace

int main(int argc, char **argv)
{
    SoakHost app(argc, argv);
    app.setRecording(false);
    const QStringList args = app.arguments();
    const int settingCount = argument(args, QStringLiteral("--settings"), 10000);
    const int exposureCount = argument(args, QStringLiteral("--exposures"), 1000);
    const int lossCount = argument(args, QStringLiteral("--losses"), 100);

    TLKestrovanGeneratorSimulator sim;
    sim.line().setPacing(true);
    sim.line().setTraceHandler([](const TLKestrovanSimulatedLine::TranscriptEntry &entry) {
        if (entry.direction == TLKestrovanSimulatedLine::Direction::FromDriver)
            ledger.received(entry.bytes);
    });
    if (!sim.start()) {
        std::fprintf(stderr, "simulator: %s\n", qPrintable(sim.errorString()));
        return 1;
    }
    const QString loadAtStart = loadAverage();
    Soak soak(sim);
    if (!soak.begin()) {
        std::fprintf(stderr, "the driver did not switch on\n");
        return 1;
    }

    const PhaseResult settings = soak.settings(settingCount);
    const PhaseResult exposures = soak.exposures(exposureCount);
    int repeats = 0;
    int neverWritten = 0;
    Timings detection;
    const PhaseResult losses = soak.losses(lossCount, repeats, neverWritten, detection);
    const qint64 rssEnd = residentKiB();
    const int generatorRepeats = sim.line().repeatedWrites();
    const int badChecks = sim.line().badCheckBytes();
    const int threadsLeft = soak.end();

    std::printf("\n| phase     | rounds | wall (s) | calls  | p50 ms  | max ms  | >=3s | lost | duplicated | "
                "bad/fail |\n");
    std::printf("|-----------|--------|----------|--------|---------|---------|------|------|------------|---"
                "-------|\n");
    printRow(settings);
    printRow(exposures);
    printRow(losses);
    std::printf("\n| measure | value | target |\n|---|---|---|\n");
    const int waitedInVain = settings.calls.atLeast(ReplyTimeoutMs) + exposures.calls.atLeast(ReplyTimeoutMs)
                             + losses.calls.atLeast(ReplyTimeoutMs);
    std::printf("| waiting calls >= %lld ms without a fault | %d | 0 |\n",
                static_cast<long long>(ReplyTimeoutMs), waitedInVain);
    std::printf("| telegrams lost | %d | 0 |\n", settings.lost + exposures.lost + losses.lost);
    std::printf("| telegrams duplicated | %d | 0 |\n",
                settings.duplicated + exposures.duplicated + losses.duplicated);
    std::printf("| values not read back as set / reported | %d | 0 |\n",
                settings.mismatches + exposures.mismatches + losses.mismatches);
    std::printf("| exposures not completed, losses not reported or not recovered | %d | 0 |\n",
                exposures.failures + losses.failures);
    std::printf("| repeats of telegrams whose echo was withheld (not duplicates) | %d | - |\n", repeats);
    std::printf(
        "| telegrams queued behind a failing one, never written (reported as the failure) | %d | - |\n",
        neverWritten);
    std::printf("| link loss reaching the host: median / max ms | %lld / %lld | about 8000-9000 |\n",
                static_cast<long long>(detection.percentile(0.5)),
                static_cast<long long>(detection.percentile(1.0)));
    std::printf("| resident memory after warm-up / at the end (KiB) | %lld / %lld (%+lld) | within 1024 |\n",
                static_cast<long long>(soak.rssAfterWarmUp), static_cast<long long>(rssEnd),
                static_cast<long long>(rssEnd - soak.rssAfterWarmUp));
    std::printf("| threads at the end | %d | 1 |\n", threadsLeft);
    std::printf("| generator telegrams written again (driver's echo late or missing) | %d | 0 |\n",
                generatorRepeats);
    std::printf("| generator telegrams the driver read torn or glued (logged as unknown) | %d | 0 |\n",
                app.garbled.load());
    std::printf("| driver telegrams with a bad check byte at the generator | %d | 0 |\n", badChecks);
    std::printf("| load average at start / end | %s / %s | - |\n", qPrintable(loadAtStart),
                qPrintable(loadAverage()));

    // What lies behind any non-zero count above.
    constexpr int MaxIncidents = 20;
    QStringList incidents = settings.incidents + exposures.incidents + losses.incidents;
    if (!incidents.isEmpty()) {
        std::printf("\nincidents (%d, at most %d shown):\n", int(incidents.size()), MaxIncidents);
        for (const QString &incident : incidents.mid(0, MaxIncidents))
            std::printf("  %s\n", qPrintable(incident));
    }
    return 0;
}
