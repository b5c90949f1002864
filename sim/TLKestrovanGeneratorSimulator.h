#pragma once

#include "TLPseudoTerminal.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

// The generator's side of the serial line, on the master of a pseudo-terminal: it acknowledges
// the driver's telegrams by echoing their check byte, answers queries from a store of value
// texts, keeps the status words, drives the exposure sequence of the hand switch and sends its
// own telegrams until the driver echoes them. Faults of the line can be switched on at will,
// and every byte that crosses the line is kept in a time-stamped transcript.
//
// The public members may be called from any thread; start() and stop() (and the destructor)
// from one controlling thread. The link runs in a thread of its own; an exposure sequence runs
// in a second one while it lasts.
class TLKestrovanGeneratorSimulator
{
public:
    enum class Direction { FromDriver, ToDriver };

    struct TranscriptEntry
    {
        qint64 elapsedUs = 0; // since start()
        Direction direction = Direction::FromDriver;
        QByteArray bytes;
    };

    // How the latest exposure sequence ended.
    enum class ExposureOutcome {
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

    // Own telegrams are written again at this interval until they are echoed, and dropped
    // when no echo came within the give-up time since their first write.
    static constexpr int RepeatIntervalMs = 500;
    static constexpr int GiveUpMs = 8000;
    // 38400 baud with 10 bits per byte on the line.
    static constexpr int PacingMicrosecondsPerByte = 260;
    // Defaults of the settings below.
    static constexpr int DefaultPowerOnDelayMs = 100;
    static constexpr int DefaultFocusReadyDelayMs = 100;
    static constexpr int DefaultReleaseTimeoutMs = 3000;

    TLKestrovanGeneratorSimulator();
    ~TLKestrovanGeneratorSimulator();
    TLKestrovanGeneratorSimulator(const TLKestrovanGeneratorSimulator &) = delete;
    TLKestrovanGeneratorSimulator &operator=(const TLKestrovanGeneratorSimulator &) = delete;

    // Opens a fresh pseudo-terminal and starts the link thread. False with errorString() when
    // the terminal cannot be opened. Values and settings survive a stop() and a new start().
    bool start();
    // Ends an exposure sequence, stops the link thread and closes the terminal.
    void stop();
    bool isRunning() const;
    QString slavePath() const;
    QString errorString() const;

    // The generator's own telegram arithmetic: XOR of all bytes, then bit 7 set.
    static char checkByte(const QByteArray &payload);
    static QByteArray telegram(const QByteArray &payload);

    // --- value store and generator state --------------------------------------------------
    void setValue(const QByteArray &code, const QByteArray &value);
    QByteArray value(const QByteArray &code) const;
    int status1() const; // "st" as a number (0 when it is no number)
    int status2() const; // "qs"
    // Corrections of out-of-range or too fine values, applied when a command arrives.
    void setCorrections(bool enabled);
    void setPowerOnDelayMs(int ms);
    void setFocusReadyDelayMs(int ms);
    void setDapEnabled(bool enabled);
    void setVersion(const QByteArray &version);
    // The generator switched on or off at its own panel: the power bit changes at once.
    void setPowered(bool on);
    // A fault of the generator: "rr" becomes the code and bit 7 of "st" toggles.
    void injectError(const QByteArray &code);

    // --- hand switch and exposure sequence ------------------------------------------------
    // Start the sequence (prepare key; both keys; both keys released by itself before exposure
    // off). False when a sequence is already running or the simulator is not running;
    // pressExposure() during a running prepare phase presses the second stage.
    bool pressPrepare();
    bool pressExposure();
    bool runExposure();
    // Lets both keys go: a break 0000 before the exposure, otherwise an early exposure off.
    void releaseKeys();
    // State 0000 (abort) or 0100 with an error code (exposure error), with or without a
    // running sequence; a running sequence ends.
    void abortExposure();
    void failExposure(const QByteArray &errorCode = QByteArrayLiteral("17"));
    void setReleaseTimeoutMs(int ms);             // wait for "41" and "81"; default 3000
    void setStepDelayMs(int ms);                  // pause before each state after the first; default 0
    void setExposureDurationMs(int ms);           // between exposure on and off; default 0
    void setExposureDose(const QByteArray &dose); // "xg" after an exposure; default "2.5"
    // Values that every later exposure reports instead of those derived from the settings;
    // they are also stored at once. clearLastExposure() returns to derived values.
    void setLastExposure(const QByteArray &kv, const QByteArray &mas, const QByteArray &ma,
                         const QByteArray &xs, const QByteArray &dose);
    void clearLastExposure();
    // "xg" answers "0" for the first n queries after each exposure (as a dose meter that
    // still integrates).
    void setDoseZeroQueries(int n);
    // True once the latest sequence has ended, whatever its outcome.
    bool exposureDone() const;
    bool waitForExposureDone(int timeoutMs) const;
    ExposureOutcome exposureOutcome() const;
    // Values of the "xy" telegrams written since the latest sequence began (first writes only).
    QList<QByteArray> exposureStates() const;

    // --- faults of the line ---------------------------------------------------------------
    // Do not echo (and do not handle) the next n good telegrams; -1: all of them until
    // dropAcknowledgements(0).
    void dropAcknowledgements(int n);
    void dropAcknowledgementsFor(int ms);
    // Flip bit 0 of the check byte in the first write of the next own telegram.
    void corruptNextReply();
    // Answers to queries wait this long before they may be written.
    void setReplyDelayMs(int ms);
    // Write the next own telegram in two bursts, gapMs apart.
    void splitNextReply(int gapMs);
    // With the echo of the driver's next telegram, write this telegram in the same burst,
    // before the echo byte. It is written once and not repeated.
    void injectInAckWindow(const QByteArray &payload);
    // The same, but in an earlier burst, gapMs before the echo.
    void injectBeforeAck(const QByteArray &payload, int gapMs);
    void sendRaw(const QByteArray &bytes);
    // Queued like every own telegram: echo awaited, repeated, given up.
    void sendTelegram(const QByteArray &payload);
    // A pulled cable: the master is closed and the simulator stays stopped.
    void hangUp();
    void setPacing(bool enabled);

    // --- observation ----------------------------------------------------------------------
    QList<TranscriptEntry> transcript() const;
    QByteArray bytesFromDriver() const;
    QByteArray bytesToDriver() const;
    // Good telegrams of the driver in arrival order, check byte included.
    QList<QByteArray> telegramsFromDriver() const;
    // Clears the transcript, the received telegrams and the exposure states; counters stay.
    void clearTranscript();
    // payload: code and value without check byte, e.g. "xr41".
    bool waitForTelegramFromDriver(const QByteArray &payload, int timeoutMs) const;
    int countTelegramsFromDriver(const QByteArray &payload) const;
    int badCheckBytes() const;
    int droppedAcknowledgements() const;  // good telegrams left without echo on purpose
    int acknowledgementsReceived() const; // echoes of own telegrams
    int repeatedWrites() const;           // own telegrams written again for want of an echo
    int givenUpTelegrams() const;
    // Own telegrams queued or awaiting their echo.
    int pendingTelegrams() const;
    bool waitForIdle(int timeoutMs) const;
    // Called in the link thread, without locks held, for each transcript entry as it is made.
    void setTraceHandler(std::function<void(const TranscriptEntry &)> handler);

private:
    using Clock = std::chrono::steady_clock;

    struct Outgoing
    {
        QByteArray telegram;
        quint64 id = 0;
        Clock::time_point notBefore;
    };
    struct InFlight
    {
        bool active = false;
        Outgoing item;
        Clock::time_point firstWrite;
        Clock::time_point nextWrite;
        QByteArray terminatorsWritten;
    };
    struct Burst
    {
        QByteArray bytes;
        int gapAfterMs = 0;
        bool paced = false;
    };
    enum class TimedAction { PowerOn, FocusReady };
    struct TimedEvent
    {
        Clock::time_point due;
        TimedAction action;
        quint64 generation;
    };
    struct LastExposure
    {
        QByteArray kv, mas, ma, xs, dose;
    };
    struct Injection
    {
        QByteArray payload;
        int gapMs = -1; // -1: same burst as the echo
    };
    enum class SequenceCommand { None, Abort, Fail };
    enum class Step { Ok, TimedOut, KeysReleased, Abort, Fail, Stop, LinkLost };

    // link thread
    void runLink();
    void writeBursts(const std::vector<Burst> &bursts);
    void fireDueEvents(Clock::time_point now);
    void serviceTransmission(Clock::time_point now, std::vector<Burst> &bursts);
    void receiveBytes(const QByteArray &bytes, std::vector<Burst> &bursts);
    void handlePiece(const QByteArray &piece, std::vector<Burst> &bursts);
    void handleAcknowledgement(char byte);
    void handleTelegram(const QByteArray &payload);
    void applyCommand(const QByteArray &code, const QByteArray &value);
    QByteArray answerFor(const QByteArray &code);
    QByteArray corrected(const QByteArray &code, const QByteArray &value) const;
    TranscriptEntry record(Direction direction, const QByteArray &bytes, Clock::time_point at);

    // sequence thread
    bool startSequence(int keys, bool autoRelease);
    void runSequence(bool autoRelease);
    Step sequenceSteps(std::unique_lock<std::mutex> &lock, bool autoRelease);
    ExposureOutcome finishSequence(std::unique_lock<std::mutex> &lock, Step step);
    Step sendState(std::unique_lock<std::mutex> &lock, const QByteArray &state);
    Step waitUntil(std::unique_lock<std::mutex> &lock, std::optional<Clock::time_point> deadline,
                   const std::function<bool()> &done);
    Step interruption() const;
    void purgeQueuedStates();
    void storeLastExposureValues();

    // helpers, called with mutex held
    quint64 enqueue(const QByteArray &payload, int delayMs = 0);
    void raiseError(const QByteArray &code);
    int statusWord(const QByteArray &code) const;
    void setStatusWord(const QByteArray &code, int value);
    void scheduleLocked(TimedAction action, int delayMs);

    mutable std::mutex mutex;
    mutable std::condition_variable changed;

    // used by the link thread only while it runs; by start()/stop() otherwise
    TLPseudoTerminal pty;
    std::thread linkThread;
    std::mutex sequenceControl; // serialises starting and joining the sequence thread
    std::thread sequenceThread;

    // everything below is guarded by mutex
    bool running = false;
    bool stopRequested = false;
    bool hangUpRequested = false;
    QString path;
    QString error;
    Clock::time_point startTime;

    QHash<QByteArray, QByteArray> values;
    bool corrections = false;
    int powerOnDelayMs = DefaultPowerOnDelayMs;
    int focusReadyDelayMs = DefaultFocusReadyDelayMs;
    quint64 powerGeneration = 0;
    std::vector<TimedEvent> timedEvents;

    QByteArray rxBuffer;
    std::deque<Outgoing> outgoing;
    InFlight inFlight;
    quint64 lastId = 0;
    quint64 awaitedId = 0;             // the state telegram the sequence waits for
    std::optional<bool> awaitedResult; // echoed (true) or given up (false)
    QByteArray looseTerminators;       // of injected telegrams, which are not repeated
    std::vector<QByteArray> rawQueue;

    int dropAcks = 0;
    Clock::time_point dropAcksUntil;
    bool corruptNext = false;
    int replyDelayMs = 0;
    int splitGapMs = -1;
    std::optional<Injection> injection;
    bool pacing = false;

    bool sequenceRunning = false;
    bool sequenceStarted = false;
    bool sequenceStop = false;
    bool sequenceFinishing = false; // closing state on its way: keys and commands no longer count
    SequenceCommand sequenceCommand = SequenceCommand::None;
    QByteArray sequenceErrorCode;
    ExposureOutcome outcome = ExposureOutcome::None;
    int keys = 0; // bit 0 prepare key, bit 1 exposure key
    bool exposureOn = false;
    QList<QByteArray> releasesReceived;
    QList<QByteArray> statesSent;
    int releaseTimeoutMs = DefaultReleaseTimeoutMs;
    int stepDelayMs = 0;
    int exposureDurationMs = 0;
    QByteArray exposureDose = QByteArrayLiteral("2.5");
    std::optional<LastExposure> lastExposureOverride;
    int doseZeroQueries = 0;
    int doseZeroLeft = 0;

    QList<TranscriptEntry> entries;
    QList<QByteArray> driverTelegrams;
    int badChecks = 0;
    int droppedAcks = 0;
    int acksReceived = 0;
    int repeats = 0;
    int givenUp = 0;
    std::function<void(const TranscriptEntry &)> traceHandler;
};
