#include "TLKestrovanReplayProgram.h"

#include "TLKestrovanReplayLine.h"

#include <QCommandLineParser>
#include <QFile>

#include <csignal>
#include <cstdio>

namespace {
volatile std::sig_atomic_t interrupted = 0;

void onSignal(int)
{
    interrupted = 1;
}

void warn(const QString &text)
{
    std::fprintf(stderr, "kestrovan-sim: %s\n", qUtf8Printable(text));
}

int fail(int status, const QString &text)
{
    warn(text);
    return status;
}
} // namespace

TLKestrovanReplayProgram::TLKestrovanReplayProgram(QCommandLineParser &parser)
    : parser(parser),
      replay(QStringLiteral("replay"), QStringLiteral("Play the generator's side of a recorded trace."),
             QStringLiteral("trace")),
      onDivergence(QStringLiteral("on-divergence"),
                   QStringLiteral("When the driver departs from the trace: stop, or continue with the "
                                  "simulator's own model (default: continue)."),
                   QStringLiteral("stop|continue"), QStringLiteral("continue"))
{
    parser.addOptions({replay, onDivergence});
}

std::optional<int> TLKestrovanReplayProgram::runIfAsked(const Output &output) const
{
    const bool asked = parser.isSet(replay);
    const QStringList own = {replay.names().front(), onDivergence.names().front()};
    for (const QString &name : parser.optionNames()) {
        if (own.contains(name) != asked)
            return fail(BadUsage, QStringLiteral("--%1 %2").arg(
                                      name, asked ? QStringLiteral("does not go with --replay")
                                                  : QStringLiteral("needs --replay")));
    }
    if (!asked)
        return std::nullopt;
    const QString mode = parser.value(onDivergence);
    if (mode != QLatin1String("stop") && mode != QLatin1String("continue"))
        return fail(BadUsage, QStringLiteral("--on-divergence takes stop or continue, not \"%1\"").arg(mode));
    return run(parser.value(replay), mode == QLatin1String("stop"), output);
}

int TLKestrovanReplayProgram::run(const QString &tracePath, bool stopAtDivergence, const Output &output) const
{
    using Mode = TLKestrovanReplayEngine::OnDivergence;
    QFile file(tracePath);
    if (!file.open(QIODevice::ReadOnly))
        return fail(BadUsage,
                    QStringLiteral("cannot read the trace %1: %2").arg(tracePath, file.errorString()));
    TLKestrovanReplayRecord record;
    if (!record.read(file))
        return fail(BadUsage, QStringLiteral("cannot replay %1: %2").arg(tracePath, record.errorString()));
    for (const QString &problem : record.problems())
        warn(QStringLiteral("%1: %2").arg(tracePath, problem));

    TLKestrovanReplayLine line(record, stopAtDivergence ? Mode::Stop : Mode::Continue, output);
    if (!line.start())
        return fail(NoTerminal, QStringLiteral("cannot open a pseudo-terminal: %1").arg(line.errorString()));
    output(QStringLiteral("slave: %1").arg(line.slavePath()));
    output(QStringLiteral("replay of %1: %2 host telegrams, %3 generator chunks; the record's clock starts "
                          "with the driver's first bytes")
               .arg(tracePath)
               .arg(record.hostTelegrams().size())
               .arg(record.generatorChunks().size()));

    interrupted = 0;
    struct sigaction action = {};
    action.sa_handler = onSignal;
    struct sigaction oldInterrupt = {};
    struct sigaction oldTerminate = {};
    ::sigaction(SIGINT, &action, &oldInterrupt);
    ::sigaction(SIGTERM, &action, &oldTerminate);
    while (!line.waitUntilOver(SignalPollMs) && !interrupted) {}
    ::sigaction(SIGINT, &oldInterrupt, nullptr);
    ::sigaction(SIGTERM, &oldTerminate, nullptr);
    line.stop();
    if (interrupted)
        output(QStringLiteral("replay interrupted"));
    for (const QString &summary : line.summaryLines())
        output(summary);
    return line.divergences() > 0 ? Diverged : 0;
}

QString TLKestrovanReplayProgram::workflow()
{
    return QStringLiteral(
        "A failure captured in the field, reproduced on the desk:\n"
        "  kestrovan-host --port /dev/ttyS0 --trace field.trace script.txt   capture\n"
        "  kestrovan-sim --replay field.trace                                 replay\n"
        "  kestrovan-trace field.trace                                        decode\n"
        "The capture may also come from kestrovan-trace --tap HOST GENERATOR --write field.trace.\n"
        "Point the driver under test at the slave that the replay names (kestrovan-host --port\n"
        "/dev/pts/N script.txt); give it --trace desk.trace to decode the desk's run beside the field's.");
}
