#pragma once

#include "TLKestrovanExposureSequence.h"
#include "TLKestrovanGeneratorModel.h"
#include "TLKestrovanSimulatedLine.h"

#include <QByteArray>
#include <QString>

#include <condition_variable>
#include <mutex>

// The generator's side of the serial line, on the master of a pseudo-terminal: it acknowledges
// the driver's telegrams by echoing their check byte, answers queries from a store of value
// texts, keeps the status words, drives the exposure sequence of the hand switch and sends its
// own telegrams until the driver echoes them. Faults of the line can be switched on at will,
// and every byte that crosses the line is kept in a time-stamped transcript.
//
// Three parts do the work, each reached through its accessor: the line (line(): faults,
// transcript, counters), the generator's state (model(): values, status words, settings) and
// the exposure sequence (sequence(): hand switch and outcome). They share one mutex and one
// condition owned here, so that a telegram, the state it changes and the sequence waiting for
// it are always seen together; every public member of a part takes that mutex itself and may
// be called from any thread. Here remain what needs all three: starting and stopping them in
// the right order, and handing the driver's telegrams to the model and the sequence.
//
// start() and stop() (and the destructor) belong to one controlling thread. The link runs in a
// thread of its own; an exposure sequence runs in a second one while it lasts.
class TLKestrovanGeneratorSimulator
{
public:
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

    TLKestrovanSimulatedLine &line() { return simulatedLine; }
    const TLKestrovanSimulatedLine &line() const { return simulatedLine; }
    TLKestrovanGeneratorModel &model() { return generatorModel; }
    const TLKestrovanGeneratorModel &model() const { return generatorModel; }
    TLKestrovanExposureSequence &sequence() { return exposureSequence; }
    const TLKestrovanExposureSequence &sequence() const { return exposureSequence; }

private:
    // The line hands each echoed telegram of the driver here, in the link thread with the
    // mutex held: queries go to the model for their answer, commands to the model, and the
    // driver's release answers also to the sequence that waits for them.
    void dispatchLocked(const QByteArray &payload);

    std::mutex mutex;
    std::condition_variable changed;
    TLKestrovanGeneratorModel generatorModel;
    TLKestrovanSimulatedLine simulatedLine;
    TLKestrovanExposureSequence exposureSequence;
};
