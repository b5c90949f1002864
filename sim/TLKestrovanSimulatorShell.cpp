#include "TLKestrovanSimulatorShell.h"

#include "TLTraceWriter.h"

#include <QPair>
#include <QRegularExpression>
#include <QStringList>

#include <algorithm>

#include <chrono>
#include <mutex>
#include <thread>

namespace {
// Without an argument, wait-exposure waits this long: longer than a whole sequence with the
// default release time-outs.
constexpr int DefaultExposureWaitMs = 30000;
// The longest that sleep and wait-exposure hold the command input (and the end by a signal).
constexpr int MaxWaitMs = 600000;

// Why a command is refused, where several commands share the reason.
const QString TakesOnOff = QStringLiteral("it takes on or off");
const QString TakesNothing = QStringLiteral("it takes no arguments");
const QString TakesMilliseconds = QStringLiteral("MS must be a number of milliseconds, 0 or more");
const QString TakesWait = QStringLiteral("MS must be a number of milliseconds from 0 to %1").arg(MaxWaitMs);
const QString TakesPayload = QStringLiteral("PAYLOAD must be one word of printable characters");
const QString TakesErrorCode =
    QStringLiteral("CODE must be a whole number (error-codes sends other spellings)");

bool parseOnOff(const QStringList &args, bool *on)
{
    if (args.size() != 1)
        return false;
    if (args.front() == QLatin1String("on"))
        *on = true;
    else if (args.front() == QLatin1String("off"))
        *on = false;
    else
        return false;
    return true;
}

bool parseNumber(const QStringList &args, int index, int *number)
{
    if (args.size() <= index)
        return false;
    bool ok = false;
    *number = args.at(index).toInt(&ok);
    return ok;
}

bool parseCount(const QStringList &args, int index, int *number)
{
    return parseNumber(args, index, number) && *number >= 0;
}

// A payload that goes on the line as a telegram's text: printable, as a byte with bit 7 set
// would end the telegram ("raw" sends any bytes).
bool parsePayload(const QStringList &args, int index, QByteArray *payload)
{
    if (args.size() <= index)
        return false;
    *payload = args.at(index).toLatin1();
    return std::all_of(payload->begin(), payload->end(), [](char c) { return c > 0x20 && c < 0x7F; })
           && QString::fromLatin1(*payload) == args.at(index);
}

// Words split at blanks; a word in double quotes keeps its blanks ("105 ").
QStringList quotedWords(const QString &text)
{
    static const QRegularExpression word(QStringLiteral("\"([^\"]*)\"|(\\S+)"));
    QStringList words;
    for (QRegularExpressionMatchIterator it = word.globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        words << (match.capturedStart(1) >= 0 ? match.captured(1) : match.captured(2));
    }
    return words;
}

// The first line of a trace file, for its reader.
const QByteArray TraceNote = QByteArrayLiteral(
    "kestrovan-sim: the simulated generator's line (TX: host to generator, RX: generator to host)");

const QStringList FaultCommands{QStringLiteral("delay"),       QStringLiteral("corrupt"),
                                QStringLiteral("split"),       QStringLiteral("flood"),
                                QStringLiteral("error-storm"), QStringLiteral("error-codes"),
                                QStringLiteral("hold")};

using Flood = TLKestrovanSimulatedLine::Flood;
const QList<QPair<QString, Flood>> FloodNames{{QStringLiteral("telegrams"), Flood::Telegrams},
                                              {QStringLiteral("noise"), Flood::Noise},
                                              {QStringLiteral("unterminated"), Flood::Unterminated},
                                              {QStringLiteral("full-speed"), Flood::FullSpeed},
                                              {QStringLiteral("off"), Flood::Off}};

QString floodName(Flood kind)
{
    for (const auto &name : FloodNames)
        if (name.second == kind)
            return name.first;
    return QString();
}
} // namespace

struct TLKestrovanSimulatorShell::Sink
{
    std::mutex mutex;
    Output output;
    bool printing = false; // trace lines on the output
    TLTraceWriter file;    // and in the trace file when it is open
};

TLKestrovanSimulatorShell::TLKestrovanSimulatorShell(TLKestrovanGeneratorSimulator &simulator, Output output)
    : simulator(simulator), sink(std::make_shared<Sink>())
{
    sink->output = std::move(output);
    std::shared_ptr<Sink> shared = sink;
    simulator.line().setTraceHandler([shared](const TLKestrovanSimulatedLine::TranscriptEntry &entry) {
        std::lock_guard<std::mutex> lock(shared->mutex);
        if (shared->file.isOpen())
            shared->file.write(traceChunk(entry));
        if (shared->printing && shared->output)
            shared->output(formatEntry(entry));
    });
}

TLKestrovanSimulatorShell::~TLKestrovanSimulatorShell()
{
    simulator.line().setTraceHandler({});
}

void TLKestrovanSimulatorShell::print(const QString &line) const
{
    std::lock_guard<std::mutex> lock(sink->mutex);
    if (sink->output)
        sink->output(line);
}

void TLKestrovanSimulatorShell::setTrace(bool enabled)
{
    std::lock_guard<std::mutex> lock(sink->mutex);
    sink->printing = enabled;
}

bool TLKestrovanSimulatorShell::openTraceFile(const QString &path, QString &error)
{
    std::lock_guard<std::mutex> lock(sink->mutex);
    if (!(path == QLatin1String("-") ? sink->file.openStandardOutput() : sink->file.open(path))) {
        error = sink->file.errorString();
        return false;
    }
    sink->file.note(TraceNote);
    return true;
}

TLTraceChunk TLKestrovanSimulatorShell::traceChunk(const TLKestrovanSimulatedLine::TranscriptEntry &entry)
{
    TLTraceChunk chunk;
    // The simulator stands where the generator does: what it receives is the host's TX.
    chunk.direction = entry.direction == TLKestrovanSimulatedLine::Direction::FromDriver
                          ? TLTraceChunk::Direction::Tx
                          : TLTraceChunk::Direction::Rx;
    chunk.elapsedUs = entry.elapsedUs;
    chunk.clock = TLTraceChunk::wallClock(entry.wallClockUs);
    chunk.bytes = entry.bytes;
    return chunk;
}

QString TLKestrovanSimulatorShell::formatEntry(const TLKestrovanSimulatedLine::TranscriptEntry &entry)
{
    return QString::fromLatin1(traceChunk(entry).line());
}

bool TLKestrovanSimulatorShell::writeTranscript(const QString &path)
{
    TLTraceWriter file;
    if (!file.open(path))
        return refuse(QStringLiteral("%1 cannot be written: %2").arg(path, file.errorString()));
    file.note(TraceNote);
    for (const TLKestrovanSimulatedLine::TranscriptEntry &entry : simulator.line().transcript())
        file.write(traceChunk(entry));
    print(QStringLiteral("ok"));
    return true;
}

QString TLKestrovanSimulatorShell::outcomeName(TLKestrovanExposureSequence::Outcome outcome)
{
    using Outcome = TLKestrovanExposureSequence::Outcome;
    switch (outcome) {
    case Outcome::None:
        return QStringLiteral("none");
    case Outcome::Running:
        return QStringLiteral("running");
    case Outcome::Completed:
        return QStringLiteral("completed");
    case Outcome::NotReleased:
        return QStringLiteral("not released (break)");
    case Outcome::KeysReleased:
        return QStringLiteral("keys released (break)");
    case Outcome::Aborted:
        return QStringLiteral("aborted");
    case Outcome::Failed:
        return QStringLiteral("failed");
    case Outcome::LinkLost:
        return QStringLiteral("link lost");
    case Outcome::Stopped:
        return QStringLiteral("stopped");
    }
    return QString();
}

QString TLKestrovanSimulatorShell::helpText()
{
    return QStringLiteral(
        "commands:\n"
        "  help                      this list\n"
        "  status                    status words, error code and line counters\n"
        "  power on|off              switch the generator at its panel\n"
        "  set CODE VALUE            store a value text (e.g. set kv 81)\n"
        "  get CODE                  show a value text\n"
        "  error CODE                report a generator error (rr, bit 7 of st)\n"
        "  corrections on|off        correct out-of-range kV, mA, ms and mAs\n"
        "  dap on|off                dose meter bit in qs\n"
        "  dose VALUE                xg after each exposure\n"
        "  dose-zero N               xg answers 0 for the first N queries after an exposure\n"
        "  prepare                   press the prepare key\n"
        "  expose                    press the exposure key\n"
        "  release                   let both keys go\n"
        "  exposure                  run a whole exposure\n"
        "  abort                     send the break state 0000\n"
        "  fail [CODE]               send the error state 0100 with an error code\n"
        "  release-timeout MS        wait for the driver's release answers\n"
        "  wait-exposure [MS]        wait for the exposure sequence to end\n"
        "  states                    exposure states sent in the latest sequence\n"
        "  drop-acks N               do not echo the next N telegrams (-1: all, 0: none)\n"
        "  drop-acks-for MS          do not echo telegrams for MS milliseconds\n"
        "  delay MS [CODE...]        delay answers to queries (of these codes only)\n"
        "  corrupt [PREFIX] [always] spoil the check byte of the next telegram (starting\n"
        "                            with PREFIX) in its first write (in every write)\n"
        "  split MS [PREFIX] [AFTER] [every]\n"
        "                            send the next telegram (starting with PREFIX; each\n"
        "                            one) in two bursts MS apart, the first AFTER bytes long\n"
        "  split off                 end a split of every telegram\n"
        "  flood KIND                keep the line busy until \"flood off\": telegrams, noise,\n"
        "                            unterminated (at line rate) or full-speed\n"
        "  error-storm [silent] MS COUNT [FIRST]\n"
        "                            COUNT error codes counting up from FIRST (100), one\n"
        "                            every MS, each also sent as rr unless silent\n"
        "  error-codes [silent] MS CODE...\n"
        "                            these codes (\"105 \" in quotes) one every MS\n"
        "  error-storm off           end the storm\n"
        "  hold on|off               stop the sequence at 0E03 until release or hold off\n"
        "  inject PAYLOAD            send PAYLOAD with the next echo, before it\n"
        "  inject-before PAYLOAD MS  send PAYLOAD MS milliseconds before the next echo\n"
        "  send PAYLOAD              send a telegram (check byte added)\n"
        "  raw HEX                   send bytes as they are (e.g. raw 73 74 3F B8)\n"
        "  pace on|off               38400 baud byte pacing\n"
        "  hangup                    close the line like a pulled cable\n"
        "  trace on|off              print every byte as it passes\n"
        "  transcript [FILE]         print the transcript (or write it into FILE)\n"
        "  clear                     clear the transcript\n"
        "  sleep MS                  pause the command input\n"
        "  quit                      end the simulator");
}

bool TLKestrovanSimulatorShell::execute(const QString &line)
{
    const QString trimmed = line.trimmed();
    if (trimmed.isEmpty() || trimmed.startsWith(QLatin1Char('#')))
        return true;
    QStringList args = trimmed.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    const QString command = args.takeFirst().toLower();
    const QString rest = trimmed.mid(trimmed.indexOf(QLatin1Char(' ')) + 1).trimmed();
    if (command == QLatin1String("quit") || command == QLatin1String("exit"))
        return false;
    refusal.clear();
    if (runCommand(command, args, args.isEmpty() ? QString() : rest))
        return true;
    if (refusal.isEmpty())
        refusal = QStringLiteral("no such command; \"help\" lists them");
    print(QStringLiteral("error: cannot run \"%1\": %2").arg(trimmed, refusal));
    return true;
}

bool TLKestrovanSimulatorShell::refuse(const QString &reason)
{
    refusal = reason;
    return false;
}

bool TLKestrovanSimulatorShell::runFaultCommand(const QString &command, const QStringList &args,
                                                const QString &rest)
{
    TLKestrovanSimulatedLine &line = simulator.line();
    int number = 0;
    if (command == QLatin1String("delay")) {
        if (!parseCount(args, 0, &number))
            return refuse(TakesMilliseconds);
        if (args.size() == 1)
            line.setReplyDelayMs(number);
        for (const QString &code : args.mid(1))
            line.setReplyDelayMs(code.toLatin1(), number);
    } else if (command == QLatin1String("corrupt")) {
        const bool always = !args.isEmpty() && args.back() == QLatin1String("always");
        if (args.size() > (always ? 2 : 1))
            return refuse(QStringLiteral("it takes a PREFIX and the word always, both optional"));
        line.corruptNextTelegram(args.size() > (always ? 1 : 0) ? args.front().toLatin1() : QByteArray(),
                                 always ? TLKestrovanSimulatedLine::Damage::EveryWrite
                                        : TLKestrovanSimulatedLine::Damage::FirstWrite);
    } else if (command == QLatin1String("split")) {
        if (args == QStringList{QStringLiteral("off")}) {
            line.splitTelegrams(-1);
        } else {
            if (!parseCount(args, 0, &number))
                return refuse(TakesMilliseconds);
            QByteArray prefix;
            int after = -1;
            bool every = false;
            for (const QString &arg : args.mid(1)) {
                bool isNumber = false;
                const int value = arg.toInt(&isNumber);
                if (arg == QLatin1String("every"))
                    every = true;
                else if (isNumber && value > 0)
                    after = value;
                else if (!isNumber && prefix.isEmpty())
                    prefix = arg.toLatin1();
                else
                    return refuse(QStringLiteral("after MS come a PREFIX, a byte count AFTER of 1 or "
                                                 "more and the word every, each optional"));
            }
            line.splitTelegrams(number, prefix, after, every);
        }
    } else if (command == QLatin1String("flood")) {
        const auto found = std::find_if(FloodNames.begin(), FloodNames.end(), [&](const auto &name) {
            return args.size() == 1 && name.first == args.front();
        });
        if (found == FloodNames.end())
            return refuse(QStringLiteral("KIND is one of telegrams, noise, unterminated, full-speed, off"));
        line.setFlood(found->second);
    } else if (command == QLatin1String("error-storm") || command == QLatin1String("error-codes")) {
        QStringList words = quotedWords(rest);
        const bool silent = !words.isEmpty() && words.front() == QLatin1String("silent");
        if (silent)
            words.removeFirst();
        QList<QByteArray> codes;
        if (command == QLatin1String("error-storm") && words == QStringList{QStringLiteral("off")}) {
            simulator.model().startErrorStorm({}, 0);
            print(QStringLiteral("ok"));
            return true;
        }
        if (command == QLatin1String("error-storm")) {
            int count = 0;
            int first = 100;
            if (words.size() < 2 || words.size() > 3 || !parseCount(words, 1, &count)
                || (words.size() == 3 && !parseNumber(words, 2, &first)))
                return refuse(QStringLiteral("it takes MS and a COUNT, then a FIRST code if wanted; or off"));
            codes = TLKestrovanGeneratorModel::countingCodes(first, count);
        } else {
            if (words.size() < 2)
                return refuse(QStringLiteral("it takes MS and one CODE or more"));
            for (const QString &code : words.mid(1))
                codes << code.toLatin1();
        }
        if (!parseCount(words, 0, &number))
            return refuse(TakesMilliseconds);
        simulator.model().startErrorStorm(codes, number, !silent);
    } else if (command == QLatin1String("hold")) {
        bool on = false;
        if (!parseOnOff(args, &on))
            return refuse(TakesOnOff);
        simulator.sequence().setHoldAtExposureKey(on);
    } else {
        return false;
    }
    print(QStringLiteral("ok"));
    return true;
}

bool TLKestrovanSimulatorShell::runCommand(const QString &command, const QStringList &args,
                                           const QString &rest)
{
    TLKestrovanSimulatedLine &line = simulator.line();
    TLKestrovanGeneratorModel &model = simulator.model();
    TLKestrovanExposureSequence &sequence = simulator.sequence();
    const auto ok = [this] { print(QStringLiteral("ok")); };
    const auto sequenceStarted = [this](bool started) {
        print(started ? QStringLiteral("ok")
                      : QStringLiteral("error: a sequence is running or the line is down"));
    };
    static const QStringList takingNothing{QStringLiteral("help"),     QStringLiteral("status"),
                                           QStringLiteral("prepare"),  QStringLiteral("expose"),
                                           QStringLiteral("release"),  QStringLiteral("abort"),
                                           QStringLiteral("exposure"), QStringLiteral("states"),
                                           QStringLiteral("hangup"),   QStringLiteral("clear")};
    static const QStringList takingOnOff{QStringLiteral("power"), QStringLiteral("corrections"),
                                         QStringLiteral("dap"), QStringLiteral("pace"),
                                         QStringLiteral("trace")};
    static const QStringList takingCode{QStringLiteral("set"), QStringLiteral("get")};
    bool on = false;
    int number = 0;
    QByteArray payload;

    if (FaultCommands.contains(command))
        return runFaultCommand(command, args, rest);
    if (takingNothing.contains(command) && !args.isEmpty())
        return refuse(TakesNothing);
    if (takingOnOff.contains(command) && !parseOnOff(args, &on))
        return refuse(TakesOnOff);
    if (takingCode.contains(command)
        && (args.isEmpty() || !TLKestrovanGeneratorModel::codes().contains(args.front().toLatin1())))
        return refuse(QStringLiteral("CODE must be one of %1")
                          .arg(QString::fromLatin1(TLKestrovanGeneratorModel::codes().join(' '))));

    if (command == QLatin1String("help")) {
        print(helpText());
    } else if (command == QLatin1String("status")) {
        const TLKestrovanSimulatedLine::FloodCounts flood = line.floodCounts();
        print(QStringLiteral("st=%1 qs=%2 rr=%3 running=%4 bad-check-bytes=%5 dropped-acks=%6 "
                             "repeats=%7 given-up=%8 pending=%9")
                  .arg(model.status1())
                  .arg(model.status2())
                  .arg(QString::fromLatin1(model.value("rr")))
                  .arg(simulator.isRunning() ? QStringLiteral("yes") : QStringLiteral("no"))
                  .arg(line.badCheckBytes())
                  .arg(line.droppedAcknowledgements())
                  .arg(line.repeatedWrites())
                  .arg(line.givenUpTelegrams())
                  .arg(line.pendingTelegrams())
              + QStringLiteral(" flood=%1 flood-bytes=%2 flood-telegrams=%3 flood-echoes=%4 storm-left=%5")
                    .arg(floodName(line.flood()))
                    .arg(flood.bytes)
                    .arg(flood.telegrams)
                    .arg(flood.echoes)
                    .arg(model.errorStormLeft()));
    } else if (command == QLatin1String("power")) {
        model.setPowered(on);
        ok();
    } else if (command == QLatin1String("set")) {
        const QString value = rest.mid(args.front().size()).trimmed();
        if (value.isEmpty())
            return refuse(QStringLiteral("it takes a CODE and a VALUE"));
        model.setValue(args.front().toLatin1(), value.toLatin1());
        ok();
    } else if (command == QLatin1String("get")) {
        if (args.size() != 1)
            return refuse(QStringLiteral("it takes one CODE"));
        print(QStringLiteral("%1=%2").arg(args.front(),
                                          QString::fromLatin1(model.value(args.front().toLatin1()))));
    } else if (command == QLatin1String("error")) {
        if (args.size() != 1 || !parseNumber(args, 0, &number))
            return refuse(TakesErrorCode);
        model.injectError(args.front().toLatin1());
        ok();
    } else if (command == QLatin1String("corrections")) {
        model.setCorrections(on);
        ok();
    } else if (command == QLatin1String("dap")) {
        model.setDapEnabled(on);
        ok();
    } else if (command == QLatin1String("dose")) {
        bool isNumber = false;
        if (args.size() != 1 || (args.front().toDouble(&isNumber), !isNumber))
            return refuse(QStringLiteral("VALUE must be a decimal number such as 2.5"));
        model.setExposureDose(args.front().toLatin1());
        ok();
    } else if (command == QLatin1String("dose-zero")) {
        if (args.size() != 1 || !parseCount(args, 0, &number))
            return refuse(QStringLiteral("N must be a whole number, 0 or more"));
        model.setDoseZeroQueries(number);
        ok();
    } else if (command == QLatin1String("prepare")) {
        sequenceStarted(sequence.pressPrepare());
    } else if (command == QLatin1String("expose")) {
        sequenceStarted(sequence.pressExposure());
    } else if (command == QLatin1String("exposure")) {
        sequenceStarted(sequence.runExposure());
    } else if (command == QLatin1String("release")) {
        sequence.releaseKeys();
        ok();
    } else if (command == QLatin1String("abort")) {
        sequence.abortExposure();
        ok();
    } else if (command == QLatin1String("fail")) {
        if (args.size() > 1 || (args.size() == 1 && !parseNumber(args, 0, &number)))
            return refuse(TakesErrorCode);
        if (args.isEmpty())
            sequence.failExposure();
        else
            sequence.failExposure(args.front().toLatin1());
        ok();
    } else if (command == QLatin1String("release-timeout")) {
        if (args.size() != 1 || !parseCount(args, 0, &number))
            return refuse(TakesMilliseconds);
        sequence.setReleaseTimeoutMs(number);
        ok();
    } else if (command == QLatin1String("wait-exposure")) {
        int timeoutMs = DefaultExposureWaitMs;
        if (args.size() > 1
            || (args.size() == 1 && (!parseCount(args, 0, &timeoutMs) || timeoutMs > MaxWaitMs)))
            return refuse(TakesWait);
        const bool done = sequence.waitForExposureDone(timeoutMs);
        print(QStringLiteral("exposure: %1")
                  .arg(done ? outcomeName(sequence.exposureOutcome()) : QStringLiteral("not done")));
    } else if (command == QLatin1String("states")) {
        QStringList states;
        for (const QByteArray &state : line.exposureStates())
            states << QString::fromLatin1(state);
        print(QStringLiteral("states: %1").arg(states.join(QLatin1Char(' '))));
    } else if (command == QLatin1String("drop-acks")) {
        if (args.size() != 1 || !parseNumber(args, 0, &number) || number < -1)
            return refuse(QStringLiteral("N must be a whole number, or -1 for all"));
        line.dropAcknowledgements(number);
        ok();
    } else if (command == QLatin1String("drop-acks-for")) {
        if (args.size() != 1 || !parseCount(args, 0, &number))
            return refuse(TakesMilliseconds);
        line.dropAcknowledgementsFor(number);
        ok();
    } else if (command == QLatin1String("inject")) {
        if (args.size() != 1 || !parsePayload(args, 0, &payload))
            return refuse(TakesPayload);
        line.injectInAckWindow(payload);
        ok();
    } else if (command == QLatin1String("inject-before")) {
        if (args.size() != 2 || !parsePayload(args, 0, &payload))
            return refuse(TakesPayload + QStringLiteral(", followed by MS"));
        if (!parseCount(args, 1, &number))
            return refuse(TakesMilliseconds);
        line.injectBeforeAck(payload, number);
        ok();
    } else if (command == QLatin1String("send")) {
        if (args.size() != 1 || !parsePayload(args, 0, &payload))
            return refuse(TakesPayload);
        line.sendTelegram(payload);
        ok();
    } else if (command == QLatin1String("raw")) {
        const QByteArray digits = args.join(QString()).toLatin1();
        const QByteArray bytes = QByteArray::fromHex(digits);
        if (digits.isEmpty() || digits.size() % 2 != 0 || bytes.toHex() != digits.toLower())
            return refuse(QStringLiteral("HEX must be pairs of hexadecimal digits"));
        line.sendRaw(bytes);
        ok();
    } else if (command == QLatin1String("pace")) {
        line.setPacing(on);
        ok();
    } else if (command == QLatin1String("hangup")) {
        line.hangUp();
        ok();
    } else if (command == QLatin1String("trace")) {
        setTrace(on);
        ok();
    } else if (command == QLatin1String("transcript")) {
        if (!args.isEmpty())
            return writeTranscript(rest);
        for (const TLKestrovanSimulatedLine::TranscriptEntry &entry : line.transcript())
            print(formatEntry(entry));
    } else if (command == QLatin1String("clear")) {
        line.clearTranscript();
        ok();
    } else if (command == QLatin1String("sleep")) {
        if (args.size() != 1 || !parseCount(args, 0, &number) || number > MaxWaitMs)
            return refuse(TakesWait);
        std::this_thread::sleep_for(std::chrono::milliseconds(number));
        ok();
    } else {
        return false;
    }
    return true;
}
