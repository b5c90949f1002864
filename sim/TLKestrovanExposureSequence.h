#pragma once

#include <QByteArray>
#include <QList>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <thread>

class TLKestrovanGeneratorModel;
class TLKestrovanSimulatedLine;

// The generator's hand switch and the exposure sequence it starts: the "xy" state telegrams
// from prepare to exposure off, each sent on the line and waited for until the driver echoes
// it, with the driver's release answers "41" and "81" awaited at their two points. Letting the
// keys go, an abort or an exposure error end it with a closing state. The sequence runs in a
// thread of its own, one at a time, under the mutex it shares with the line and the model. The
// public members take that mutex themselves and may be called from any thread; the owner
// (TLKestrovanGeneratorSimulator) alone stops and resumes it.
class TLKestrovanExposureSequence
{
public:
    using Clock = std::chrono::steady_clock;

    // How the latest exposure sequence ended.
    enum class Outcome {
        None, // no sequence has run yet
        Running,
        Completed,    // exposure off (state 14) was delivered
        NotReleased,  // the driver did not answer "41" or "81" in time: break 0000
        KeysReleased, // the keys were let go before the exposure: break 0000
        Aborted,      // abortExposure(): break 0000
        Failed,       // failExposure(): error state 0100
        LinkLost,     // a state telegram was never acknowledged, or the line was hung up
        Stopped       // stop() ended the sequence
    };

    static constexpr int DefaultReleaseTimeoutMs = 3000;
    static constexpr int DefaultStepDelayMs = 0;
    static constexpr int DefaultExposureDurationMs = 0;

    TLKestrovanExposureSequence(std::mutex &mutex, std::condition_variable &changed,
                                TLKestrovanSimulatedLine &line, TLKestrovanGeneratorModel &model);
    ~TLKestrovanExposureSequence();
    TLKestrovanExposureSequence(const TLKestrovanExposureSequence &) = delete;
    TLKestrovanExposureSequence &operator=(const TLKestrovanExposureSequence &) = delete;

    // Start the sequence (prepare key; both keys; both keys released by itself before exposure
    // off). False when a sequence is already running or the line is down; pressExposure()
    // during a running prepare phase presses the second stage.
    bool pressPrepare();
    bool pressExposure();
    bool runExposure();
    // Lets both keys go: a break 0000 before the exposure, otherwise an early exposure off.
    void releaseKeys();
    // State 0000 (abort) or 0100 with an error code (exposure error), with or without a
    // running sequence; a running sequence ends.
    void abortExposure();
    void failExposure(const QByteArray &errorCode = QByteArrayLiteral("17"));
    // On: a sequence stops after state 0E03 (both keys) until the hold ends or the keys are
    // let go, so that releaseKeys() then gives the break 0000 after state 14 for certain.
    void setHoldAtExposureKey(bool hold);
    void setReleaseTimeoutMs(int ms);   // wait for "41" and "81"; default 3000
    void setStepDelayMs(int ms);        // pause before each state after the first; default 0
    void setExposureDurationMs(int ms); // between exposure on and off; default 0
    // True once the latest sequence has ended, whatever its outcome.
    bool exposureDone() const;
    bool waitForExposureDone(int timeoutMs) const;
    Outcome exposureOutcome() const;

private:
    friend class TLKestrovanGeneratorSimulator;

    // Ends a running sequence and joins its thread; until resume() a new one ends at once.
    void stop();
    void resume();

    // With the mutex held: the driver's release answer ("xr") has arrived.
    void releaseReceivedLocked(const QByteArray &value);

    enum class Command { None, Abort, Fail };
    enum class Step { Ok, TimedOut, KeysReleased, Abort, Fail, Stop, LinkLost };
    using Lock = std::unique_lock<std::mutex>;

    bool startSequence(int pressedKeys, bool autoRelease);
    void run(bool autoRelease);
    Step steps(Lock &lock, bool autoRelease);
    Step sendStates(Lock &lock, std::initializer_list<const char *> states);
    Outcome finish(Lock &lock, Step step);
    Step sendState(Lock &lock, const QByteArray &state);
    Step waitUntil(Lock &lock, std::optional<Clock::time_point> deadline, const std::function<bool()> &done);
    Step waitFor(Lock &lock, int ms, const std::function<bool()> &done);
    Step interruption() const;

    std::mutex &mutex;
    std::condition_variable &changed;
    TLKestrovanSimulatedLine &line;
    TLKestrovanGeneratorModel &model;

    std::mutex control; // serialises starting and joining the sequence thread
    std::thread thread;

    // everything below is guarded by mutex
    bool running = false;
    bool started = false;
    bool stopRequested = false;
    bool finishing = false; // closing state on its way: keys and commands no longer count
    Command command = Command::None;
    QByteArray errorCode;
    Outcome outcome = Outcome::None;
    int keys = 0; // bit 0 prepare key, bit 1 exposure key
    bool exposureOn = false;
    QList<QByteArray> releasesReceived;
    int releaseTimeoutMs = DefaultReleaseTimeoutMs;
    int stepDelayMs = DefaultStepDelayMs;
    int exposureDurationMs = DefaultExposureDurationMs;
    bool holdAtExposureKey = false;
};
