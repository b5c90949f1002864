#pragma once

#include <QByteArray>
#include <QString>

#include <condition_variable>
#include <mutex>
#include <thread>

// Shows that a long driver call is still at work, on a terminal only. The driver blocks the
// main thread during its waits (switch-on, focus ready, trigger file), so the spinner draws
// from a small thread of its own. It appears only when a call takes longer than a moment,
// and it leaves its line empty when it stops.
class TLHostSpinner
{
public:
    // enabled false: start() and stop() do nothing (not a terminal).
    explicit TLHostSpinner(bool enabled);
    ~TLHostSpinner();
    TLHostSpinner(const TLHostSpinner &) = delete;
    TLHostSpinner &operator=(const TLHostSpinner &) = delete;

    // True when standard error is a terminal.
    static bool standardErrorIsTerminal();

    bool isEnabled() const { return enabled; }
    void start(const QString &label);
    void stop();

    // The text of one frame: a turning bar, the label and the seconds so far.
    static QByteArray frame(int tick, const QByteArray &label, int elapsedMs);

    static constexpr int GraceMs = 300; // calls shorter than this show nothing
    static constexpr int FrameMs = 100;

private:
    void run(const QByteArray &label);

    const bool enabled;
    std::mutex mutex;
    std::condition_variable wake;
    bool stopRequested = false; // guarded by mutex
    std::thread thread;
};
