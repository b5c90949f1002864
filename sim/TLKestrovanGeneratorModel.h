#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>

#include <chrono>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

// What the simulated generator knows: a value text per two-letter code, the status words "st"
// and "qs" with their power, focus-ready, error and dose-meter bits, the corrections a real
// generator makes to values out of range, the delays of power-on and focus-ready, and the
// values it reports after an exposure. It answers queries and carries out commands; the line
// in front of it and the exposure sequence reach it with the shared mutex held (the members
// marked "Locked"). The public members take the mutex themselves and may be called from any
// thread.
class TLKestrovanGeneratorModel
{
public:
    using Clock = std::chrono::steady_clock;

    static constexpr int DefaultPowerOnDelayMs = 100;
    static constexpr int DefaultFocusReadyDelayMs = 100;

    explicit TLKestrovanGeneratorModel(std::mutex &mutex);

    // The two-letter codes of the generator's telegrams, from "fc" to "xc".
    static const QList<QByteArray> &codes();

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
    // An error storm: the codes one after the other, intervalMs apart from now on, each as
    // injectError() does and, when announced, also sent as an unasked "rr" telegram. Codes are
    // texts as they go on the wire ("105", "0105", "+105", "105 ", "E5"). A new storm replaces
    // the one under way; an empty list ends it.
    void startErrorStorm(const QList<QByteArray> &codes, int intervalMs, bool announced = true);
    // count codes counting up from first: "100", "101", ...
    static QList<QByteArray> countingCodes(int first, int count);
    // Codes of the storm not yet raised.
    int errorStormLeft() const;
    void setExposureDose(const QByteArray &dose); // "xg" after an exposure; default "2.5"
    // Values that every later exposure reports instead of those derived from the settings;
    // they are also stored at once. clearLastExposure() returns to derived values.
    void setLastExposure(const QByteArray &kv, const QByteArray &mas, const QByteArray &ma,
                         const QByteArray &xs, const QByteArray &dose);
    void clearLastExposure();
    // "xg" answers "0" for the first n queries after each exposure (as a dose meter that
    // still integrates).
    void setDoseZeroQueries(int n);

private:
    // The owner's dispatch and tick and the exposure sequence, with the mutex held; and a replay
    // that answers with the model after a divergence.
    friend class TLKestrovanGeneratorSimulator;
    friend class TLKestrovanExposureSequence;
    friend class TLKestrovanReplayLine;

    // The value text that answers a query for code.
    QByteArray answerLocked(const QByteArray &code);
    void applyCommandLocked(const QByteArray &code, const QByteArray &value);
    // Lets the power and focus-ready bits come once their delays are over, and raises the
    // storm's codes that are due; gives the unasked telegrams to send.
    QList<QByteArray> fireDueEventsLocked(Clock::time_point now);
    // "rr" becomes the code and bit 7 of "st" toggles, so that the driver sees a change.
    void raiseErrorLocked(const QByteArray &code);
    // An exposure has ended: "xv", "xa", "xm", "xs" and "xg" tell what it was.
    void storeLastExposureLocked();

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

    int statusWord(const QByteArray &code) const;
    void setStatusWord(const QByteArray &code, int value);
    void switchOff();
    void schedule(TimedAction action, int delayMs);
    void fireTimedEvents(Clock::time_point now);
    void storeExposureValues(const LastExposure &last);
    QByteArray corrected(const QByteArray &code, const QByteArray &value) const;

    std::mutex &mutex;

    // everything below is guarded by mutex
    QHash<QByteArray, QByteArray> values;
    bool corrections = false;
    int powerOnDelayMs = DefaultPowerOnDelayMs;
    int focusReadyDelayMs = DefaultFocusReadyDelayMs;
    quint64 powerGeneration = 0;
    std::vector<TimedEvent> timedEvents;
    QByteArray exposureDose = QByteArrayLiteral("2.5");
    std::optional<LastExposure> lastExposureOverride;
    int doseZeroQueries = 0;
    int doseZeroLeft = 0;
    std::deque<QByteArray> stormCodes;
    std::chrono::milliseconds stormInterval{0};
    Clock::time_point stormNext;
    bool stormAnnounced = false;
};
