#pragma once

#include <QCommandLineOption>
#include <QString>

#include <functional>
#include <optional>

class QCommandLineParser;

// kestrovan-sim --replay TRACE: reads the trace, plays the generator's side of it on a
// pseudo-terminal (TLKestrovanReplayLine) and prints "slave: PATH" first, then the divergences
// and the exposure handshake's reaction times as they come, and a summary at the end. The
// replay ends by itself when the record is over and the driver quiet, at the first divergence
// with --on-divergence stop, or on SIGINT or SIGTERM. The simulator's other options are for
// the live simulator and do not go with it.
class TLKestrovanReplayProgram
{
public:
    // Exit statuses besides 0 (replayed without a divergence).
    static constexpr int NoTerminal = 1;
    static constexpr int BadUsage = 2;
    static constexpr int Diverged = 3;
    // How often the wait for the end looks for a signal.
    static constexpr int SignalPollMs = 100;

    using Output = std::function<void(const QString &line)>;

    // Adds --replay and --on-divergence to the program's options.
    explicit TLKestrovanReplayProgram(QCommandLineParser &parser);
    // After parsing: with --replay, runs the replay and gives the exit status (errors go to
    // standard error); without it, nothing, unless an option of the replay stands alone.
    std::optional<int> runIfAsked(const Output &output) const;
    // Capture, replay, decode: the three commands, for the help text.
    static QString workflow();

private:
    int run(const QString &tracePath, bool stopAtDivergence, const Output &output) const;

    const QCommandLineParser &parser;
    const QCommandLineOption replay;
    const QCommandLineOption onDivergence;
};
