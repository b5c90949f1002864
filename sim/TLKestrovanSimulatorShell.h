#pragma once

#include "TLKestrovanGeneratorSimulator.h"
#include "TLTraceChunk.h"

#include <QString>

#include <functional>
#include <memory>

// The command shell of kestrovan-sim: one command per line in, answer lines out. Here, and
// nowhere else, the text commands are mapped onto the members of the simulator's line, model
// and sequence; a command that cannot run is refused with the reason. Trace lines come from the
// simulator's link thread; all output, and the trace file, go through one lock.
//
// Traces are written in the format of kestrovan-host --trace, which kestrovan-trace reads: what
// the driver sends is TX, what the simulated generator sends is RX, so that a trace taken here
// decodes as one taken at the host.
class TLKestrovanSimulatorShell
{
public:
    using Output = std::function<void(const QString &line)>;

    TLKestrovanSimulatorShell(TLKestrovanGeneratorSimulator &simulator, Output output);
    ~TLKestrovanSimulatorShell();
    TLKestrovanSimulatorShell(const TLKestrovanSimulatorShell &) = delete;
    TLKestrovanSimulatorShell &operator=(const TLKestrovanSimulatorShell &) = delete;

    // Runs one command line. False when the session ends ("quit").
    bool execute(const QString &line);
    // Prints every byte on the line as it passes.
    void setTrace(bool enabled);
    // Writes every byte on the line to this file (replaced; "-": standard output) as it
    // passes, from now on. False with the reason in error when it cannot be written.
    bool openTraceFile(const QString &path, QString &error);

    static QString helpText();
    static TLTraceChunk traceChunk(const TLKestrovanSimulatedLine::TranscriptEntry &entry);
    static QString formatEntry(const TLKestrovanSimulatedLine::TranscriptEntry &entry);
    static QString outcomeName(TLKestrovanExposureSequence::Outcome outcome);

private:
    struct Sink;

    void print(const QString &line) const;
    bool runCommand(const QString &command, const QStringList &args, const QString &rest);
    // The faults of the line and the generator. False, with refusal set, on bad arguments.
    bool runFaultCommand(const QString &command, const QStringList &args, const QString &rest);
    bool refuse(const QString &reason);
    bool writeTranscript(const QString &path);

    TLKestrovanGeneratorSimulator &simulator;
    QString refusal; // why the command just run was refused, if it says
    // Shared with the trace handler, which may still run in the link thread for a moment
    // after the shell is gone.
    std::shared_ptr<Sink> sink;
};
