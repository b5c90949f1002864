#include "TLKestrovanGeneratorSimulator.h"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace {
// The link thread looks at the line, its clocks and the callers' requests this often.
constexpr int LoopPollMs = 5;
// Bytes without a terminator are dropped beyond this (a telegram is at most 31 bytes).
constexpr int MaxPendingBytes = 256;

constexpr char TerminatorBit = char(0x80);

// Bits of status word 1 ("st") and status word 2 ("qs").
constexpr int ErrorBit = 0x80;
constexpr int FocusReadyBit = 0x400;
constexpr int PowerBit = 0x1000;
constexpr int DoseMeterBit = 0x80;

// Keys of the hand switch, as in the key byte of an exposure state.
constexpr int PrepareKey = 0x1;
constexpr int ExposureKey = 0x2;

// What a real generator accepts; other values are corrected when corrections are on.
constexpr double KvMin = 40.0;
constexpr double KvMax = 150.0;
constexpr double MaMin = 1.0;
constexpr double MaMax = 800.0;
constexpr double MsMin = 1.0;
constexpr double MsMax = 6000.0;
constexpr double MasStepsPerUnit = 10.0; // mAs to one decimal place

const QByteArray BreakState = QByteArrayLiteral("0000");
const QByteArray ErrorState = QByteArrayLiteral("0100");
const QByteArray PrepareAccepted = QByteArrayLiteral("41");
const QByteArray ExposureAccepted = QByteArrayLiteral("81");

QByteArray keyByte(int keys)
{
    return QByteArray("0") + char('0' + (keys & (PrepareKey | ExposureKey)));
}

bool isTerminator(char byte)
{
    return (byte & TerminatorBit) != 0;
}
} // namespace

TLKestrovanGeneratorSimulator::TLKestrovanGeneratorSimulator()
    : values{
        {"st", "0"},   {"qs", "0"},   {"rr", "0"},  {"fc", "1"}, {"dc", "01"}, {"em", "1"},    {"kv", "70"},
        {"ma", "200"}, {"ms", "100"}, {"as", "20"}, {"af", "0"}, {"ad", "0"},  {"vs", "V1.2"},
    }
{
}

TLKestrovanGeneratorSimulator::~TLKestrovanGeneratorSimulator()
{
    stop();
}

// --- life cycle ---------------------------------------------------------------------------

bool TLKestrovanGeneratorSimulator::start()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (running)
            return true;
    }
    // A hang-up ends the link thread by itself; it is joined here.
    if (linkThread.joinable())
        linkThread.join();
    pty.hangUp();
    if (!pty.open()) {
        std::lock_guard<std::mutex> lock(mutex);
        error = pty.errorString();
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex);
    running = true;
    stopRequested = false;
    hangUpRequested = false;
    path = pty.slavePath();
    error.clear();
    startTime = Clock::now();
    rxBuffer.clear();
    outgoing.clear();
    inFlight = InFlight();
    looseTerminators.clear();
    rawQueue.clear();
    linkThread = std::thread(&TLKestrovanGeneratorSimulator::runLink, this);
    return true;
}

void TLKestrovanGeneratorSimulator::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        sequenceStop = true;
        changed.notify_all();
    }
    {
        std::lock_guard<std::mutex> control(sequenceControl);
        if (sequenceThread.joinable())
            sequenceThread.join();
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopRequested = true;
    }
    if (linkThread.joinable())
        linkThread.join();
    pty.hangUp();
    std::lock_guard<std::mutex> lock(mutex);
    running = false;
    sequenceStop = false;
    outgoing.clear();
    inFlight = InFlight();
    changed.notify_all();
}

bool TLKestrovanGeneratorSimulator::isRunning() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return running;
}

QString TLKestrovanGeneratorSimulator::slavePath() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return path;
}

QString TLKestrovanGeneratorSimulator::errorString() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return error;
}

char TLKestrovanGeneratorSimulator::checkByte(const QByteArray &payload)
{
    char sum = 0;
    for (const char byte : payload)
        sum = static_cast<char>(sum ^ byte);
    return static_cast<char>(sum | TerminatorBit);
}

QByteArray TLKestrovanGeneratorSimulator::telegram(const QByteArray &payload)
{
    return payload + checkByte(payload);
}

// --- value store and generator state ------------------------------------------------------

void TLKestrovanGeneratorSimulator::setValue(const QByteArray &code, const QByteArray &value)
{
    std::lock_guard<std::mutex> lock(mutex);
    values.insert(code, value);
}

QByteArray TLKestrovanGeneratorSimulator::value(const QByteArray &code) const
{
    std::lock_guard<std::mutex> lock(mutex);
    return values.value(code);
}

int TLKestrovanGeneratorSimulator::status1() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return statusWord("st");
}

int TLKestrovanGeneratorSimulator::status2() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return statusWord("qs");
}

void TLKestrovanGeneratorSimulator::setCorrections(bool enabled)
{
    std::lock_guard<std::mutex> lock(mutex);
    corrections = enabled;
}

void TLKestrovanGeneratorSimulator::setPowerOnDelayMs(int ms)
{
    std::lock_guard<std::mutex> lock(mutex);
    powerOnDelayMs = ms;
}

void TLKestrovanGeneratorSimulator::setFocusReadyDelayMs(int ms)
{
    std::lock_guard<std::mutex> lock(mutex);
    focusReadyDelayMs = ms;
}

void TLKestrovanGeneratorSimulator::setDapEnabled(bool enabled)
{
    std::lock_guard<std::mutex> lock(mutex);
    const int word = statusWord("qs");
    setStatusWord("qs", enabled ? (word | DoseMeterBit) : (word & ~DoseMeterBit));
}

void TLKestrovanGeneratorSimulator::setVersion(const QByteArray &version)
{
    std::lock_guard<std::mutex> lock(mutex);
    values.insert("vs", version);
}

void TLKestrovanGeneratorSimulator::setPowered(bool on)
{
    std::lock_guard<std::mutex> lock(mutex);
    ++powerGeneration;
    timedEvents.clear();
    values.insert("on", on ? "1" : "0");
    const int word = statusWord("st");
    setStatusWord("st", on ? (word | PowerBit) : (word & ~(PowerBit | FocusReadyBit)));
}

void TLKestrovanGeneratorSimulator::injectError(const QByteArray &code)
{
    std::lock_guard<std::mutex> lock(mutex);
    raiseError(code);
}

int TLKestrovanGeneratorSimulator::statusWord(const QByteArray &code) const
{
    bool ok = false;
    const int word = values.value(code).toInt(&ok);
    return ok ? word : 0;
}

void TLKestrovanGeneratorSimulator::setStatusWord(const QByteArray &code, int value)
{
    values.insert(code, QByteArray::number(value));
}

void TLKestrovanGeneratorSimulator::raiseError(const QByteArray &code)
{
    values.insert("rr", code);
    setStatusWord("st", statusWord("st") ^ ErrorBit);
}

void TLKestrovanGeneratorSimulator::scheduleLocked(TimedAction action, int delayMs)
{
    const Clock::time_point now = Clock::now();
    timedEvents.push_back({now + std::chrono::milliseconds(std::max(0, delayMs)), action, powerGeneration});
    if (delayMs <= 0)
        fireDueEvents(now);
}

void TLKestrovanGeneratorSimulator::fireDueEvents(Clock::time_point now)
{
    auto due = [now](const TimedEvent &event) { return event.due <= now; };
    std::vector<TimedEvent> firing;
    std::copy_if(timedEvents.begin(), timedEvents.end(), std::back_inserter(firing), due);
    timedEvents.erase(std::remove_if(timedEvents.begin(), timedEvents.end(), due), timedEvents.end());
    for (const TimedEvent &event : firing) {
        // Switching off in the meantime cancels what switching on had started.
        if (event.generation != powerGeneration)
            continue;
        const int word = statusWord("st");
        if (event.action == TimedAction::PowerOn)
            setStatusWord("st", word | PowerBit);
        else if (word & PowerBit)
            setStatusWord("st", word | FocusReadyBit);
    }
}

// --- link thread --------------------------------------------------------------------------

void TLKestrovanGeneratorSimulator::runLink()
{
    for (;;) {
        std::vector<Burst> bursts;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (stopRequested || hangUpRequested)
                break;
            const Clock::time_point now = Clock::now();
            fireDueEvents(now);
            for (const QByteArray &raw : rawQueue)
                bursts.push_back({raw, 0, pacing});
            rawQueue.clear();
            serviceTransmission(now, bursts);
        }
        writeBursts(bursts);

        const QByteArray bytes = pty.read(LoopPollMs);
        if (bytes.isEmpty())
            continue;
        std::vector<Burst> answers;
        TranscriptEntry entry;
        std::function<void(const TranscriptEntry &)> handler;
        {
            std::lock_guard<std::mutex> lock(mutex);
            entry = record(Direction::FromDriver, bytes, Clock::now());
            handler = traceHandler;
            receiveBytes(bytes, answers);
        }
        if (handler)
            handler(entry);
        writeBursts(answers);
    }

    bool pulled = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        pulled = hangUpRequested;
    }
    if (pulled)
        pty.hangUp();
    std::lock_guard<std::mutex> lock(mutex);
    running = false;
    inFlight = InFlight();
    outgoing.clear();
    changed.notify_all();
}

void TLKestrovanGeneratorSimulator::writeBursts(const std::vector<Burst> &bursts)
{
    for (const Burst &burst : bursts) {
        // Recorded before the write: whatever the driver has read is in the transcript.
        TranscriptEntry entry;
        std::function<void(const TranscriptEntry &)> handler;
        {
            std::lock_guard<std::mutex> lock(mutex);
            entry = record(Direction::ToDriver, burst.bytes, Clock::now());
            handler = traceHandler;
        }
        if (burst.paced) {
            for (const char byte : burst.bytes) {
                pty.write(QByteArray(1, byte));
                std::this_thread::sleep_for(std::chrono::microseconds(PacingMicrosecondsPerByte));
            }
        } else {
            pty.write(burst.bytes);
        }
        if (handler)
            handler(entry);
        if (burst.gapAfterMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(burst.gapAfterMs));
    }
}

TLKestrovanGeneratorSimulator::TranscriptEntry
TLKestrovanGeneratorSimulator::record(Direction direction, const QByteArray &bytes, Clock::time_point at)
{
    TranscriptEntry entry;
    entry.elapsedUs = std::chrono::duration_cast<std::chrono::microseconds>(at - startTime).count();
    entry.direction = direction;
    entry.bytes = bytes;
    entries.append(entry);
    changed.notify_all();
    return entry;
}

void TLKestrovanGeneratorSimulator::serviceTransmission(Clock::time_point now, std::vector<Burst> &bursts)
{
    if (inFlight.active && now >= inFlight.nextWrite) {
        if (now - inFlight.firstWrite >= std::chrono::milliseconds(GiveUpMs)) {
            ++givenUp;
            if (inFlight.item.id == awaitedId)
                awaitedResult = false;
            inFlight = InFlight();
            changed.notify_all();
        } else {
            bursts.push_back({inFlight.item.telegram, 0, pacing});
            inFlight.terminatorsWritten.append(inFlight.item.telegram.back());
            inFlight.nextWrite = now + std::chrono::milliseconds(RepeatIntervalMs);
            ++repeats;
        }
    }
    if (inFlight.active || outgoing.empty() || outgoing.front().notBefore > now)
        return;

    inFlight = InFlight();
    inFlight.active = true;
    inFlight.item = outgoing.front();
    outgoing.pop_front();
    inFlight.firstWrite = now;
    inFlight.nextWrite = now + std::chrono::milliseconds(RepeatIntervalMs);

    QByteArray bytes = inFlight.item.telegram;
    if (corruptNext) {
        bytes[bytes.size() - 1] = char(bytes.back() ^ 0x01);
        corruptNext = false;
    }
    inFlight.terminatorsWritten.append(bytes.back());
    if (bytes.startsWith("xy"))
        statesSent.append(bytes.mid(2, bytes.size() - 3));

    if (splitGapMs >= 0 && bytes.size() > 1) {
        const int half = bytes.size() / 2;
        bursts.push_back({bytes.left(half), splitGapMs, pacing});
        bursts.push_back({bytes.mid(half), 0, pacing});
        // The repeat clock runs from the end of the telegram.
        inFlight.nextWrite += std::chrono::milliseconds(splitGapMs);
        splitGapMs = -1;
    } else {
        bursts.push_back({bytes, 0, pacing});
    }
}

void TLKestrovanGeneratorSimulator::receiveBytes(const QByteArray &bytes, std::vector<Burst> &bursts)
{
    rxBuffer.append(bytes);
    for (;;) {
        const auto end = std::find_if(rxBuffer.cbegin(), rxBuffer.cend(), isTerminator);
        if (end == rxBuffer.cend())
            break;
        const int length = int(end - rxBuffer.cbegin()) + 1;
        const QByteArray piece = rxBuffer.left(length);
        rxBuffer.remove(0, length);
        handlePiece(piece, bursts);
    }
    if (rxBuffer.size() > MaxPendingBytes) {
        ++badChecks;
        rxBuffer.clear();
    }
}

void TLKestrovanGeneratorSimulator::handlePiece(const QByteArray &piece, std::vector<Burst> &bursts)
{
    if (piece.size() == 1) {
        handleAcknowledgement(piece.front());
        return;
    }
    const QByteArray payload = piece.left(piece.size() - 1);
    if (checkByte(payload) != piece.back()) {
        ++badChecks;
        return;
    }
    driverTelegrams.append(piece);
    changed.notify_all();

    if (dropAcks != 0 || Clock::now() < dropAcksUntil) {
        // As if the telegram had been lost on its way in: no echo and no effect.
        if (dropAcks > 0)
            --dropAcks;
        ++droppedAcks;
        return;
    }

    const QByteArray echo(1, piece.back());
    if (injection) {
        const QByteArray injected = telegram(injection->payload);
        looseTerminators.append(injected.back());
        if (injected.startsWith("xy"))
            statesSent.append(injection->payload.mid(2));
        if (injection->gapMs < 0) {
            bursts.push_back({injected + echo, 0, pacing});
        } else {
            bursts.push_back({injected, injection->gapMs, pacing});
            bursts.push_back({echo, 0, pacing});
        }
        injection.reset();
    } else {
        bursts.push_back({echo, 0, pacing});
    }
    handleTelegram(payload);
}

void TLKestrovanGeneratorSimulator::handleAcknowledgement(char byte)
{
    if (inFlight.active && inFlight.terminatorsWritten.contains(byte)) {
        ++acksReceived;
        if (inFlight.item.id == awaitedId)
            awaitedResult = true;
        inFlight = InFlight();
        changed.notify_all();
        return;
    }
    const int loose = looseTerminators.indexOf(byte);
    if (loose >= 0) {
        looseTerminators.remove(loose, 1);
        ++acksReceived;
    }
    // Any other lone byte is noise; the transcript keeps it.
}

void TLKestrovanGeneratorSimulator::handleTelegram(const QByteArray &payload)
{
    if (payload.size() < 2)
        return; // no two-letter code: nothing to do
    const QByteArray code = payload.left(2);
    const QByteArray value = payload.mid(2);
    if (value == "?")
        enqueue(code + answerFor(code), replyDelayMs);
    else
        applyCommand(code, value);
}

QByteArray TLKestrovanGeneratorSimulator::answerFor(const QByteArray &code)
{
    if (code == "xg" && doseZeroLeft > 0) {
        --doseZeroLeft;
        return "0";
    }
    return values.value(code);
}

void TLKestrovanGeneratorSimulator::applyCommand(const QByteArray &code, const QByteArray &value)
{
    if (code == "on") {
        values.insert(code, value);
        if (value == "1") {
            scheduleLocked(TimedAction::PowerOn, powerOnDelayMs);
        } else if (value == "0") {
            ++powerGeneration;
            timedEvents.clear();
            setStatusWord("st", statusWord("st") & ~(PowerBit | FocusReadyBit));
        }
    } else if (code == "rs") {
        values.insert(code, value);
        values.insert("rr", "0");
        const int word = statusWord("st") & ~ErrorBit;
        setStatusWord("st", word);
        if (word & PowerBit)
            scheduleLocked(TimedAction::FocusReady, focusReadyDelayMs);
    } else if (code == "xr") {
        values.insert(code, value);
        releasesReceived.append(value);
        changed.notify_all();
    } else {
        values.insert(code, corrected(code, value));
    }
}

QByteArray TLKestrovanGeneratorSimulator::corrected(const QByteArray &code, const QByteArray &value) const
{
    if (!corrections)
        return value;
    bool ok = false;
    const double given = value.toDouble(&ok);
    if (!ok)
        return value;
    double result = given;
    if (code == "kv")
        result = std::clamp(given, KvMin, KvMax);
    else if (code == "ma")
        result = std::clamp(given, MaMin, MaMax);
    else if (code == "ms")
        result = std::clamp(given, MsMin, MsMax);
    else if (code == "as")
        result = std::round(given * MasStepsPerUnit) / MasStepsPerUnit;
    if (result == given)
        return value;
    return QByteArray::number(result, 'g', 6);
}

quint64 TLKestrovanGeneratorSimulator::enqueue(const QByteArray &payload, int delayMs)
{
    Outgoing item;
    item.telegram = telegram(payload);
    item.id = ++lastId;
    item.notBefore = Clock::now() + std::chrono::milliseconds(std::max(0, delayMs));
    outgoing.push_back(item);
    return item.id;
}

// --- exposure sequence --------------------------------------------------------------------

bool TLKestrovanGeneratorSimulator::pressPrepare()
{
    return startSequence(PrepareKey, false);
}

bool TLKestrovanGeneratorSimulator::pressExposure()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (sequenceRunning) {
            keys = PrepareKey | ExposureKey;
            changed.notify_all();
            return true;
        }
    }
    return startSequence(PrepareKey | ExposureKey, false);
}

bool TLKestrovanGeneratorSimulator::runExposure()
{
    return startSequence(PrepareKey | ExposureKey, true);
}

void TLKestrovanGeneratorSimulator::releaseKeys()
{
    std::lock_guard<std::mutex> lock(mutex);
    keys = 0;
    changed.notify_all();
}

void TLKestrovanGeneratorSimulator::abortExposure()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (sequenceRunning) {
        sequenceCommand = SequenceCommand::Abort;
        changed.notify_all();
    } else {
        enqueue("xy" + BreakState);
    }
}

void TLKestrovanGeneratorSimulator::failExposure(const QByteArray &errorCode)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (sequenceRunning) {
        sequenceCommand = SequenceCommand::Fail;
        sequenceErrorCode = errorCode;
        changed.notify_all();
    } else {
        raiseError(errorCode);
        enqueue("xy" + ErrorState);
    }
}

bool TLKestrovanGeneratorSimulator::startSequence(int pressedKeys, bool autoRelease)
{
    std::lock_guard<std::mutex> control(sequenceControl);
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!running || sequenceRunning)
            return false;
    }
    // The previous sequence has ended; its thread only has to be collected.
    if (sequenceThread.joinable())
        sequenceThread.join();
    std::lock_guard<std::mutex> lock(mutex);
    if (!running || sequenceRunning)
        return false;
    sequenceRunning = true;
    sequenceStarted = true;
    sequenceFinishing = false;
    sequenceCommand = SequenceCommand::None;
    keys = pressedKeys;
    exposureOn = false;
    statesSent.clear();
    releasesReceived.clear();
    outcome = ExposureOutcome::Running;
    sequenceThread = std::thread(&TLKestrovanGeneratorSimulator::runSequence, this, autoRelease);
    return true;
}

void TLKestrovanGeneratorSimulator::runSequence(bool autoRelease)
{
    std::unique_lock<std::mutex> lock(mutex);
    const Step step = sequenceSteps(lock, autoRelease);
    outcome = finishSequence(lock, step);
    exposureOn = false;
    sequenceRunning = false;
    changed.notify_all();
}

TLKestrovanGeneratorSimulator::Step
TLKestrovanGeneratorSimulator::sequenceSteps(std::unique_lock<std::mutex> &lock, bool autoRelease)
{
    auto pause = [&]() {
        if (stepDelayMs <= 0)
            return Step::Ok;
        const Step step =
            waitUntil(lock, Clock::now() + std::chrono::milliseconds(stepDelayMs), [] { return false; });
        return step == Step::TimedOut ? Step::Ok : step;
    };
    auto states = [&](std::initializer_list<const char *> list) {
        for (const char *state : list) {
            Step step = pause();
            if (step == Step::Ok)
                step = sendState(lock, state);
            if (step != Step::Ok)
                return step;
        }
        return Step::Ok;
    };
    auto release = [&](const QByteArray &answer) {
        return waitUntil(lock, Clock::now() + std::chrono::milliseconds(releaseTimeoutMs),
                         [&] { return releasesReceived.contains(answer); });
    };

    // Prepare: rotor and filament, with the driver's consent.
    Step step = sendState(lock, "0A01");
    if (step == Step::Ok)
        step = release(PrepareAccepted);
    if (step == Step::Ok)
        step = states({"0C01", "0D01", "0E01"});
    if (step == Step::Ok)
        step = waitUntil(lock, std::nullopt, [&] { return (keys & ExposureKey) != 0; });
    // Exposure, again with the driver's consent.
    if (step == Step::Ok)
        step = states({"0E03", "1003"});
    if (step == Step::Ok)
        step = release(ExposureAccepted);
    if (step == Step::Ok)
        step = states({"1103"});
    if (step != Step::Ok)
        return step;

    exposureOn = true; // from here letting the keys go ends the exposure early
    step = states({"1203"});
    if (step != Step::Ok)
        return step;
    step = waitUntil(lock, Clock::now() + std::chrono::milliseconds(exposureDurationMs),
                     [&] { return keys == 0; });
    if (step != Step::Ok && step != Step::TimedOut)
        return step;
    storeLastExposureValues();
    if (autoRelease)
        keys = 0;
    return sendState(lock, "14" + keyByte(keys));
}

TLKestrovanGeneratorSimulator::ExposureOutcome
TLKestrovanGeneratorSimulator::finishSequence(std::unique_lock<std::mutex> &lock, Step step)
{
    // The closing state is delivered like any other; only a stop or a lost line ends it.
    sequenceFinishing = true;
    auto close = [&](const QByteArray &state, ExposureOutcome result) {
        purgeQueuedStates();
        const Step sent = sendState(lock, state);
        if (sent == Step::Stop)
            return ExposureOutcome::Stopped;
        return sent == Step::Ok ? result : ExposureOutcome::LinkLost;
    };
    switch (step) {
    case Step::Ok:
        return ExposureOutcome::Completed;
    case Step::TimedOut:
        return close(BreakState, ExposureOutcome::NotReleased);
    case Step::KeysReleased:
        return close(BreakState, ExposureOutcome::KeysReleased);
    case Step::Abort:
        return close(BreakState, ExposureOutcome::Aborted);
    case Step::Fail:
        raiseError(sequenceErrorCode);
        return close(ErrorState, ExposureOutcome::Failed);
    case Step::Stop:
        return ExposureOutcome::Stopped;
    case Step::LinkLost:
        break;
    }
    return ExposureOutcome::LinkLost;
}

TLKestrovanGeneratorSimulator::Step
TLKestrovanGeneratorSimulator::sendState(std::unique_lock<std::mutex> &lock, const QByteArray &state)
{
    Step step = interruption();
    if (step != Step::Ok)
        return step;
    releasesReceived.clear();
    awaitedResult.reset();
    awaitedId = enqueue("xy" + state);
    step = waitUntil(lock, std::nullopt, [&] { return awaitedResult.has_value(); });
    if (step != Step::Ok)
        return step;
    return *awaitedResult ? Step::Ok : Step::LinkLost;
}

TLKestrovanGeneratorSimulator::Step
TLKestrovanGeneratorSimulator::waitUntil(std::unique_lock<std::mutex> &lock,
                                         std::optional<Clock::time_point> deadline,
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

TLKestrovanGeneratorSimulator::Step TLKestrovanGeneratorSimulator::interruption() const
{
    if (sequenceStop || stopRequested)
        return Step::Stop;
    if (!running)
        return Step::LinkLost;
    if (sequenceFinishing)
        return Step::Ok;
    if (sequenceCommand == SequenceCommand::Abort)
        return Step::Abort;
    if (sequenceCommand == SequenceCommand::Fail)
        return Step::Fail;
    if (!exposureOn && keys == 0)
        return Step::KeysReleased;
    return Step::Ok;
}

void TLKestrovanGeneratorSimulator::purgeQueuedStates()
{
    outgoing.erase(std::remove_if(outgoing.begin(), outgoing.end(),
                                  [](const Outgoing &item) { return item.telegram.startsWith("xy"); }),
                   outgoing.end());
}

void TLKestrovanGeneratorSimulator::storeLastExposureValues()
{
    LastExposure last;
    if (lastExposureOverride) {
        last = *lastExposureOverride;
    } else {
        bool ok = false;
        const double ms = values.value("ms").toDouble(&ok);
        last.kv = values.value("kv");
        last.mas = values.value("as");
        last.ma = values.value("ma");
        // The generator reports the exposure time in half milliseconds.
        last.xs = ok ? QByteArray::number(2.0 * ms, 'g', 6) : QByteArray("0");
        last.dose = exposureDose;
    }
    values.insert("xv", last.kv);
    values.insert("xa", last.mas);
    values.insert("xm", last.ma);
    values.insert("xs", last.xs);
    values.insert("xg", last.dose);
    doseZeroLeft = doseZeroQueries;
}

void TLKestrovanGeneratorSimulator::setReleaseTimeoutMs(int ms)
{
    std::lock_guard<std::mutex> lock(mutex);
    releaseTimeoutMs = ms;
}

void TLKestrovanGeneratorSimulator::setStepDelayMs(int ms)
{
    std::lock_guard<std::mutex> lock(mutex);
    stepDelayMs = ms;
}

void TLKestrovanGeneratorSimulator::setExposureDurationMs(int ms)
{
    std::lock_guard<std::mutex> lock(mutex);
    exposureDurationMs = ms;
}

void TLKestrovanGeneratorSimulator::setExposureDose(const QByteArray &dose)
{
    std::lock_guard<std::mutex> lock(mutex);
    exposureDose = dose;
}

void TLKestrovanGeneratorSimulator::setLastExposure(const QByteArray &kv, const QByteArray &mas,
                                                    const QByteArray &ma, const QByteArray &xs,
                                                    const QByteArray &dose)
{
    std::lock_guard<std::mutex> lock(mutex);
    lastExposureOverride = LastExposure{kv, mas, ma, xs, dose};
    values.insert("xv", kv);
    values.insert("xa", mas);
    values.insert("xm", ma);
    values.insert("xs", xs);
    values.insert("xg", dose);
}

void TLKestrovanGeneratorSimulator::clearLastExposure()
{
    std::lock_guard<std::mutex> lock(mutex);
    lastExposureOverride.reset();
}

void TLKestrovanGeneratorSimulator::setDoseZeroQueries(int n)
{
    std::lock_guard<std::mutex> lock(mutex);
    doseZeroQueries = std::max(0, n);
    doseZeroLeft = doseZeroQueries;
}

bool TLKestrovanGeneratorSimulator::exposureDone() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return sequenceStarted && !sequenceRunning;
}

bool TLKestrovanGeneratorSimulator::waitForExposureDone(int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !sequenceRunning; });
    return sequenceStarted && !sequenceRunning;
}

TLKestrovanGeneratorSimulator::ExposureOutcome TLKestrovanGeneratorSimulator::exposureOutcome() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return outcome;
}

QList<QByteArray> TLKestrovanGeneratorSimulator::exposureStates() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return statesSent;
}

// --- faults of the line -------------------------------------------------------------------

void TLKestrovanGeneratorSimulator::dropAcknowledgements(int n)
{
    std::lock_guard<std::mutex> lock(mutex);
    dropAcks = n;
}

void TLKestrovanGeneratorSimulator::dropAcknowledgementsFor(int ms)
{
    std::lock_guard<std::mutex> lock(mutex);
    dropAcksUntil = Clock::now() + std::chrono::milliseconds(ms);
}

void TLKestrovanGeneratorSimulator::corruptNextReply()
{
    std::lock_guard<std::mutex> lock(mutex);
    corruptNext = true;
}

void TLKestrovanGeneratorSimulator::setReplyDelayMs(int ms)
{
    std::lock_guard<std::mutex> lock(mutex);
    replyDelayMs = ms;
}

void TLKestrovanGeneratorSimulator::splitNextReply(int gapMs)
{
    std::lock_guard<std::mutex> lock(mutex);
    splitGapMs = std::max(0, gapMs);
}

void TLKestrovanGeneratorSimulator::injectInAckWindow(const QByteArray &payload)
{
    std::lock_guard<std::mutex> lock(mutex);
    injection = Injection{payload, -1};
}

void TLKestrovanGeneratorSimulator::injectBeforeAck(const QByteArray &payload, int gapMs)
{
    std::lock_guard<std::mutex> lock(mutex);
    injection = Injection{payload, std::max(0, gapMs)};
}

void TLKestrovanGeneratorSimulator::sendRaw(const QByteArray &bytes)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (running)
        rawQueue.push_back(bytes);
}

void TLKestrovanGeneratorSimulator::sendTelegram(const QByteArray &payload)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (running)
        enqueue(payload);
}

void TLKestrovanGeneratorSimulator::hangUp()
{
    std::lock_guard<std::mutex> lock(mutex);
    hangUpRequested = true;
    changed.notify_all();
}

void TLKestrovanGeneratorSimulator::setPacing(bool enabled)
{
    std::lock_guard<std::mutex> lock(mutex);
    pacing = enabled;
}

// --- observation --------------------------------------------------------------------------

QList<TLKestrovanGeneratorSimulator::TranscriptEntry> TLKestrovanGeneratorSimulator::transcript() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return entries;
}

QByteArray TLKestrovanGeneratorSimulator::bytesFromDriver() const
{
    std::lock_guard<std::mutex> lock(mutex);
    QByteArray bytes;
    for (const TranscriptEntry &entry : entries)
        if (entry.direction == Direction::FromDriver)
            bytes += entry.bytes;
    return bytes;
}

QByteArray TLKestrovanGeneratorSimulator::bytesToDriver() const
{
    std::lock_guard<std::mutex> lock(mutex);
    QByteArray bytes;
    for (const TranscriptEntry &entry : entries)
        if (entry.direction == Direction::ToDriver)
            bytes += entry.bytes;
    return bytes;
}

QList<QByteArray> TLKestrovanGeneratorSimulator::telegramsFromDriver() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return driverTelegrams;
}

void TLKestrovanGeneratorSimulator::clearTranscript()
{
    std::lock_guard<std::mutex> lock(mutex);
    entries.clear();
    driverTelegrams.clear();
    statesSent.clear();
}

bool TLKestrovanGeneratorSimulator::waitForTelegramFromDriver(const QByteArray &payload, int timeoutMs) const
{
    const QByteArray wanted = telegram(payload);
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [&] { return driverTelegrams.contains(wanted); });
}

int TLKestrovanGeneratorSimulator::countTelegramsFromDriver(const QByteArray &payload) const
{
    const QByteArray wanted = telegram(payload);
    std::lock_guard<std::mutex> lock(mutex);
    return int(driverTelegrams.count(wanted));
}

int TLKestrovanGeneratorSimulator::badCheckBytes() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return badChecks;
}

int TLKestrovanGeneratorSimulator::droppedAcknowledgements() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return droppedAcks;
}

int TLKestrovanGeneratorSimulator::acknowledgementsReceived() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return acksReceived;
}

int TLKestrovanGeneratorSimulator::repeatedWrites() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return repeats;
}

int TLKestrovanGeneratorSimulator::givenUpTelegrams() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return givenUp;
}

int TLKestrovanGeneratorSimulator::pendingTelegrams() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return int(outgoing.size()) + (inFlight.active ? 1 : 0);
}

bool TLKestrovanGeneratorSimulator::waitForIdle(int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [this] { return outgoing.empty() && !inFlight.active; });
}

void TLKestrovanGeneratorSimulator::setTraceHandler(std::function<void(const TranscriptEntry &)> handler)
{
    std::lock_guard<std::mutex> lock(mutex);
    traceHandler = std::move(handler);
}
