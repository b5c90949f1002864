#include "TLKestrovanGeneratorSimulator.h"

TLKestrovanGeneratorSimulator::TLKestrovanGeneratorSimulator()
    : generatorModel(mutex),
      simulatedLine(
          mutex, changed, [this](const QByteArray &payload) { dispatchLocked(payload); },
          [this](TLKestrovanSimulatedLine::Clock::time_point now) {
              for (const QByteArray &payload : generatorModel.fireDueEventsLocked(now))
                  simulatedLine.sendLocked(payload);
          }),
      exposureSequence(mutex, changed, simulatedLine, generatorModel)
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
        simulatedLine.replyLocked(code + generatorModel.answerLocked(code));
        return;
    }
    generatorModel.applyCommandLocked(code, value);
    if (code == "xr")
        exposureSequence.releaseReceivedLocked(value);
}

bool TLKestrovanGeneratorSimulator::start()
{
    return simulatedLine.start();
}

void TLKestrovanGeneratorSimulator::stop()
{
    // The sequence first: it waits on the line, never the other way round.
    exposureSequence.stop();
    simulatedLine.stop();
    exposureSequence.resume();
}

bool TLKestrovanGeneratorSimulator::isRunning() const
{
    return simulatedLine.isRunning();
}

QString TLKestrovanGeneratorSimulator::slavePath() const
{
    return simulatedLine.slavePath();
}

QString TLKestrovanGeneratorSimulator::errorString() const
{
    return simulatedLine.errorString();
}
