#pragma once

#include "TLKestrovanExposureSequence.h"
#include "TLKestrovanGeneratorModel.h"
#include "TLKestrovanSimulatedLine.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <condition_variable>
#include <functional>
#include <mutex>

// The generator's side of the serial line, on the master of a pseudo-terminal: it acknowledges
// the driver's telegrams by echoing their check byte, answers queries from a store of value
// texts, keeps the status words, drives the exposure sequence of the hand switch and sends its
// own telegrams until the driver echoes them. Faults of the line can be switched on at will,
// and every byte that crosses the line is kept in a time-stamped transcript.
//
// Three parts do the work: the line (TLKestrovanSimulatedLine), the generator's state
// (TLKestrovanGeneratorModel) and the exposure sequence (TLKestrovanExposureSequence). They
// share one mutex and one condition owned here, so that a telegram, the state it changes and
// the sequence waiting for it are always seen together.
//
// The public members may be called from any thread; start() and stop() (and the destructor)
// from one controlling thread. The link runs in a thread of its own; an exposure sequence runs
// in a second one while it lasts.
class TLKestrovanGeneratorSimulator
{
public:
    using Direction = TLKestrovanSimulatedLine::Direction;
    using TranscriptEntry = TLKestrovanSimulatedLine::TranscriptEntry;
    // How the latest exposure sequence ended.
    using ExposureOutcome = TLKestrovanExposureSequence::Outcome;

    // Own telegrams are written again at this interval until they are echoed, and dropped
    // when no echo came within the give-up time since their first write.
    static constexpr int RepeatIntervalMs = TLKestrovanSimulatedLine::RepeatIntervalMs;
    static constexpr int GiveUpMs = TLKestrovanSimulatedLine::GiveUpMs;
    // 38400 baud with 10 bits per byte on the line.
    static constexpr int PacingMicrosecondsPerByte = TLKestrovanSimulatedLine::PacingMicrosecondsPerByte;
    // Defaults of the settings below.
    static constexpr int DefaultPowerOnDelayMs = TLKestrovanGeneratorModel::DefaultPowerOnDelayMs;
    static constexpr int DefaultFocusReadyDelayMs = TLKestrovanGeneratorModel::DefaultFocusReadyDelayMs;
    static constexpr int DefaultReleaseTimeoutMs = TLKestrovanExposureSequence::DefaultReleaseTimeoutMs;

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
    // The line hands each echoed telegram of the driver here, in the link thread with the
    // mutex held: queries go to the model for their answer, commands to the model, and the
    // driver's release answers also to the sequence that waits for them.
    void dispatchLocked(const QByteArray &payload);

    std::mutex mutex;
    std::condition_variable changed;
    TLKestrovanGeneratorModel model;
    TLKestrovanSimulatedLine line;
    TLKestrovanExposureSequence sequence;
};
