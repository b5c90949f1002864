// kestrovan-trace: decodes the serial line between a host and a Kestrovan generator, from a trace
// file (kestrovan-host --trace) or live from a tap between two serial ports, and draws it.

#include "TLTraceDecoder.h"
#include "TLTraceReader.h"
#include "TLTraceReport.h"
#include "TLTraceStream.h"
#include "TLTraceTap.h"
#include "TLTraceWriter.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr int Failure = 1;
constexpr int BadUsage = 2;
// Seconds of a picture's window: far beyond any recording, and still microseconds in 64 bits.
constexpr double MaxWindowSeconds = 1e9;

std::atomic<TLTraceTap *> activeTap{nullptr};
std::atomic<TLTraceStream *> activeStream{nullptr};

void stopReading(int)
{
    if (TLTraceTap *tap = activeTap.load())
        tap->stop();
    if (TLTraceStream *stream = activeStream.load())
        stream->stop();
}

// Ctrl-C and SIGTERM end a tap or a trace that is still being written like its end would: what
// was read is decoded and summed up.
void catchStopSignals()
{
    struct sigaction action
    {};
    action.sa_handler = stopReading;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

int usageError(const QString &text)
{
    TLTraceReport::print(
        stderr, QStringLiteral("kestrovan-trace: %1\nTry kestrovan-trace --help for the options.").arg(text));
    return BadUsage;
}

// Seconds since the trace began, as microseconds; false when the text is no such number.
bool readSeconds(const QString &text, qint64 &us)
{
    bool ok = false;
    const double seconds = text.toDouble(&ok);
    if (!ok || !(seconds >= 0 && seconds <= MaxWindowSeconds))
        return false;
    us = std::llround(seconds * 1e6);
    return true;
}

// The exit status of a run that read to its end: nothing decoded is a failure, deviations are not
// (they are what the program is for; --deviations and the summary show them).
int decodedStatus(const TLTraceReport &output, const QString &source, int skippedLines)
{
    if (output.telegrams() > 0)
        return 0;
    QString text = QStringLiteral("kestrovan-trace: no telegram in %1").arg(source);
    if (skippedLines > 0)
        text += (skippedLines == 1
                     ? QStringLiteral(", and a line that is no chunk of a trace")
                     : QStringLiteral(", and %1 lines that are no chunk of a trace").arg(skippedLines))
                + QStringLiteral(": is it a trace of kestrovan-host --trace?");
    TLTraceReport::print(stderr, text);
    return Failure;
}

int cannotRead(const QString &source)
{
    TLTraceReport::print(
        stderr, errno == EINTR // a FIFO nobody opened for writing
                    ? QStringLiteral("kestrovan-trace: stopped while waiting for a writer of %1").arg(source)
                    : QStringLiteral("kestrovan-trace: cannot read %1: %2")
                          .arg(source, QString::fromLocal8Bit(std::strerror(errno))));
    return Failure;
}

int decodeFile(const QString &path, TLTraceReport &output, const QString &svg)
{
    const bool standardInput = path.isEmpty() || path == QLatin1String("-");
    const QString source = standardInput ? QStringLiteral("standard input") : path;
    catchStopSignals(); // before the open, which waits for a writer on a FIFO
    const int fd =
        standardInput ? STDIN_FILENO : ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return cannotRead(source);
    struct stat status
    {};
    if (::fstat(fd, &status) == 0 && S_ISDIR(status.st_mode)) {
        ::close(fd);
        errno = EISDIR; // as a read would say, before anything is printed
        return cannotRead(source);
    }
    if (::isatty(fd))
        TLTraceReport::print(stderr, QStringLiteral("kestrovan-trace: reading a trace from the terminal; "
                                                    "Ctrl-D ends it"));
    TLTraceStream stream(fd);
    output.setLive(!stream.isRegularFile());
    TLTraceReader reader;
    TLTraceDecoder decoder([&output](const TLTraceEvent &event) { output.event(event); });
    activeStream = &stream;
    const TLTraceStream::End end = stream.run(reader, decoder);
    activeStream = nullptr;
    if (!standardInput)
        ::close(fd);
    decoder.finish();
    output.finish();
    for (const QString &problem : reader.problems())
        TLTraceReport::print(stderr, QStringLiteral("kestrovan-trace: %1").arg(problem));
    if (reader.skippedLines() > reader.problems().size())
        TLTraceReport::print(
            stderr, QStringLiteral("kestrovan-trace: %1 lines skipped in all").arg(reader.skippedLines()));
    if (end == TLTraceStream::End::Failed) {
        TLTraceReport::print(stderr,
                             QStringLiteral("kestrovan-trace: reading %1 failed: %2; the output holds what "
                                            "came before")
                                 .arg(source, stream.errorString()));
        return Failure;
    }
    if (end == TLTraceStream::End::Stopped)
        TLTraceReport::print(stderr, QStringLiteral("kestrovan-trace: stopped before the end of %1; the "
                                                    "output holds what came before")
                                         .arg(source));
    const QString title =
        QStringLiteral("kestrovan-trace: %1").arg(standardInput ? source : QFileInfo(path).fileName());
    if (!svg.isEmpty() && !output.picture(svg, title))
        return Failure;
    return decodedStatus(output, source, reader.skippedLines());
}

int tap(const QString &hostPath, const QString &generatorPath, const QString &tracePath,
        TLTraceReport &output, const QString &svg)
{
    QString error;
    const int host = TLTraceTap::openPort(hostPath, error);
    if (host < 0) {
        TLTraceReport::print(stderr, QStringLiteral("kestrovan-trace: host port: %1").arg(error));
        return Failure;
    }
    const int generator = TLTraceTap::openPort(generatorPath, error);
    if (generator < 0) {
        ::close(host);
        TLTraceReport::print(stderr, QStringLiteral("kestrovan-trace: generator port: %1").arg(error));
        return Failure;
    }
    TLTraceWriter writer;
    if (!tracePath.isEmpty() && !writer.open(tracePath)) {
        ::close(host);
        ::close(generator);
        TLTraceReport::print(
            stderr,
            QStringLiteral("kestrovan-trace: cannot write %1: %2").arg(tracePath, writer.errorString()));
        return Failure;
    }
    writer.note(QStringLiteral("kestrovan-trace tap: host port %1, generator port %2 (TX: host to generator, "
                               "RX: generator to host)")
                    .arg(hostPath, generatorPath)
                    .toUtf8());

    TLTraceDecoder decoder([&output](const TLTraceEvent &event) { output.event(event); });
    TLTraceTap relay;
    activeTap = &relay;
    catchStopSignals();
    TLTraceReport::print(stderr,
                         QStringLiteral("kestrovan-trace: tapping %1 (host) and %2 (generator); Ctrl-C ends")
                             .arg(hostPath, generatorPath));

    const TLTraceTap::End end = relay.run(
        {host, QStringLiteral("host port %1").arg(hostPath)},
        {generator, QStringLiteral("generator port %1").arg(generatorPath)},
        [&](const TLTraceChunk &chunk) {
            writer.write(chunk);
            decoder.feed(chunk);
        },
        [&](qint64 elapsedUs) { decoder.advance(elapsedUs); });
    activeTap = nullptr;
    ::close(host);
    ::close(generator);
    writer.note(QStringLiteral("tap ended: %1").arg(relay.message()).toUtf8());
    decoder.finish();
    output.finish();
    TLTraceReport::print(
        stderr,
        QStringLiteral("kestrovan-trace: tap ended: %1%2")
            .arg(relay.message(), tracePath.isEmpty()
                                      ? QString()
                                      : QStringLiteral("; the trace in %1 is complete").arg(tracePath)));
    const bool drawn =
        svg.isEmpty()
        || output.picture(
            svg, QStringLiteral("kestrovan-trace tap: host %1, generator %2").arg(hostPath, generatorPath));
    if (end != TLTraceTap::End::Stopped || !drawn)
        return Failure;
    return decodedStatus(output, QStringLiteral("the tapped line"), 0);
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kestrovan-trace"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KESTROVAN_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Decodes the serial line between a host and a Kestrovan generator: one line per telegram with "
        "its meaning, acknowledgement and deviations, then a summary. Reads a trace written by "
        "kestrovan-host --trace (FILE, or standard input), also while it is written (kestrovan-host "
        "--trace >(kestrovan-trace)), or taps the line between two serial ports (--tap HOST_PORT "
        "GENERATOR_PORT) and decodes it live. Exit status 1 when no telegram was decoded."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption json(
        QStringLiteral("json"), QStringLiteral("One JSON object per telegram, the summary as the last one."));
    const QCommandLineOption deviations(
        QStringLiteral("deviations"),
        QStringLiteral(
            "Print only the telegrams (and bytes forming none) with a deviation, then the summary."));
    const QCommandLineOption summaryOnly(QStringLiteral("summary"),
                                         QStringLiteral("Print only the summary."));
    const QCommandLineOption svg(
        QStringLiteral("svg"),
        QStringLiteral("Draw the timeline into FILE (SVG): at most %1 events, and on standard error what it "
                       "leaves out.")
            .arg(TLTraceReport::MaxPictureEvents),
        QStringLiteral("FILE"));
    const QCommandLineOption svgFrom(
        QStringLiteral("svg-from"),
        QStringLiteral(
            "With --svg: draw from SECONDS since the trace began (the elapsed time of its lines)."),
        QStringLiteral("SECONDS"));
    const QCommandLineOption svgTo(QStringLiteral("svg-to"),
                                   QStringLiteral("With --svg: draw up to SECONDS since the trace began."),
                                   QStringLiteral("SECONDS"));
    const QCommandLineOption tapOption(
        QStringLiteral("tap"),
        QStringLiteral("Relay between the host's port and the generator's port (given after the options), "
                       "both at 38400 8N1, and decode live until Ctrl-C or a port goes away."),
        QStringLiteral("HOST_PORT"));
    const QCommandLineOption write(
        QStringLiteral("write"),
        QStringLiteral("With --tap: write the trace into FILE, as kestrovan-host --trace does."),
        QStringLiteral("FILE"));
    parser.addOptions({json, deviations, summaryOnly, svg, svgFrom, svgTo, tapOption, write});
    parser.addPositionalArgument(
        QStringLiteral("FILE"),
        QStringLiteral("Trace to decode; - or nothing: standard input. With --tap: the "
                       "generator's serial port (GENERATOR_PORT)."),
        QStringLiteral("[FILE | GENERATOR_PORT]"));

    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(help)) {
        TLTraceReport::print(stdout, parser.helpText().trimmed());
        return 0;
    }
    if (parser.isSet(version)) {
        TLTraceReport::print(
            stdout, QStringLiteral("kestrovan-trace %1").arg(QCoreApplication::applicationVersion()));
        return 0;
    }
    for (const QCommandLineOption &option : {svg, svgFrom, svgTo, tapOption, write}) {
        if (parser.values(option).size() > 1)
            return usageError(QStringLiteral("--%1 given more than once").arg(option.names().constFirst()));
    }
    const QStringList positional = parser.positionalArguments();
    if (parser.isSet(deviations) && parser.isSet(summaryOnly))
        return usageError(QStringLiteral("--deviations and --summary exclude each other: --summary prints no "
                                         "telegram at all"));
    TLTraceReport output(parser.isSet(json),
                         parser.isSet(summaryOnly)  ? TLTraceReport::Lines::None
                         : parser.isSet(deviations) ? TLTraceReport::Lines::Deviations
                                                    : TLTraceReport::Lines::All,
                         parser.isSet(svg));
    output.setLive(parser.isSet(tapOption));
    if ((parser.isSet(svgFrom) || parser.isSet(svgTo)) && !parser.isSet(svg))
        return usageError(
            QStringLiteral("--svg-from and --svg-to choose the part of the picture: they need --svg"));
    qint64 fromUs = 0;
    qint64 toUs = std::numeric_limits<qint64>::max();
    for (const auto &bound : {qMakePair(&svgFrom, &fromUs), qMakePair(&svgTo, &toUs)}) {
        if (parser.isSet(*bound.first) && !readSeconds(parser.value(*bound.first), *bound.second))
            return usageError(QStringLiteral("--%1 takes seconds since the trace began, not \"%2\"")
                                  .arg(bound.first->names().constFirst(), parser.value(*bound.first)));
    }
    if (fromUs > toUs)
        return usageError(QStringLiteral("--svg-from is after --svg-to"));
    output.setPictureWindow(fromUs, toUs);
    if (parser.isSet(tapOption)) {
        if (positional.size() != 1)
            return usageError(QStringLiteral("--tap needs two ports: --tap HOST_PORT GENERATOR_PORT"));
        return tap(parser.value(tapOption), positional.constFirst(), parser.value(write), output,
                   parser.value(svg));
    }
    if (parser.isSet(write))
        return usageError(QStringLiteral("--write records a tap: it needs --tap"));
    if (positional.size() > 1)
        return usageError(QStringLiteral("only one trace file may be given, not %1").arg(positional.size()));
    return decodeFile(positional.value(0), output, parser.value(svg));
}
