// kestrovan-sim: a generator on a pseudo-terminal, for people without the real one. The first
// line on stdout names the terminal for the driver ("slave: /dev/pts/N"); then commands are read
// from stdin, one per line ("help" lists them), until "quit" or the end of input. With --replay
// it plays a recorded trace instead (TLKestrovanReplayProgram).

#include "TLKestrovanGeneratorSimulator.h"
#include "TLKestrovanReplayProgram.h"
#include "TLKestrovanSimulatorShell.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>
#include <functional>
#include <iostream>
#include <optional>
#include <string>

namespace {
void printLine(const QString &line)
{
    const QByteArray text = line.toLocal8Bit() + '\n';
    std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
    std::fflush(stdout);
}

bool applyNumber(const QCommandLineParser &parser, const QCommandLineOption &option,
                 const std::function<void(int)> &apply)
{
    if (!parser.isSet(option))
        return true;
    bool ok = false;
    const int number = parser.value(option).toInt(&ok);
    if (!ok || number < 0) {
        std::fprintf(stderr, "kestrovan-sim: --%s needs a number of milliseconds\n",
                     qPrintable(option.names().front()));
        return false;
    }
    apply(number);
    return true;
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kestrovan-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Simulated X-ray generator on a pseudo-terminal. Prints \"slave: PATH\", then reads "
                       "commands from stdin; \"help\" lists them.\n\n")
        + TLKestrovanReplayProgram::workflow());
    parser.addHelpOption();
    const QCommandLineOption powered(QStringLiteral("powered"), QStringLiteral("Start switched on."));
    const QCommandLineOption corrections(QStringLiteral("corrections"),
                                         QStringLiteral("Correct out-of-range values."));
    const QCommandLineOption dap(QStringLiteral("dap"), QStringLiteral("Dose meter present."));
    const QCommandLineOption pace(QStringLiteral("pace"), QStringLiteral("Pace bytes at 38400 baud."));
    const QCommandLineOption trace(QStringLiteral("trace"), QStringLiteral("Print every byte."));
    const QCommandLineOption powerOnDelay(QStringLiteral("power-on-delay"),
                                          QStringLiteral("Delay of the power bit."), QStringLiteral("ms"));
    const QCommandLineOption focusDelay(QStringLiteral("focus-ready-delay"),
                                        QStringLiteral("Delay of focus ready after a reset."),
                                        QStringLiteral("ms"));
    const QCommandLineOption releaseTimeout(QStringLiteral("release-timeout"),
                                            QStringLiteral("Wait for the driver's release answers."),
                                            QStringLiteral("ms"));
    const QCommandLineOption stepDelay(
        QStringLiteral("step-delay"), QStringLiteral("Pause between exposure states."), QStringLiteral("ms"));
    const QCommandLineOption exposureDuration(QStringLiteral("exposure-duration"),
                                              QStringLiteral("Time between exposure on and off."),
                                              QStringLiteral("ms"));
    parser.addOptions({powered, corrections, dap, pace, trace, powerOnDelay, focusDelay, releaseTimeout,
                       stepDelay, exposureDuration});
    const TLKestrovanReplayProgram replay(parser); // --replay TRACE, --on-divergence
    parser.process(app);
    if (const std::optional<int> status = replay.runIfAsked(printLine))
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
        return 2;

    if (!simulator.start()) {
        std::fprintf(stderr, "kestrovan-sim: cannot open a pseudo-terminal: %s\n",
                     qPrintable(simulator.errorString()));
        return 1;
    }
    printLine(QStringLiteral("slave: %1").arg(simulator.slavePath()));

    {
        TLKestrovanSimulatorShell shell(simulator, printLine);
        shell.setTrace(parser.isSet(trace));
        std::string line;
        while (std::getline(std::cin, line)) {
            if (!shell.execute(QString::fromLocal8Bit(line.c_str())))
                break;
        }
        simulator.stop();
    }
    return 0;
}
