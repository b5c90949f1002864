#include "TLKestrovanExposureSequence.h"

#include "TLKestrovanGeneratorModel.h"
#include "TLKestrovanSimulatedLine.h"

#include <pthread.h>

namespace {
// Keys of the hand switch, as in the key byte of an exposure state.
constexpr int PrepareKey = 0x1;
constexpr int ExposureKey = 0x2;

const QByteArray BreakState = QByteArrayLiteral("0000");
const QByteArray ErrorState = QByteArrayLiteral("0100");
const QByteArray PrepareAccepted = QByteArrayLiteral("41");
const QByteArray ExposureAccepted = QByteArrayLiteral("81");
const QByteArray StateCode = QByteArrayLiteral("xy");

QByteArray keyByte(int keys)
{
    return QByteArray("0") + char('0' + (keys & (PrepareKey | ExposureKey)));
}
} // namespace

TLKestrovanExposureSequence::TLKestrovanExposureSequence(std::mutex &mutex, std::condition_variable &changed,
                                                         TLKestrovanSimulatedLine &line,
                                                         TLKestrovanGeneratorModel &model)
    : mutex(mutex), changed(changed), line(line), model(model)
{
}

TLKestrovanExposureSequence::~TLKestrovanExposureSequence()
{
    stop();
}

// --- hand switch and commands ---------------------------------------------------------------

bool TLKestrovanExposureSequence::pressPrepare()
{
    return startSequence(PrepareKey, false);
}

bool TLKestrovanExposureSequence::pressExposure()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (running) {
            keys = PrepareKey | ExposureKey;
            changed.notify_all();
            return true;
        }
    }
    return startSequence(PrepareKey | ExposureKey, false);
}

bool TLKestrovanExposureSequence::runExposure()
{
    return startSequence(PrepareKey | ExposureKey, true);
}

void TLKestrovanExposureSequence::releaseKeys()
{
    std::lock_guard<std::mutex> lock(mutex);
    keys = 0;
    changed.notify_all();
}

void TLKestrovanExposureSequence::abortExposure()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (running) {
        command = Command::Abort;
        changed.notify_all();
    } else {
        line.sendLocked(StateCode + BreakState);
    }
}

void TLKestrovanExposureSequence::failExposure(const QByteArray &code)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (running) {
        command = Command::Fail;
        errorCode = code;
        changed.notify_all();
    } else {
        model.raiseErrorLocked(code);
        line.sendLocked(StateCode + ErrorState);
    }
}

void TLKestrovanExposureSequence::releaseReceivedLocked(const QByteArray &value)
{
    releasesReceived.append(value);
    changed.notify_all();
}

// --- settings and observation ---------------------------------------------------------------

void TLKestrovanExposureSequence::setHoldAtExposureKey(bool hold)
{
    std::lock_guard<std::mutex> lock(mutex);
    holdAtExposureKey = hold;
    changed.notify_all();
}

void TLKestrovanExposureSequence::setReleaseTimeoutMs(int ms)
{
    std::lock_guard<std::mutex> lock(mutex);
    releaseTimeoutMs = ms;
}

void TLKestrovanExposureSequence::setStepDelayMs(int ms)
{
    std::lock_guard<std::mutex> lock(mutex);
    stepDelayMs = ms;
}

void TLKestrovanExposureSequence::setExposureDurationMs(int ms)
{
    std::lock_guard<std::mutex> lock(mutex);
    exposureDurationMs = ms;
}

bool TLKestrovanExposureSequence::exposureDone() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return started && !running;
}

bool TLKestrovanExposureSequence::waitForExposureDone(int timeoutMs) const
{
    Lock lock(mutex);
    changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !running; });
    return started && !running;
}

TLKestrovanExposureSequence::Outcome TLKestrovanExposureSequence::exposureOutcome() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return outcome;
}

// --- life cycle -----------------------------------------------------------------------------

void TLKestrovanExposureSequence::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopRequested = true;
        changed.notify_all();
    }
    std::lock_guard<std::mutex> guard(control);
    if (thread.joinable())
        thread.join();
}

void TLKestrovanExposureSequence::resume()
{
    std::lock_guard<std::mutex> lock(mutex);
    stopRequested = false;
}

bool TLKestrovanExposureSequence::startSequence(int pressedKeys, bool autoRelease)
{
    std::lock_guard<std::mutex> guard(control);
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!line.isRunningLocked() || running)
            return false;
    }
    // The previous sequence has ended; its thread only has to be collected.
    if (thread.joinable())
        thread.join();
    std::lock_guard<std::mutex> lock(mutex);
    if (!line.isRunningLocked() || running)
        return false;
    running = true;
    started = true;
    finishing = false;
    command = Command::None;
    keys = pressedKeys;
    exposureOn = false;
    line.forgetExposureStatesLocked();
    releasesReceived.clear();
    outcome = Outcome::Running;
    thread = std::thread(&TLKestrovanExposureSequence::run, this, autoRelease);
    return true;
}

// --- sequence thread ------------------------------------------------------------------------

void TLKestrovanExposureSequence::run(bool autoRelease)
{
    ::pthread_setname_np(::pthread_self(),
                         (QByteArray(TLKestrovanSimulatedLine::ThreadNamePrefix) + "Sequence").constData());
    Lock lock(mutex);
    const Step step = steps(lock, autoRelease);
    outcome = finish(lock, step);
    exposureOn = false;
    running = false;
    changed.notify_all();
}

TLKestrovanExposureSequence::Step TLKestrovanExposureSequence::steps(Lock &lock, bool autoRelease)
{
    const auto release = [&](const QByteArray &answer) {
        return waitFor(lock, releaseTimeoutMs, [&] { return releasesReceived.contains(answer); });
    };

    // Prepare: rotor and filament, with the driver's consent.
    Step step = sendState(lock, "0A01");
    if (step == Step::Ok)
        step = release(PrepareAccepted);
    if (step == Step::Ok)
        step = sendStates(lock, {"0C01", "0D01", "0E01"});
    if (step == Step::Ok)
        step = waitUntil(lock, std::nullopt, [&] { return (keys & ExposureKey) != 0; });
    // Exposure, again with the driver's consent.
    if (step == Step::Ok)
        step = sendStates(lock, {"0E03"});
    // Both keys held: letting them go during the hold is the break after state 14.
    if (step == Step::Ok)
        step = waitUntil(lock, std::nullopt, [&] { return !holdAtExposureKey; });
    if (step == Step::Ok)
        step = sendStates(lock, {"1003"});
    if (step == Step::Ok)
        step = release(ExposureAccepted);
    if (step == Step::Ok)
        step = sendStates(lock, {"1103"});
    if (step != Step::Ok)
        return step;

    exposureOn = true; // from here letting the keys go ends the exposure early
    step = sendStates(lock, {"1203"});
    if (step != Step::Ok)
        return step;
    step = waitFor(lock, exposureDurationMs, [&] { return keys == 0; });
    if (step != Step::Ok && step != Step::TimedOut)
        return step;
    model.storeLastExposureLocked();
    if (autoRelease)
        keys = 0;
    return sendState(lock, "14" + keyByte(keys));
}

TLKestrovanExposureSequence::Step
TLKestrovanExposureSequence::sendStates(Lock &lock, std::initializer_list<const char *> states)
{
    for (const char *state : states) {
        Step step = Step::Ok;
        if (stepDelayMs > 0) {
            step = waitFor(lock, stepDelayMs, [] { return false; });
            if (step == Step::TimedOut)
                step = Step::Ok;
        }
        if (step == Step::Ok)
            step = sendState(lock, state);
        if (step != Step::Ok)
            return step;
    }
    return Step::Ok;
}

TLKestrovanExposureSequence::Outcome TLKestrovanExposureSequence::finish(Lock &lock, Step step)
{
    // The closing state is delivered like any other; only a stop or a lost line ends it.
    finishing = true;
    const auto close = [&](const QByteArray &state, Outcome result) {
        line.withdrawQueuedLocked(StateCode);
        const Step sent = sendState(lock, state);
        if (sent == Step::Stop)
            return Outcome::Stopped;
        return sent == Step::Ok ? result : Outcome::LinkLost;
    };
    switch (step) {
    case Step::Ok:
        return Outcome::Completed;
    case Step::TimedOut:
        return close(BreakState, Outcome::NotReleased);
    case Step::KeysReleased:
        return close(BreakState, Outcome::KeysReleased);
    case Step::Abort:
        return close(BreakState, Outcome::Aborted);
    case Step::Fail:
        model.raiseErrorLocked(errorCode);
        return close(ErrorState, Outcome::Failed);
    case Step::Stop:
        return Outcome::Stopped;
    case Step::LinkLost:
        break;
    }
    return Outcome::LinkLost;
}

TLKestrovanExposureSequence::Step TLKestrovanExposureSequence::sendState(Lock &lock, const QByteArray &state)
{
    Step step = interruption();
    if (step != Step::Ok)
        return step;
    releasesReceived.clear();
    line.sendWatchedLocked(StateCode + state);
    step = waitUntil(lock, std::nullopt, [&] { return line.watchedResultLocked().has_value(); });
    if (step != Step::Ok)
        return step;
    return *line.watchedResultLocked() ? Step::Ok : Step::LinkLost;
}

TLKestrovanExposureSequence::Step TLKestrovanExposureSequence::waitFor(Lock &lock, int ms,
                                                                       const std::function<bool()> &done)
{
    return waitUntil(lock, Clock::now() + std::chrono::milliseconds(ms), done);
}

TLKestrovanExposureSequence::Step
TLKestrovanExposureSequence::waitUntil(Lock &lock, std::optional<Clock::time_point> deadline,
                                       const std::function<bool()> &done)
{
    for (;;) {
        const Step step = interruption();
        if (step != Step::Ok)
            return step;
        if (done())
            return Step::Ok;
        if (deadline) {
            if (Clock::now() >= *deadline)
                return Step::TimedOut;
            changed.wait_until(lock, *deadline);
        } else {
            changed.wait(lock);
        }
    }
}

TLKestrovanExposureSequence::Step TLKestrovanExposureSequence::interruption() const
{
    if (stopRequested || line.isStoppingLocked())
        return Step::Stop;
    if (!line.isRunningLocked())
        return Step::LinkLost;
    if (finishing)
        return Step::Ok;
    if (command == Command::Abort)
        return Step::Abort;
    if (command == Command::Fail)
        return Step::Fail;
    if (!exposureOn && keys == 0)
        return Step::KeysReleased;
    return Step::Ok;
}
