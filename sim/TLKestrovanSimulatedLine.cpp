#include "TLKestrovanSimulatedLine.h"

#include <algorithm>

#include <pthread.h>

namespace {
// The link thread looks at the line, its clocks and the callers' requests this often.
constexpr int LoopPollMs = 5;
// Bytes without a terminator are dropped beyond this (a telegram is at most 31 bytes).
constexpr int MaxPendingBytes = 256;

// A flood at line rate: one byte's time on the line. A link thread that was held up makes up
// for at most this much lost time at once, so the line never carries much more than its rate.
constexpr std::chrono::nanoseconds LineTimePerByte(1000000000
                                                   / TLKestrovanSimulatedLine::LineRateBytesPerSecond);
constexpr std::chrono::milliseconds FloodCatchUp(5);
// Flood telegram values wrap here, so that the telegrams stay short.
constexpr int FloodValueLimit = 100000;
// A noise piece or a run of unterminated bytes is at most this long (a telegram's 31 bytes).
constexpr int MaxFloodPieceBytes = 31;
// Echoes of flood telegrams that may still come are remembered up to this many (a driver that
// echoes only once a flood is over: minutes of it).
constexpr int MaxFloodEchoesAwaited = 65536;
// A flood at terminal speed offers this many bytes per pass, and waits this long when the
// terminal took less.
constexpr int FullSpeedChunkBytes = 16384;
constexpr int FullSpeedRetryMs = 1;
constexpr quint64 FloodSeed = 0x4b5354524f56414eULL;

bool isTerminator(char byte)
{
    return (byte & TLKestrovanSimulatedLine::TerminatorBit) != 0;
}
} // namespace

TLKestrovanSimulatedLine::TLKestrovanSimulatedLine(std::mutex &mutex, std::condition_variable &changed,
                                                   TelegramHandler onTelegram, TickHandler onTick)
    : mutex(mutex), changed(changed), onTelegram(std::move(onTelegram)), onTick(std::move(onTick))
{
}

TLKestrovanSimulatedLine::~TLKestrovanSimulatedLine()
{
    stop();
}

// --- life cycle ---------------------------------------------------------------------------

bool TLKestrovanSimulatedLine::start()
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
    startWallClock = std::chrono::system_clock::now();
    rxBuffer.clear();
    outgoing.clear();
    inFlight = InFlight();
    looseTerminators.clear();
    rawQueue.clear();
    // A fresh line starts quiet.
    floodKind = Flood::Off;
    floodRandom = FloodSeed;
    floodTerminators.clear();
    linkThread = std::thread(&TLKestrovanSimulatedLine::runLink, this);
    return true;
}

void TLKestrovanSimulatedLine::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopRequested = true;
    }
    if (linkThread.joinable())
        linkThread.join();
    pty.hangUp();
    std::lock_guard<std::mutex> lock(mutex);
    running = false;
    outgoing.clear();
    inFlight = InFlight();
    changed.notify_all();
}

bool TLKestrovanSimulatedLine::isRunning() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return running;
}

QString TLKestrovanSimulatedLine::slavePath() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return path;
}

QString TLKestrovanSimulatedLine::errorString() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return error;
}

char TLKestrovanSimulatedLine::checkByte(const QByteArray &payload)
{
    char sum = 0;
    for (const char byte : payload)
        sum = static_cast<char>(sum ^ byte);
    return static_cast<char>(sum | TerminatorBit);
}

QByteArray TLKestrovanSimulatedLine::telegram(const QByteArray &payload)
{
    return payload + checkByte(payload);
}

// --- link thread --------------------------------------------------------------------------

void TLKestrovanSimulatedLine::runLink()
{
    ::pthread_setname_np(::pthread_self(), (QByteArray(ThreadNamePrefix) + "Line").constData());
    for (;;) {
        std::vector<Burst> bursts;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (stopRequested || hangUpRequested)
                break;
            const Clock::time_point now = Clock::now();
            onTick(now);
            for (const QByteArray &raw : rawQueue)
                bursts.push_back({raw, 0, pacing});
            rawQueue.clear();
            serviceTransmission(now, bursts);
        }
        writeBursts(bursts);
        const int waitMs = writeFlood();

        const QByteArray bytes = pty.read(waitMs);
        if (bytes.isEmpty())
            continue;
        std::vector<Burst> answers;
        TranscriptEntry entry;
        TraceHandler handler;
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

void TLKestrovanSimulatedLine::writeBursts(const std::vector<Burst> &bursts)
{
    for (const Burst &burst : bursts) {
        // Recorded before the write: whatever the driver has read is in the transcript.
        TranscriptEntry entry;
        TraceHandler handler;
        {
            std::lock_guard<std::mutex> lock(mutex);
            const Clock::time_point now = Clock::now();
            entry = record(Direction::ToDriver, burst.bytes, now);
            handler = traceHandler;
            // A flood waits while the generator's own bytes are on the line.
            lineFreeAt = std::max(lineFreeAt, now) + LineTimePerByte * burst.bytes.size();
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

TLKestrovanSimulatedLine::TranscriptEntry
TLKestrovanSimulatedLine::record(Direction direction, const QByteArray &bytes, Clock::time_point at)
{
    TranscriptEntry entry;
    entry.elapsedUs = std::chrono::duration_cast<std::chrono::microseconds>(at - startTime).count();
    entry.wallClockUs =
        std::chrono::duration_cast<std::chrono::microseconds>(startWallClock.time_since_epoch()).count()
        + entry.elapsedUs;
    entry.direction = direction;
    entry.bytes = bytes;
    if (recording)
        entries.append(entry);
    changed.notify_all();
    return entry;
}

int TLKestrovanSimulatedLine::writeFlood()
{
    QByteArray bytes;
    int waitMs = LoopPollMs;
    bool fullSpeed = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (floodKind == Flood::Off)
            return LoopPollMs;
        fullSpeed = floodKind == Flood::FullSpeed;
        if (fullSpeed) {
            bytes.resize(FullSpeedChunkBytes);
            for (int i = 0; i < bytes.size(); i += int(sizeof(quint64))) {
                const quint64 random = nextRandomLocked();
                std::copy_n(reinterpret_cast<const char *>(&random), sizeof random, bytes.data() + i);
            }
        } else {
            bytes = lineRateFloodLocked(Clock::now(), &waitMs);
        }
    }
    if (!fullSpeed) {
        // Whole pieces in one write, so that nothing of the generator's own lands inside one.
        if (!bytes.isEmpty())
            pty.write(bytes);
        return waitMs;
    }
    const qint64 taken = pty.writeSome(bytes);
    std::lock_guard<std::mutex> lock(mutex);
    floodCounted.bytes += std::max<qint64>(0, taken);
    return taken == bytes.size() ? 0 : FullSpeedRetryMs;
}

QByteArray TLKestrovanSimulatedLine::lineRateFloodLocked(Clock::time_point now, int *waitMs)
{
    lineFreeAt = std::max(lineFreeAt, now - FloodCatchUp);
    QByteArray bytes;
    while (lineFreeAt <= now) {
        const QByteArray piece = nextFloodPieceLocked();
        bytes += piece;
        lineFreeAt += LineTimePerByte * piece.size();
    }
    floodCounted.bytes += bytes.size();
    const auto untilFree = std::chrono::duration_cast<std::chrono::milliseconds>(lineFreeAt - now).count();
    *waitMs = int(std::clamp<qint64>(untilFree, 1, LoopPollMs));
    return bytes;
}

QByteArray TLKestrovanSimulatedLine::nextFloodPieceLocked()
{
    static const QByteArray Codes[] = {QByteArrayLiteral("xb"), QByteArrayLiteral("xc"),
                                       QByteArrayLiteral("ac")};
    QByteArray piece;
    switch (floodKind) {
    case Flood::Telegrams:
        // Its echo must not pass for the echo of an own telegram on its way.
        do {
            piece = telegram(Codes[floodCounter % 3] + QByteArray::number(floodCounter % FloodValueLimit));
            ++floodCounter;
        } while (isOwnTerminatorLocked(piece.back()));
        floodTerminators.append(piece.back());
        if (floodTerminators.size() > MaxFloodEchoesAwaited)
            floodTerminators.remove(0, floodTerminators.size() - MaxFloodEchoesAwaited);
        ++floodCounted.telegrams;
        break;
    case Flood::Noise:
        do {
            piece += char(nextRandomLocked());
        } while (!isTerminator(piece.back()) && piece.size() < MaxFloodPieceBytes);
        piece.back() = char(piece.back() | TerminatorBit);
        // Noise that happens to make a good telegram is spoiled: it stays noise.
        if (piece.size() > 1 && checkByte(piece.chopped(1)) == piece.back())
            piece.back() = char(piece.back() ^ 0x01);
        break;
    case Flood::Unterminated:
        piece.resize(1 + int(nextRandomLocked() % MaxFloodPieceBytes));
        for (char &byte : piece)
            byte = char(nextRandomLocked() & 0x7F);
        break;
    case Flood::Off:
    case Flood::FullSpeed:
        break;
    }
    return piece;
}

bool TLKestrovanSimulatedLine::isOwnTerminatorLocked(char byte) const
{
    if (inFlight.active && inFlight.terminatorsWritten.contains(byte))
        return true;
    return std::any_of(outgoing.begin(), outgoing.end(),
                       [byte](const Outgoing &item) { return item.telegram.back() == byte; });
}

quint64 TLKestrovanSimulatedLine::nextRandomLocked()
{
    // splitmix64: fast, and the same flood on every run.
    quint64 z = (floodRandom += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

void TLKestrovanSimulatedLine::serviceTransmission(Clock::time_point now, std::vector<Burst> &bursts)
{
    if (inFlight.active && now >= inFlight.nextWrite) {
        if (now - inFlight.firstWrite >= std::chrono::milliseconds(GiveUpMs)) {
            ++givenUp;
            if (inFlight.item.id == awaitedId)
                awaitedResult = false;
            inFlight = InFlight();
            changed.notify_all();
        } else {
            QByteArray bytes = inFlight.item.telegram;
            if (inFlight.damagedEveryWrite)
                bytes.back() = char(bytes.back() ^ 0x01);
            inFlight.terminatorsWritten.append(bytes.back());
            inFlight.nextWrite = now + std::chrono::milliseconds(RepeatIntervalMs);
            ++repeats;
            writeOwn(bytes, false, bursts);
        }
    }
    if (inFlight.active)
        return;
    // A delayed answer does not hold up those behind it that are due.
    const auto due = std::find_if(outgoing.begin(), outgoing.end(),
                                  [now](const Outgoing &item) { return item.notBefore <= now; });
    if (due == outgoing.end())
        return;

    inFlight = InFlight();
    inFlight.active = true;
    inFlight.item = *due;
    outgoing.erase(due);
    inFlight.firstWrite = now;
    inFlight.nextWrite = now + std::chrono::milliseconds(RepeatIntervalMs);

    QByteArray bytes = inFlight.item.telegram;
    if (corruption && bytes.startsWith(corruption->prefix)) {
        bytes.back() = char(bytes.back() ^ 0x01);
        inFlight.damagedEveryWrite = corruption->damage == Damage::EveryWrite;
        corruption.reset();
    }
    inFlight.terminatorsWritten.append(bytes.back());
    if (bytes.startsWith("xy"))
        statesSent.append(bytes.mid(2, bytes.size() - 3));
    writeOwn(bytes, true, bursts);
}

void TLKestrovanSimulatedLine::writeOwn(const QByteArray &bytes, bool firstWrite, std::vector<Burst> &bursts)
{
    if (!split || !(firstWrite || split->every) || !bytes.startsWith(split->prefix) || bytes.size() < 2) {
        bursts.push_back({bytes, 0, pacing});
        return;
    }
    const int at = split->after < 1 ? bytes.size() / 2 : std::min(split->after, bytes.size() - 1);
    bursts.push_back({bytes.left(at), split->gapMs, pacing});
    bursts.push_back({bytes.mid(at), 0, pacing});
    // The repeat clock runs from the end of the telegram.
    inFlight.nextWrite += std::chrono::milliseconds(split->gapMs);
    if (!split->every)
        split.reset();
}

void TLKestrovanSimulatedLine::receiveBytes(const QByteArray &bytes, std::vector<Burst> &bursts)
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

void TLKestrovanSimulatedLine::handlePiece(const QByteArray &piece, std::vector<Burst> &bursts)
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
    onTelegram(payload);
}

void TLKestrovanSimulatedLine::handleAcknowledgement(char byte)
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
        return;
    }
    const int flooded = floodTerminators.indexOf(byte);
    if (flooded >= 0) {
        floodTerminators.remove(flooded, 1);
        ++floodCounted.echoes;
    }
    // Any other lone byte is noise; the transcript keeps it.
}

quint64 TLKestrovanSimulatedLine::enqueue(const QByteArray &payload, int delayMs)
{
    Outgoing item;
    item.telegram = telegram(payload);
    item.id = ++lastId;
    item.notBefore = Clock::now() + std::chrono::milliseconds(std::max(0, delayMs));
    outgoing.push_back(item);
    return item.id;
}

void TLKestrovanSimulatedLine::sendWatchedLocked(const QByteArray &payload)
{
    awaitedResult.reset();
    awaitedId = enqueue(payload);
}

void TLKestrovanSimulatedLine::withdrawQueuedLocked(const QByteArray &prefix)
{
    outgoing.erase(std::remove_if(outgoing.begin(), outgoing.end(),
                                  [&](const Outgoing &item) { return item.telegram.startsWith(prefix); }),
                   outgoing.end());
}

// --- faults -------------------------------------------------------------------------------

void TLKestrovanSimulatedLine::dropAcknowledgements(int n)
{
    std::lock_guard<std::mutex> lock(mutex);
    dropAcks = n;
}

void TLKestrovanSimulatedLine::dropAcknowledgementsFor(int ms)
{
    std::lock_guard<std::mutex> lock(mutex);
    dropAcksUntil = Clock::now() + std::chrono::milliseconds(ms);
}

void TLKestrovanSimulatedLine::corruptNextReply()
{
    corruptNextTelegram();
}

void TLKestrovanSimulatedLine::corruptNextTelegram(const QByteArray &prefix, Damage damage)
{
    std::lock_guard<std::mutex> lock(mutex);
    corruption = Corruption{prefix, damage};
}

void TLKestrovanSimulatedLine::setReplyDelayMs(int ms)
{
    std::lock_guard<std::mutex> lock(mutex);
    replyDelayMs = ms;
}

void TLKestrovanSimulatedLine::setReplyDelayMs(const QByteArray &code, int ms)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (ms < 0)
        codeReplyDelayMs.remove(code);
    else
        codeReplyDelayMs.insert(code, ms);
}

void TLKestrovanSimulatedLine::splitNextReply(int gapMs)
{
    splitTelegrams(std::max(0, gapMs));
}

void TLKestrovanSimulatedLine::splitTelegrams(int gapMs, const QByteArray &prefix, int splitAfter, bool every)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (gapMs < 0)
        split.reset();
    else
        split = Split{gapMs, prefix, splitAfter, every};
}

void TLKestrovanSimulatedLine::setFlood(Flood kind)
{
    std::lock_guard<std::mutex> lock(mutex);
    floodKind = kind;
}

void TLKestrovanSimulatedLine::injectInAckWindow(const QByteArray &payload)
{
    std::lock_guard<std::mutex> lock(mutex);
    injection = Injection{payload, -1};
}

void TLKestrovanSimulatedLine::injectBeforeAck(const QByteArray &payload, int gapMs)
{
    std::lock_guard<std::mutex> lock(mutex);
    injection = Injection{payload, std::max(0, gapMs)};
}

void TLKestrovanSimulatedLine::sendRaw(const QByteArray &bytes)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (running)
        rawQueue.push_back(bytes);
}

void TLKestrovanSimulatedLine::sendTelegram(const QByteArray &payload)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (running)
        enqueue(payload);
}

void TLKestrovanSimulatedLine::hangUp()
{
    std::lock_guard<std::mutex> lock(mutex);
    hangUpRequested = true;
    changed.notify_all();
}

void TLKestrovanSimulatedLine::setPacing(bool enabled)
{
    std::lock_guard<std::mutex> lock(mutex);
    pacing = enabled;
}

// --- observation --------------------------------------------------------------------------

void TLKestrovanSimulatedLine::setRecording(bool on)
{
    std::lock_guard<std::mutex> lock(mutex);
    recording = on;
}

QList<TLKestrovanSimulatedLine::TranscriptEntry> TLKestrovanSimulatedLine::transcript() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return entries;
}

QByteArray TLKestrovanSimulatedLine::bytesIn(Direction direction) const
{
    std::lock_guard<std::mutex> lock(mutex);
    QByteArray bytes;
    for (const TranscriptEntry &entry : entries)
        if (entry.direction == direction)
            bytes += entry.bytes;
    return bytes;
}

QByteArray TLKestrovanSimulatedLine::bytesFromDriver() const
{
    return bytesIn(Direction::FromDriver);
}

QByteArray TLKestrovanSimulatedLine::bytesToDriver() const
{
    return bytesIn(Direction::ToDriver);
}

QList<QByteArray> TLKestrovanSimulatedLine::telegramsFromDriver() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return driverTelegrams;
}

QList<QByteArray> TLKestrovanSimulatedLine::exposureStates() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return statesSent;
}

void TLKestrovanSimulatedLine::clearTranscript()
{
    std::lock_guard<std::mutex> lock(mutex);
    entries.clear();
    driverTelegrams.clear();
    statesSent.clear();
}

bool TLKestrovanSimulatedLine::waitForTelegramFromDriver(const QByteArray &payload, int timeoutMs) const
{
    const QByteArray wanted = telegram(payload);
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [&] { return driverTelegrams.contains(wanted); });
}

int TLKestrovanSimulatedLine::countTelegramsFromDriver(const QByteArray &payload) const
{
    const QByteArray wanted = telegram(payload);
    std::lock_guard<std::mutex> lock(mutex);
    return int(driverTelegrams.count(wanted));
}

int TLKestrovanSimulatedLine::badCheckBytes() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return badChecks;
}

int TLKestrovanSimulatedLine::droppedAcknowledgements() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return droppedAcks;
}

int TLKestrovanSimulatedLine::acknowledgementsReceived() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return acksReceived;
}

int TLKestrovanSimulatedLine::repeatedWrites() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return repeats;
}

int TLKestrovanSimulatedLine::givenUpTelegrams() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return givenUp;
}

TLKestrovanSimulatedLine::Flood TLKestrovanSimulatedLine::flood() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return floodKind;
}

TLKestrovanSimulatedLine::FloodCounts TLKestrovanSimulatedLine::floodCounts() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return floodCounted;
}

int TLKestrovanSimulatedLine::pendingTelegrams() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return int(outgoing.size()) + (inFlight.active ? 1 : 0);
}

bool TLKestrovanSimulatedLine::waitForIdle(int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [this] { return outgoing.empty() && !inFlight.active; });
}

void TLKestrovanSimulatedLine::setTraceHandler(TraceHandler handler)
{
    std::lock_guard<std::mutex> lock(mutex);
    traceHandler = std::move(handler);
}
