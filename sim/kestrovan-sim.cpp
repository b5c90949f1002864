// kestrovan-sim: a generator on a pseudo-terminal, for people without the real one. The first
// line on stdout names the terminal for the driver ("slave: /dev/pts/N"); then commands are read
// from stdin and from the FIFO of --control, one per line ("help" lists them), until "quit",
// SIGINT or SIGTERM. The end of stdin does not end it, so that it can run in the background.
// With --replay it plays a recorded trace instead (TLKestrovanReplayProgram).

#include "TLKestrovanCommandInput.h"
#include "TLKestrovanGeneratorSimulator.h"
#include "TLKestrovanReplayProgram.h"
#include "TLKestrovanSimulatorShell.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>
#include <functional>
#include <optional>
#include <unistd.h>

namespace {
constexpr int Failure = 1;
constexpr int BadUsage = 2;

int usageError(const QString &text)
{
    std::fprintf(stderr, "kestrovan-sim: %s\nTry kestrovan-sim --help for the options.\n",
                 qUtf8Printable(text));
    return BadUsage;
}

int failure(const QString &text)
{
    std::fprintf(stderr, "kestrovan-sim: %s\n", qUtf8Printable(text));
    return Failure;
}

void printLine(FILE *stream, const QString &line)
{
    const QByteArray text = line.toLocal8Bit() + '\n';
    std::fwrite(text.constData(), 1, size_t(text.size()), stream);
    std::fflush(stream);
}

bool applyNumber(const QCommandLineParser &parser, const QCommandLineOption &option,
                 const std::function<void(int)> &apply)
{
    if (!parser.isSet(option))
        return true;
    bool ok = false;
    const int number = parser.value(option).toInt(&ok);
    if (!ok || number < 0) {
        usageError(QStringLiteral("--%1 needs a number of milliseconds, 0 or more, not \"%2\"")
                       .arg(option.names().constFirst(), parser.value(option)));
        return false;
    }
    apply(number);
    return true;
}

// An option of milliseconds, with its default in the help.
QCommandLineOption delayOption(const char *name, const char *text, int defaultMs)
{
    return QCommandLineOption(
        QString::fromLatin1(name),
        QStringLiteral("%1 (default: %2 ms).").arg(QString::fromLatin1(text)).arg(defaultMs),
        QStringLiteral("ms"));
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kestrovan-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KESTROVAN_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral(
            "Simulated X-ray generator on a pseudo-terminal. Prints \"slave: PATH\", then reads commands "
            "from "
            "stdin and from the FIFO of --control; \"help\" lists them. The end of stdin does not end it: "
            "\"quit\", SIGINT or SIGTERM do.\n\n")
        + TLKestrovanReplayProgram::workflow());
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption powered(QStringLiteral("powered"), QStringLiteral("Start switched on."));
    const QCommandLineOption corrections(QStringLiteral("corrections"),
                                         QStringLiteral("Correct out-of-range values."));
    const QCommandLineOption dap(QStringLiteral("dap"), QStringLiteral("Dose meter present."));
    const QCommandLineOption pace(QStringLiteral("pace"), QStringLiteral("Pace bytes at 38400 baud."));
    const QCommandLineOption trace(
        QStringLiteral("trace"),
        QStringLiteral("Write every byte on the line into FILE (-: standard output, the rest then goes "
                       "to standard error) as kestrovan-host --trace does, for kestrovan-trace."),
        QStringLiteral("FILE"));
    const QCommandLineOption control(
        QStringLiteral("control"),
        QStringLiteral("Take commands from the FIFO at PATH as well (made, and removed at the end, when "
                       "missing)."),
        QStringLiteral("PATH"));
    using Sequence = TLKestrovanExposureSequence;
    const QCommandLineOption powerOnDelay = delayOption("power-on-delay", "Delay of the power bit",
                                                        TLKestrovanGeneratorModel::DefaultPowerOnDelayMs);
    const QCommandLineOption focusDelay =
        delayOption("focus-ready-delay", "Delay of focus ready after a reset",
                    TLKestrovanGeneratorModel::DefaultFocusReadyDelayMs);
    const QCommandLineOption releaseTimeout = delayOption(
        "release-timeout", "Wait for the driver's release answers", Sequence::DefaultReleaseTimeoutMs);
    const QCommandLineOption stepDelay =
        delayOption("step-delay", "Pause between exposure states", Sequence::DefaultStepDelayMs);
    const QCommandLineOption exposureDuration = delayOption(
        "exposure-duration", "Time between exposure on and off", Sequence::DefaultExposureDurationMs);
    parser.addOptions({powered, corrections, dap, pace, trace, control, powerOnDelay, focusDelay,
                       releaseTimeout, stepDelay, exposureDuration});
    const TLKestrovanReplayProgram replay(parser); // --replay TRACE, --on-divergence
    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(help) || parser.isSet(QStringLiteral("help-all")))
        parser.process(app); // prints the help and exits
    if (parser.isSet(version)) {
        printLine(stdout, QStringLiteral("kestrovan-sim %1").arg(QCoreApplication::applicationVersion()));
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError(QStringLiteral("kestrovan-sim takes no arguments, not \"%1\"")
                              .arg(parser.positionalArguments().join(' ')));
    for (const QCommandLineOption &option : {trace, control}) {
        if (parser.values(option).size() > 1)
            return usageError(QStringLiteral("--%1 given more than once").arg(option.names().constFirst()));
    }
    if (const std::optional<int> status =
            replay.runIfAsked([](const QString &line) { printLine(stdout, line); }))
        return *status;

    TLKestrovanGeneratorSimulator simulator;
    TLKestrovanGeneratorModel &model = simulator.model();
    TLKestrovanExposureSequence &sequence = simulator.sequence();
    if (parser.isSet(powered))
        model.setPowered(true);
    model.setCorrections(parser.isSet(corrections));
    model.setDapEnabled(parser.isSet(dap));
    simulator.line().setPacing(parser.isSet(pace));
    if (!applyNumber(parser, powerOnDelay, [&](int ms) { model.setPowerOnDelayMs(ms); })
        || !applyNumber(parser, focusDelay, [&](int ms) { model.setFocusReadyDelayMs(ms); })
        || !applyNumber(parser, releaseTimeout, [&](int ms) { sequence.setReleaseTimeoutMs(ms); })
        || !applyNumber(parser, stepDelay, [&](int ms) { sequence.setStepDelayMs(ms); })
        || !applyNumber(parser, exposureDuration, [&](int ms) { sequence.setExposureDurationMs(ms); }))
        return BadUsage;

    // With "--trace -" standard output carries the trace alone, for a pipe into kestrovan-trace;
    // the slave's path and the answers go to standard error then.
    const bool traceOnStdout = parser.value(trace) == QLatin1String("-");
    FILE *const answers = traceOnStdout ? stderr : stdout;
    TLKestrovanSimulatorShell shell(simulator, [answers](const QString &line) { printLine(answers, line); });
    QString error;
    if (parser.isSet(trace) && !shell.openTraceFile(parser.value(trace), error))
        return failure(QStringLiteral("cannot write %1: %2").arg(parser.value(trace), error));
    TLKestrovanCommandInput input(STDIN_FILENO, [](const QString &text) {
        std::fprintf(stderr, "kestrovan-sim: %s\n", qUtf8Printable(text));
    });
    if (parser.isSet(control) && !input.openFifo(parser.value(control)))
        return failure(input.errorString());
    input.catchSignals();

    if (!simulator.start())
        return failure(QStringLiteral("cannot open a pseudo-terminal: %1").arg(simulator.errorString()));
    printLine(answers, QStringLiteral("slave: %1").arg(simulator.slavePath()));
    const TLKestrovanCommandInput::End end =
        input.run([&shell](const QString &line) { return shell.execute(line); });
    simulator.stop();
    if (end == TLKestrovanCommandInput::End::Failed)
        return failure(input.errorString());
    return 0;
}
