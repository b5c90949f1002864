#pragma once

#include "TLKestrovanGeneratorModel.h"
#include "TLKestrovanReplayEngine.h"
#include "TLPseudoTerminal.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

// A replay on the master of a pseudo-terminal: a thread of its own reads what the driver
// sends, hands it to the replay's engine and writes the recorded chunks when they are due,
// byte for byte. It echoes nothing by itself, as the record holds the generator's echoes. Only
// a telegram that diverged is answered, with --on-divergence continue, by the simulator's own
// model (the echo, and the answer to a query); the driver's matched commands keep that model in
// step. Reports go to the output as they come, from the line's thread.
//
// start() and stop() (and the destructor) belong to one controlling thread; the other public
// members may be called from any thread.
class TLKestrovanReplayLine
{
public:
    using Output = std::function<void(const QString &line)>;

    // After the record is over the line stays open until the driver has been quiet this long:
    // a driver that still waits for an echo the record does not hold gives up within its 500 ms
    // acknowledgement window, and meanwhile must find a generator that says nothing, as in the
    // field, not a cable pulled.
    static constexpr int LingerMs = 1500;
    // The longest wait for the driver's bytes when no chunk is due sooner.
    static constexpr int IdlePollMs = 50;

    // The record must outlive the line.
    TLKestrovanReplayLine(const TLKestrovanReplayRecord &record,
                          TLKestrovanReplayEngine::OnDivergence onDivergence, Output output);
    ~TLKestrovanReplayLine();
    TLKestrovanReplayLine(const TLKestrovanReplayLine &) = delete;
    TLKestrovanReplayLine &operator=(const TLKestrovanReplayLine &) = delete;

    // Opens a pseudo-terminal and starts the line's thread; false with errorString() when the
    // terminal cannot be opened.
    bool start();
    void stop();
    QString slavePath() const;
    QString errorString() const;
    // True once the replay is over and the line has lingered; false when the time ran out first.
    bool waitUntilOver(int timeoutMs) const;
    int divergences() const;
    QStringList summaryLines() const;

private:
    void run();
    qint64 elapsedUs() const;
    // With the mutex held: what the model writes back for a telegram of the driver.
    QByteArray answerLocked(const QByteArray &telegram, bool diverged);

    const TLKestrovanReplayEngine::OnDivergence onDivergence;
    const Output output;
    // the link thread's while it runs; start() and stop() set them otherwise
    TLPseudoTerminal pty;
    std::thread thread;
    std::chrono::steady_clock::time_point startTime;

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    // everything below is guarded by mutex
    TLKestrovanReplayEngine engine;
    TLKestrovanGeneratorModel model;
    bool stopRequested = false;
    bool over = false;
};
