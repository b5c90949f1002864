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
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

// The generator's end of the serial line, on the master of a pseudo-terminal: a link thread
// cuts the driver's bytes into telegrams, echoes the good ones and hands them on, and writes
// the generator's own telegrams one at a time, again every 500 ms until they are echoed, and
// gives them up after 8 s. Faults of the line can be switched on at will, and every byte that
// crosses it is kept in a time-stamped transcript, apart from the bytes of a flood, which are
// only counted.
//
// What the telegrams mean is not its business: the owner gets each echoed telegram and a tick
// per pass of the loop through two handlers. The owner (TLKestrovanGeneratorSimulator) also
// lends the mutex and the condition that guard this line together with the generator behind
// it; the handlers and the members marked "Locked" run with that mutex held. The public members
// take the mutex themselves and may be called from any thread; the owner alone starts and stops
// the line, from one controlling thread.
class TLKestrovanSimulatedLine
{
public:
    using Clock = std::chrono::steady_clock;

    enum class Direction { FromDriver, ToDriver };

    struct TranscriptEntry
    {
        qint64 elapsedUs = 0;   // since start()
        qint64 wallClockUs = 0; // the same moment in microseconds since the epoch
        Direction direction = Direction::FromDriver;
        QByteArray bytes;
    };

    // A good telegram of the driver, without its check byte, that the line has echoed.
    using TelegramHandler = std::function<void(const QByteArray &payload)>;
    using TickHandler = std::function<void(Clock::time_point now)>;
    using TraceHandler = std::function<void(const TranscriptEntry &)>;

    // Floods kept up on the line until switched off. Telegrams: good telegrams of codes the
    // driver stores but does not act on ("xb", "xc", "ac", each value new), written once and
    // not awaited. Noise: random bytes, about half with bit 7 set, so pieces with wrong check
    // bytes and lone terminators. Unterminated: bytes with bit 7 clear, which never end a
    // telegram. These three at line rate, leaving the line to the generator's own echoes,
    // replies and states whenever they are due, between two whole flood pieces. FullSpeed:
    // random bytes as fast as the terminal takes them.
    enum class Flood { Off, Telegrams, Noise, Unterminated, FullSpeed };
    // Which writes of a damaged telegram carry the damage.
    enum class Damage { FirstWrite, EveryWrite };

    // The generator's side keeps its own copy of the wire's rules on purpose: an independent check
    // of the driver's. The end of every telegram and acknowledgement is the only byte with bit 7
    // set.
    static constexpr char TerminatorBit = char(0x80);
    static constexpr int RepeatIntervalMs = 500;
    static constexpr int GiveUpMs = 8000;
    // 38400 baud with 10 bits per byte on the line.
    static constexpr int LineRateBytesPerSecond = 3840;
    static constexpr int PacingMicrosecondsPerByte = 260;
    // The simulator's threads carry names that start so (the kernel keeps 15 characters), so
    // that a measurement in the same process can tell them from the driver's.
    static constexpr char ThreadNamePrefix[] = "KSim";

    TLKestrovanSimulatedLine(std::mutex &mutex, std::condition_variable &changed, TelegramHandler onTelegram,
                             TickHandler onTick);
    ~TLKestrovanSimulatedLine();
    TLKestrovanSimulatedLine(const TLKestrovanSimulatedLine &) = delete;
    TLKestrovanSimulatedLine &operator=(const TLKestrovanSimulatedLine &) = delete;

    // The generator's telegram arithmetic: XOR of all bytes, then bit 7 set.
    static char checkByte(const QByteArray &payload);
    static QByteArray telegram(const QByteArray &payload);

    // --- faults -------------------------------------------------------------------------------
    // Do not echo (and do not handle) the next n good telegrams; -1: all of them until
    // dropAcknowledgements(0).
    void dropAcknowledgements(int n);
    void dropAcknowledgementsFor(int ms);
    // Flip bit 0 of the check byte in the first write of the next own telegram.
    void corruptNextReply();
    // The same for the next own telegram whose payload starts with prefix (any when empty),
    // in its first write only (its repeat is good) or in every write (it is never good).
    void corruptNextTelegram(const QByteArray &prefix = {}, Damage damage = Damage::FirstWrite);
    // Answers to queries wait this long before they may be written; the others pass them.
    void setReplyDelayMs(int ms);
    // Answers to queries of this code wait this long instead (a negative time: as the others).
    void setReplyDelayMs(const QByteArray &code, int ms);
    // Write the next own telegram in two bursts, gapMs apart.
    void splitNextReply(int gapMs);
    // Write the next own telegram whose payload starts with prefix (any when empty) in two
    // bursts gapMs apart, the first of splitAfter bytes (less than 1: half the telegram). every:
    // each such telegram and each of its writes, until splitTelegrams(-1) ends it.
    void splitTelegrams(int gapMs, const QByteArray &prefix = {}, int splitAfter = -1, bool every = false);
    void setFlood(Flood kind);
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

    // --- observation --------------------------------------------------------------------------
    // Keep the transcript (the default). A long flood run may switch it off to keep memory
    // flat; the trace handler still sees every entry.
    void setRecording(bool on);
    QList<TranscriptEntry> transcript() const;
    QByteArray bytesFromDriver() const;
    QByteArray bytesToDriver() const;
    // Good telegrams of the driver in arrival order, check byte included.
    QList<QByteArray> telegramsFromDriver() const;
    // Values of the "xy" telegrams written since the latest sequence began (first writes only).
    QList<QByteArray> exposureStates() const;
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
    Flood flood() const;
    struct FloodCounts
    {
        qint64 bytes = 0;  // written
        int telegrams = 0; // good telegrams among them
        int echoes = 0;    // the driver's echoes of those
    };
    // Since the simulator was made, over all floods.
    FloodCounts floodCounts() const;
    // Own telegrams queued or awaiting their echo.
    int pendingTelegrams() const;
    bool waitForIdle(int timeoutMs) const;
    // Called in the link thread, without locks held, for each transcript entry as it is made.
    void setTraceHandler(TraceHandler handler);

private:
    // The owner starts and stops the line and reports its state; the exposure sequence and the
    // owner's dispatch use the members marked "Locked", with the mutex held.
    friend class TLKestrovanGeneratorSimulator;
    friend class TLKestrovanExposureSequence;

    bool start();
    void stop();
    bool isRunning() const;
    QString slavePath() const;
    QString errorString() const;

    bool isRunningLocked() const { return running; }
    bool isStoppingLocked() const { return stopRequested; }
    void sendLocked(const QByteArray &payload) { enqueue(payload); }
    // An answer to a query: it waits out the reply delay.
    void replyLocked(const QByteArray &payload)
    {
        enqueue(payload, codeReplyDelayMs.value(payload.left(2), replyDelayMs));
    }
    // Queues a telegram whose fate watchedResultLocked() tells: echoed (true) or given up (false).
    void sendWatchedLocked(const QByteArray &payload);
    std::optional<bool> watchedResultLocked() const { return awaitedResult; }
    // Takes back the queued telegrams (not the one on the line) whose payload starts so.
    void withdrawQueuedLocked(const QByteArray &prefix);
    void forgetExposureStatesLocked() { statesSent.clear(); }

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
        bool damagedEveryWrite = false;
    };
    struct Burst
    {
        QByteArray bytes;
        int gapAfterMs = 0;
        bool paced = false;
    };
    struct Injection
    {
        QByteArray payload;
        int gapMs = -1; // -1: same burst as the echo
    };
    struct Split
    {
        int gapMs = 0;
        QByteArray prefix;
        int after = -1;
        bool every = false;
    };
    struct Corruption
    {
        QByteArray prefix;
        Damage damage = Damage::FirstWrite;
    };

    void runLink();
    void writeBursts(const std::vector<Burst> &bursts);
    // Writes the flood's bytes that are due; how long the loop may then wait for the driver.
    int writeFlood();
    QByteArray lineRateFloodLocked(Clock::time_point now, int *waitMs);
    QByteArray nextFloodPieceLocked();
    bool isOwnTerminatorLocked(char byte) const;
    quint64 nextRandomLocked();
    void serviceTransmission(Clock::time_point now, std::vector<Burst> &bursts);
    void writeOwn(const QByteArray &bytes, bool firstWrite, std::vector<Burst> &bursts);
    void receiveBytes(const QByteArray &bytes, std::vector<Burst> &bursts);
    void handlePiece(const QByteArray &piece, std::vector<Burst> &bursts);
    void handleAcknowledgement(char byte);
    TranscriptEntry record(Direction direction, const QByteArray &bytes, Clock::time_point at);
    QByteArray bytesIn(Direction direction) const;
    quint64 enqueue(const QByteArray &payload, int delayMs = 0);

    std::mutex &mutex;
    std::condition_variable &changed;
    const TelegramHandler onTelegram;
    const TickHandler onTick;

    // used by the link thread only while it runs; by start()/stop() otherwise
    TLPseudoTerminal pty;
    std::thread linkThread;

    // everything below is guarded by mutex
    bool running = false;
    bool stopRequested = false;
    bool hangUpRequested = false;
    QString path;
    QString error;
    Clock::time_point startTime;
    std::chrono::system_clock::time_point startWallClock; // the moment of startTime

    QByteArray rxBuffer;
    std::deque<Outgoing> outgoing;
    InFlight inFlight;
    quint64 lastId = 0;
    quint64 awaitedId = 0;
    std::optional<bool> awaitedResult;
    QByteArray looseTerminators; // of injected telegrams, which are not repeated
    std::vector<QByteArray> rawQueue;

    int dropAcks = 0;
    Clock::time_point dropAcksUntil;
    std::optional<Corruption> corruption;
    int replyDelayMs = 0;
    QHash<QByteArray, int> codeReplyDelayMs;
    std::optional<Split> split;
    std::optional<Injection> injection;
    bool pacing = false;

    Flood floodKind = Flood::Off;
    Clock::time_point lineFreeAt; // the line is busy with earlier bytes until then
    quint64 floodRandom = 0;
    int floodCounter = 0;
    QByteArray floodTerminators; // of flood telegrams whose echo may still come, oldest first
    FloodCounts floodCounted;

    bool recording = true;
    QList<TranscriptEntry> entries;
    QList<QByteArray> driverTelegrams;
    QList<QByteArray> statesSent;
    int badChecks = 0;
    int droppedAcks = 0;
    int acksReceived = 0;
    int repeats = 0;
    int givenUp = 0;
    TraceHandler traceHandler;
};
