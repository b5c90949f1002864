#include "TLKestrovanGeneratorSimulator.h"

#include <utility>

TLKestrovanGeneratorSimulator::TLKestrovanGeneratorSimulator()
    : model(mutex),
      line(
          mutex, changed, [this](const QByteArray &payload) { dispatchLocked(payload); },
          [this](TLKestrovanSimulatedLine::Clock::time_point now) { model.fireDueEventsLocked(now); }),
      sequence(mutex, changed, line, model)
{
}

TLKestrovanGeneratorSimulator::~TLKestrovanGeneratorSimulator()
{
    stop();
}

void TLKestrovanGeneratorSimulator::dispatchLocked(const QByteArray &payload)
{
    if (payload.size() < 2)
        return; // no two-letter code: nothing to do
    const QByteArray code = payload.left(2);
    const QByteArray value = payload.mid(2);
    if (value == "?") {
        line.replyLocked(code + model.answerLocked(code));
        return;
    }
    model.applyCommandLocked(code, value);
    if (code == "xr")
        sequence.releaseReceivedLocked(value);
}

bool TLKestrovanGeneratorSimulator::start()
{
    return line.start();
}

void TLKestrovanGeneratorSimulator::stop()
{
    // The sequence first: it waits on the line, never the other way round.
    sequence.stop();
    line.stop();
    sequence.resume();
}

char TLKestrovanGeneratorSimulator::checkByte(const QByteArray &payload)
{
    return TLKestrovanSimulatedLine::checkByte(payload);
}

QByteArray TLKestrovanGeneratorSimulator::telegram(const QByteArray &payload)
{
    return TLKestrovanSimulatedLine::telegram(payload);
}

bool TLKestrovanGeneratorSimulator::isRunning() const
{
    return line.isRunning();
}

QString TLKestrovanGeneratorSimulator::slavePath() const
{
    return line.slavePath();
}

QString TLKestrovanGeneratorSimulator::errorString() const
{
    return line.errorString();
}

void TLKestrovanGeneratorSimulator::setValue(const QByteArray &code, const QByteArray &value)
{
    model.setValue(code, value);
}

QByteArray TLKestrovanGeneratorSimulator::value(const QByteArray &code) const
{
    return model.value(code);
}

int TLKestrovanGeneratorSimulator::status1() const
{
    return model.status1();
}

int TLKestrovanGeneratorSimulator::status2() const
{
    return model.status2();
}

void TLKestrovanGeneratorSimulator::setCorrections(bool enabled)
{
    model.setCorrections(enabled);
}

void TLKestrovanGeneratorSimulator::setPowerOnDelayMs(int ms)
{
    model.setPowerOnDelayMs(ms);
}

void TLKestrovanGeneratorSimulator::setFocusReadyDelayMs(int ms)
{
    model.setFocusReadyDelayMs(ms);
}

void TLKestrovanGeneratorSimulator::setDapEnabled(bool enabled)
{
    model.setDapEnabled(enabled);
}

void TLKestrovanGeneratorSimulator::setVersion(const QByteArray &version)
{
    model.setVersion(version);
}

void TLKestrovanGeneratorSimulator::setPowered(bool on)
{
    model.setPowered(on);
}

void TLKestrovanGeneratorSimulator::injectError(const QByteArray &code)
{
    model.injectError(code);
}

bool TLKestrovanGeneratorSimulator::pressPrepare()
{
    return sequence.pressPrepare();
}

bool TLKestrovanGeneratorSimulator::pressExposure()
{
    return sequence.pressExposure();
}

bool TLKestrovanGeneratorSimulator::runExposure()
{
    return sequence.runExposure();
}

void TLKestrovanGeneratorSimulator::releaseKeys()
{
    sequence.releaseKeys();
}

void TLKestrovanGeneratorSimulator::abortExposure()
{
    sequence.abortExposure();
}

void TLKestrovanGeneratorSimulator::failExposure(const QByteArray &errorCode)
{
    sequence.failExposure(errorCode);
}

void TLKestrovanGeneratorSimulator::setReleaseTimeoutMs(int ms)
{
    sequence.setReleaseTimeoutMs(ms);
}

void TLKestrovanGeneratorSimulator::setStepDelayMs(int ms)
{
    sequence.setStepDelayMs(ms);
}

void TLKestrovanGeneratorSimulator::setExposureDurationMs(int ms)
{
    sequence.setExposureDurationMs(ms);
}

void TLKestrovanGeneratorSimulator::setExposureDose(const QByteArray &dose)
{
    model.setExposureDose(dose);
}

void TLKestrovanGeneratorSimulator::setLastExposure(const QByteArray &kv, const QByteArray &mas,
                                                    const QByteArray &ma, const QByteArray &xs,
                                                    const QByteArray &dose)
{
    model.setLastExposure(kv, mas, ma, xs, dose);
}

void TLKestrovanGeneratorSimulator::clearLastExposure()
{
    model.clearLastExposure();
}

void TLKestrovanGeneratorSimulator::setDoseZeroQueries(int n)
{
    model.setDoseZeroQueries(n);
}

bool TLKestrovanGeneratorSimulator::exposureDone() const
{
    return sequence.exposureDone();
}

bool TLKestrovanGeneratorSimulator::waitForExposureDone(int timeoutMs) const
{
    return sequence.waitForExposureDone(timeoutMs);
}

TLKestrovanGeneratorSimulator::ExposureOutcome TLKestrovanGeneratorSimulator::exposureOutcome() const
{
    return sequence.exposureOutcome();
}

QList<QByteArray> TLKestrovanGeneratorSimulator::exposureStates() const
{
    return line.exposureStates();
}

void TLKestrovanGeneratorSimulator::dropAcknowledgements(int n)
{
    line.dropAcknowledgements(n);
}

void TLKestrovanGeneratorSimulator::dropAcknowledgementsFor(int ms)
{
    line.dropAcknowledgementsFor(ms);
}

void TLKestrovanGeneratorSimulator::corruptNextReply()
{
    line.corruptNextReply();
}

void TLKestrovanGeneratorSimulator::setReplyDelayMs(int ms)
{
    line.setReplyDelayMs(ms);
}

void TLKestrovanGeneratorSimulator::splitNextReply(int gapMs)
{
    line.splitNextReply(gapMs);
}

void TLKestrovanGeneratorSimulator::injectInAckWindow(const QByteArray &payload)
{
    line.injectInAckWindow(payload);
}

void TLKestrovanGeneratorSimulator::injectBeforeAck(const QByteArray &payload, int gapMs)
{
    line.injectBeforeAck(payload, gapMs);
}

void TLKestrovanGeneratorSimulator::sendRaw(const QByteArray &bytes)
{
    line.sendRaw(bytes);
}

void TLKestrovanGeneratorSimulator::sendTelegram(const QByteArray &payload)
{
    line.sendTelegram(payload);
}

void TLKestrovanGeneratorSimulator::hangUp()
{
    line.hangUp();
}

void TLKestrovanGeneratorSimulator::setPacing(bool enabled)
{
    line.setPacing(enabled);
}

QList<TLKestrovanGeneratorSimulator::TranscriptEntry> TLKestrovanGeneratorSimulator::transcript() const
{
    return line.transcript();
}

QByteArray TLKestrovanGeneratorSimulator::bytesFromDriver() const
{
    return line.bytesFromDriver();
}

QByteArray TLKestrovanGeneratorSimulator::bytesToDriver() const
{
    return line.bytesToDriver();
}

QList<QByteArray> TLKestrovanGeneratorSimulator::telegramsFromDriver() const
{
    return line.telegramsFromDriver();
}

void TLKestrovanGeneratorSimulator::clearTranscript()
{
    line.clearTranscript();
}

bool TLKestrovanGeneratorSimulator::waitForTelegramFromDriver(const QByteArray &payload, int timeoutMs) const
{
    return line.waitForTelegramFromDriver(payload, timeoutMs);
}

int TLKestrovanGeneratorSimulator::countTelegramsFromDriver(const QByteArray &payload) const
{
    return line.countTelegramsFromDriver(payload);
}

int TLKestrovanGeneratorSimulator::badCheckBytes() const
{
    return line.badCheckBytes();
}

int TLKestrovanGeneratorSimulator::droppedAcknowledgements() const
{
    return line.droppedAcknowledgements();
}

int TLKestrovanGeneratorSimulator::acknowledgementsReceived() const
{
    return line.acknowledgementsReceived();
}

int TLKestrovanGeneratorSimulator::repeatedWrites() const
{
    return line.repeatedWrites();
}

int TLKestrovanGeneratorSimulator::givenUpTelegrams() const
{
    return line.givenUpTelegrams();
}

int TLKestrovanGeneratorSimulator::pendingTelegrams() const
{
    return line.pendingTelegrams();
}

bool TLKestrovanGeneratorSimulator::waitForIdle(int timeoutMs) const
{
    return line.waitForIdle(timeoutMs);
}

void TLKestrovanGeneratorSimulator::setTraceHandler(std::function<void(const TranscriptEntry &)> handler)
{
    line.setTraceHandler(std::move(handler));
}
