#include "TLKestrovanReplayLine.h"

#include "TLKestrovanSimulatedLine.h"

#include <algorithm>
#include <optional>

#include <pthread.h>

namespace {
// A telegram's code: its first two bytes.
constexpr int CodeBytes = 2;
const QByteArray QueryValue = QByteArrayLiteral("?");
} // namespace

TLKestrovanReplayLine::TLKestrovanReplayLine(const TLKestrovanReplayRecord &record,
                                             TLKestrovanReplayEngine::OnDivergence onDivergence,
                                             Output output)
    : onDivergence(onDivergence), output(std::move(output)), engine(record, onDivergence), model(mutex)
{
}

TLKestrovanReplayLine::~TLKestrovanReplayLine()
{
    stop();
}

bool TLKestrovanReplayLine::start()
{
    if (thread.joinable())
        return true;
    if (!pty.open())
        return false;
    startTime = std::chrono::steady_clock::now();
    thread = std::thread(&TLKestrovanReplayLine::run, this);
    return true;
}

void TLKestrovanReplayLine::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopRequested = true;
    }
    if (thread.joinable())
        thread.join();
    pty.hangUp();
}

QString TLKestrovanReplayLine::slavePath() const
{
    return pty.slavePath();
}

QString TLKestrovanReplayLine::errorString() const
{
    return pty.errorString();
}

bool TLKestrovanReplayLine::waitUntilOver(int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return over; });
}

int TLKestrovanReplayLine::divergences() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return engine.divergences();
}

QStringList TLKestrovanReplayLine::summaryLines() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return engine.summaryLines();
}

qint64 TLKestrovanReplayLine::elapsedUs() const
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - startTime)
        .count();
}

void TLKestrovanReplayLine::run()
{
    ::pthread_setname_np(::pthread_self(),
                         (QByteArray(TLKestrovanSimulatedLine::ThreadNamePrefix) + "Replay").constData());
    std::optional<qint64> overSinceUs;
    qint64 heardUs = 0; // when the driver's latest bytes came
    for (bool done = false; !done;) {
        QVector<TLKestrovanReplayEngine::Due> due;
        QStringList reports;
        int waitMs = IdlePollMs;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (stopRequested)
                break;
            const qint64 nowUs = elapsedUs();
            model.fireDueEventsLocked(std::chrono::steady_clock::now());
            due = engine.takeDue(nowUs);
            reports = engine.takeReports();
            if (engine.isOver() && !overSinceUs)
                overSinceUs = nowUs;
            if (overSinceUs) {
                // A stopped replay does not wait for the driver to finish.
                const qint64 quietUs = engine.isStopped() ? *overSinceUs : std::max(*overSinceUs, heardUs);
                done = nowUs - quietUs >= qint64(LingerMs) * 1000;
            }
            over = done;
            const qint64 nextUs = engine.nextDueUs();
            if (nextUs >= 0)
                waitMs = int(std::clamp<qint64>((nextUs - nowUs + 999) / 1000, 0, IdlePollMs));
        }
        for (const TLKestrovanReplayEngine::Due &chunk : due)
            pty.write(chunk.bytes);
        for (const QString &line : reports)
            output(line);
        if (done) {
            changed.notify_all();
            break;
        }
        const QByteArray bytes = pty.read(waitMs);
        if (bytes.isEmpty())
            continue;
        QByteArray answers;
        heardUs = elapsedUs();
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (const TLKestrovanReplayEngine::Received &received : engine.receive(bytes, heardUs))
                answers += answerLocked(received.telegram, received.diverged);
        }
        if (!answers.isEmpty())
            pty.write(answers);
    }
}

QByteArray TLKestrovanReplayLine::answerLocked(const QByteArray &telegram, bool diverged)
{
    const QByteArray payload = telegram.chopped(1);
    // A damaged telegram gets no echo and changes nothing, as at the generator.
    if (payload.size() < CodeBytes || TLKestrovanSimulatedLine::checkByte(payload) != telegram.back())
        return QByteArray();
    const QByteArray code = payload.left(CodeBytes);
    const QByteArray value = payload.mid(CodeBytes);
    const bool query = value == QueryValue;
    if (!query)
        model.applyCommandLocked(code, value);
    // A matched telegram's echo and answer are in the record.
    if (!diverged || onDivergence == TLKestrovanReplayEngine::OnDivergence::Stop)
        return QByteArray();
    const QByteArray echo = telegram.right(1);
    return query ? echo + TLKestrovanSimulatedLine::telegram(code + model.answerLocked(code)) : echo;
}
