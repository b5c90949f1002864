#include "TLGeneratorConfigData.h"
#include "TLGeneratorDriverKestrovan.h"
#include "TLHostDevice.h"
#include "TLKestrovanGeneratorSimulator.h"
#include "TLTestMain.h"
#include "TLTraceDecoder.h"
#include "TLTraceMeaning.h"
#include "TLTraceReader.h"
#include "TLTraceReport.h"
#include "TLTraceStream.h"
#include "TLTraceSummary.h"
#include "TLTraceTap.h"
#include "TLTraceTimeline.h"
#include "TLTraceWriter.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QXmlStreamReader>

#include <atomic>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

// kestrovan-trace: each deviation of the line flagged on exactly the bytes that deviate, the
// program's output on a fixed trace byte for byte, a tap that a whole run passes through
// unchanged, and the timeline picture.
class TestTrace : public QObject
{
    Q_OBJECT

    QTemporaryDir folder;

private slots:
    void valueMeanings_data();
    void valueMeanings();
    void readsChunkLines_data();
    void readsChunkLines();
    void flagsTheDeviatingBytes_data();
    void flagsTheDeviatingBytes();
    void decodesLiveAsTimePasses();
    void programPrintsTheGoldenOutput_data();
    void programPrintsTheGoldenOutput();
    void decodesATraceWhileItIsWritten_data();
    void decodesATraceWhileItIsWritten();
    void pictureSaysWhatItLeavesOut_data();
    void pictureSaysWhatItLeavesOut();
    void tapPassesAWholeRunUnchanged();
    void timelineHasAnArrowPerTelegramAndTheExposureBand();
};

Q_DECLARE_METATYPE(TLTraceChunk)
Q_DECLARE_METATYPE(TLTraceEvent::Flag)

// Direction, time and bytes: the chunks written by hand here have no clock.
static bool operator==(const TLTraceChunk &a, const TLTraceChunk &b)
{
    return a.direction == b.direction && a.elapsedUs == b.elapsedUs && a.bytes == b.bytes;
}

namespace QTest {
template <> char *toString(const TLTraceChunk &chunk)
{
    return qstrdup(chunk.line().constData());
}

template <> char *toString(const TLTraceEvent::Flag &flag)
{
    return qstrdup(qPrintable(TLTraceEvent::flagName(flag)));
}
} // namespace QTest

namespace {
using Sim = TLKestrovanGeneratorSimulator;
using Line = TLKestrovanSimulatedLine;
using Flag = TLTraceEvent::Flag;
using Direction = TLTraceChunk::Direction;
using Chunks = QList<TLTraceChunk>;
using Flags = QList<Flag>;

// Generous: the program decodes a small trace, but the machine may be busy.
constexpr int ProgramTimeoutMs = 30000;

// The text with its check byte: the XOR of its bytes, with the terminator bit set.
QByteArray telegram(const QByteArray &text)
{
    char check = 0;
    for (const char byte : text)
        check ^= byte;
    return text + char(check | 0x80);
}

QByteArray echo(const QByteArray &text)
{
    return telegram(text).right(1);
}

TLTraceChunk tx(qint64 ms, const QByteArray &bytes)
{
    return {Direction::Tx, ms * 1000, QByteArray(), bytes};
}

TLTraceChunk rx(qint64 ms, const QByteArray &bytes)
{
    return {Direction::Rx, ms * 1000, QByteArray(), bytes};
}

// The same telegram written every 500 ms, never echoed.
Chunks writtenAgain(const QByteArray &text, int writes)
{
    Chunks chunks;
    for (int write = 0; write < writes; ++write)
        chunks << tx(write * 500, telegram(text));
    return chunks;
}

QList<TLTraceChunk> chunksOf(const QList<Line::TranscriptEntry> &transcript)
{
    QList<TLTraceChunk> chunks;
    for (const Line::TranscriptEntry &entry : transcript)
        chunks.append({entry.direction == Line::Direction::FromDriver ? Direction::Tx : Direction::Rx,
                       entry.elapsedUs, QByteArray(), entry.bytes});
    return chunks;
}

// Each event that carries the flag, as the chunk of its direction, time and bytes.
Chunks withFlag(const QList<TLTraceEvent> &events, Flag flag)
{
    Chunks flagged;
    for (const TLTraceEvent &event : events) {
        if (event.has(flag))
            flagged << TLTraceChunk{event.direction, event.timeUs, QByteArray(), event.bytes};
    }
    return flagged;
}

// Direction and bytes of each telegram, in order.
QByteArrayList telegrams(const QList<TLTraceEvent> &events)
{
    QByteArrayList list;
    for (const TLTraceEvent &event : events) {
        if (event.kind == TLTraceEvent::Kind::Telegram)
            list << TLTraceChunk::directionName(event.direction) + QByteArray(" ") + event.bytes.toHex(' ');
    }
    return list;
}

QByteArray golden(const char *name)
{
    QFile file(QStringLiteral(KESTROVAN_TRACE_GOLDEN "/") + QLatin1String(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Runs kestrovan-trace to its end, with the input on its standard input unless it is null.
bool runProgram(QProcess &program, const QStringList &arguments, const QByteArray &input)
{
    // Neither the time zone nor the language of the machine may show in the output.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TZ"), QStringLiteral("Pacific/Chatham"));
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("de_DE.UTF-8"));
    program.setProcessEnvironment(environment);
    program.start(QStringLiteral(KESTROVAN_TRACE_PROGRAM), arguments);
    if (!program.waitForStarted(ProgramTimeoutMs))
        return false;
    program.write(input);
    program.closeWriteChannel();
    return program.waitForFinished(ProgramTimeoutMs) && program.exitStatus() == QProcess::NormalExit;
}
} // namespace

void TestTrace::valueMeanings_data()
{
    QTest::addColumn<QByteArray>("telegram"); // code and value
    QTest::addColumn<QString>("meaning");
    QTest::newRow("st 5248") << QByteArray("st5248") << "power, focus ready, error indication";
    QTest::newRow("st 4097: an unnamed bit by number") << QByteArray("st4097") << "power, bit 0";
    QTest::newRow("qs 128") << QByteArray("qs128") << "dose meter";
    QTest::newRow("qs 0") << QByteArray("qs0") << "no bit set";
    QTest::newRow("st x") << QByteArray("stx") << "not a number (reads as 0)";
    QTest::newRow("xy 0a01: digits as the driver reads them")
        << QByteArray("xy0a01") << "prepare on, prepare key";
    QTest::newRow("xy 1003") << QByteArray("xy1003") << "exposure check signal, both keys";
    QTest::newRow("xy 1400") << QByteArray("xy1400") << "exposure off, no key";
    QTest::newRow("xy 014: too short") << QByteArray("xy014") << "not four hexadecimal digits";
    QTest::newRow("xr 41") << QByteArray("xr41") << "prepare accepted";
    QTest::newRow("xr 81") << QByteArray("xr81") << "exposure accepted";
    QTest::newRow("rr 0") << QByteArray("rr0") << "no error";
    QTest::newRow("xs 200: half milliseconds") << QByteArray("xs200") << "100 ms";
    QTest::newRow("on 1") << QByteArray("on1") << "switch on";
}

void TestTrace::valueMeanings()
{
    QFETCH(QByteArray, telegram);
    QFETCH(QString, meaning);
    const int command = TLTraceMeaning::command(telegram.left(2));
    QVERIFY(command >= 0);
    QCOMPARE(TLTraceMeaning::valueMeaning(command, telegram.mid(2)), meaning);
}

void TestTrace::readsChunkLines_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("reason"); // empty: a chunk, written back as the same line
    const QByteArray head = "2025-01-31 12:00:00.004021 +0.004021 ";
    QTest::newRow("a chunk") << head + "TX  5 | 6b 76 37 30 9a | kv70." << QByteArray();
    QTest::newRow("a count that wraps around when tripled")
        << head + "RX 1431655766 | 6 | ." << QByteArray("the byte count does not match the bytes");
    QTest::newRow("an elapsed time beyond any recording")
        << QByteArray("2025-01-31 12:00:00.004021 +99999999999999.0 TX  1 | 9a | .")
        << QByteArray("no elapsed time \"+seconds\"");
}

void TestTrace::readsChunkLines()
{
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, reason);
    TLTraceChunk chunk;
    QByteArray why;
    QCOMPARE(TLTraceChunk::parse(line, chunk, why), reason.isEmpty());
    QCOMPARE(why, reason);
    if (reason.isEmpty())
        QCOMPARE(chunk.line(), line);
}

void TestTrace::flagsTheDeviatingBytes_data()
{
    QTest::addColumn<Chunks>("chunks");
    QTest::addColumn<Flag>("flag");
    QTest::addColumn<Chunks>("flagged"); // the events that carry the flag, in order
    QTest::addColumn<Flags>("besides");  // the other flags of the trace, in their order
    const QByteArray kv70 = telegram("kv70");
    const QByteArray st5248 = telegram("st5248");
    const QByteArray overlong(1100, 'a');

    QTest::newRow("wrong check byte of a reply")
        << Chunks{tx(0, telegram("kv?")), rx(4, echo("kv?")), rx(20, "kv70\x9b")} << Flag::WrongCheckByte
        << Chunks{rx(20, "kv70\x9b")} << Flags{};
    QTest::newRow("no telegram: one byte before the terminator")
        << Chunks{rx(0, "a\xe1")} << Flag::NoTelegram << Chunks{rx(0, "a\xe1")} << Flags{};
    QTest::newRow("no telegram: no code and a wrong check byte")
        << Chunks{rx(0, "ab\x99")} << Flag::NoTelegram << Chunks{rx(0, "ab\x99")} << Flags{};
    QTest::newRow("no telegram: bytes before a pause, then a telegram")
        << Chunks{rx(0, "ab"), rx(51, st5248), tx(55, echo("st5248"))} << Flag::NoTelegram
        << Chunks{rx(0, "ab")} << Flags{};
    QTest::newRow("no telegram: more than a telegram holds, the rest at the end")
        << Chunks{rx(0, overlong)} << Flag::NoTelegram
        << Chunks{rx(0, overlong.left(1070)), rx(0, overlong.left(30))} << Flags{};
    QTest::newRow("unknown code, right check byte")
        << Chunks{tx(0, telegram("qq1")), rx(4, echo("qq1"))} << Flag::UnknownCode
        << Chunks{tx(0, telegram("qq1"))} << Flags{};
    QTest::newRow("unknown code zz") << Chunks{rx(0, telegram("zz")), tx(4, echo("zz"))} << Flag::UnknownCode
                                     << Chunks{rx(0, telegram("zz"))} << Flags{};
    QTest::newRow("split by a pause of 51 ms") << Chunks{rx(0, "ma2"), rx(51, telegram("ma200").mid(3))}
                                               << Flag::Split << Chunks{rx(51, telegram("ma200"))} << Flags{};
    QTest::newRow("a pause of 50 ms splits nothing")
        << Chunks{rx(0, "ma2"), rx(50, telegram("ma200").mid(3))} << Flag::Split << Chunks{} << Flags{};
    QTest::newRow("written again, then echoed")
        << Chunks{tx(0, kv70), tx(500, kv70), rx(510, echo("kv70"))} << Flag::Repeat << Chunks{tx(500, kv70)}
        << Flags{Flag::NoAcknowledgement};
    QTest::newRow("echo after 501 ms") << Chunks{tx(0, kv70), rx(501, echo("kv70"))}
                                       << Flag::NoAcknowledgement << Chunks{tx(0, kv70)} << Flags{};
    QTest::newRow("echo after 500 ms is in time")
        << Chunks{tx(0, kv70), rx(500, echo("kv70"))} << Flag::NoAcknowledgement << Chunks{} << Flags{};
    QTest::newRow("no echo nor a second write within a second")
        << Chunks{tx(0, kv70), rx(1000, st5248)} << Flag::NoAcknowledgement << Chunks{tx(0, kv70)} << Flags{};
    QTest::newRow("no echo, the trace ends 600 ms later")
        << Chunks{tx(0, kv70), tx(600, telegram("ma?"))} << Flag::NoAcknowledgement << Chunks{tx(0, kv70)}
        << Flags{};
    QTest::newRow("given up: three writes, then a second of silence")
        << writtenAgain("kv70", 3) + Chunks{rx(2000, st5248)} << Flag::GiveUp << Chunks{tx(1000, kv70)}
        << Flags{Flag::NoAcknowledgement, Flag::Repeat};
    QTest::newRow("given up: written for 8 s until the trace ends")
        << writtenAgain("kv70", 16) << Flag::GiveUp << Chunks{tx(7500, kv70)}
        << Flags{Flag::NoAcknowledgement, Flag::Repeat};
    QTest::newRow("not given up: the trace ends in the window of the second write")
        << writtenAgain("kv70", 2) << Flag::GiveUp << Chunks{}
        << Flags{Flag::NoAcknowledgement, Flag::Repeat};
    QTest::newRow("unsolicited in the window of a setting")
        << Chunks{tx(0, kv70), rx(100, st5248), rx(110, echo("kv70")), tx(120, echo("st5248"))}
        << Flag::UnsolicitedInWindow << Chunks{rx(100, st5248)} << Flags{};
    QTest::newRow("a reply before the echo of its query is asked for")
        << Chunks{tx(0, telegram("st?")), rx(20, st5248), rx(30, echo("st?"))} << Flag::UnsolicitedInWindow
        << Chunks{} << Flags{};
    QTest::newRow("the generator writing again is not unsolicited again")
        << Chunks{rx(0, st5248), tx(400, kv70), rx(500, st5248), tx(510, echo("st5248")),
                  rx(520, echo("kv70"))}
        << Flag::UnsolicitedInWindow << Chunks{} << Flags{Flag::NoAcknowledgement, Flag::Repeat};
    QTest::newRow("an unsolicited copy of the reply crosses its query")
        << Chunks{tx(0, telegram("qs?")), rx(4, telegram("qs0") + echo("qs?")), rx(6, telegram("qs0")),
                  tx(54, echo("qs0")), tx(104, echo("qs0"))}
        << Flag::UnsolicitedInWindow << Chunks{rx(4, telegram("qs0"))} << Flags{};
    QTest::newRow("a clock that stands still writes nothing again")
        << Chunks{tx(0, kv70), tx(0, kv70), rx(0, echo("kv70"))} << Flag::Repeat << Chunks{} << Flags{};
    Chunks unechoed; // each another, all read at once
    for (int value = 0; value <= TLTraceDecoder::MaxAwaitingAck; ++value)
        unechoed << tx(0, telegram("kv" + QByteArray::number(value)));
    QTest::newRow("a clock that stands still: one more than 16 telegrams wait for their echo")
        << unechoed << Flag::NoAcknowledgement << Chunks{tx(0, telegram("kv0"))} << Flags{};
    Chunks busy{tx(0, telegram("rr?")), rx(0, echo("rr?"))};
    for (int event = 0; event < TLTraceDecoder::MaxOpenEvents; ++event)
        busy << rx(0, "\xa5");
    QTest::newRow("a clock that stands still: a query waits while 16384 events follow")
        << busy << Flag::NoReply << Chunks{tx(0, telegram("rr?"))} << Flags{Flag::LoneTerminator};
    QTest::newRow("lone terminator") << Chunks{rx(0, "\xa5")} << Flag::LoneTerminator << Chunks{rx(0, "\xa5")}
                                     << Flags{};
    QTest::newRow("an echo after a second acknowledges nothing")
        << Chunks{tx(0, kv70), rx(1000, echo("kv70"))} << Flag::LoneTerminator
        << Chunks{rx(1000, echo("kv70"))} << Flags{Flag::NoAcknowledgement};
    QTest::newRow("no reply within 3 s") << Chunks{tx(0, telegram("rr?")), rx(4, echo("rr?")), tx(3004, kv70)}
                                         << Flag::NoReply << Chunks{tx(0, telegram("rr?"))} << Flags{};
    QTest::newRow("a query never echoed waits for no reply")
        << Chunks{tx(0, telegram("rr?")), tx(3004, kv70)} << Flag::NoReply << Chunks{}
        << Flags{Flag::NoAcknowledgement};
}

void TestTrace::flagsTheDeviatingBytes()
{
    QFETCH(Chunks, chunks);
    QFETCH(Flag, flag);
    QFETCH(Chunks, flagged);
    QFETCH(Flags, besides);
    const QList<TLTraceEvent> events = TLTraceDecoder::decode(chunks);
    QCOMPARE(withFlag(events, flag), flagged);
    TLTraceSummary summary;
    for (const TLTraceEvent &event : events)
        summary.add(event);
    QCOMPARE(summary.count(flag), flagged.size());
    Flags others;
    for (const TLTraceEvent &event : events) {
        for (const TLTraceEvent::Finding &finding : event.findings) {
            if (finding.flag != flag && !others.contains(finding.flag))
                others << finding.flag;
        }
    }
    QCOMPARE(others, besides);
}

void TestTrace::decodesLiveAsTimePasses()
{
    // A tap hands each event on as soon as nothing can change it any more, not at the end.
    QList<TLTraceEvent> events;
    TLTraceDecoder decoder([&events](const TLTraceEvent &event) { events << event; });
    decoder.feed(tx(0, telegram("kv70")));
    QCOMPARE(events.size(), 0); // its echo is still to come
    decoder.feed(rx(10, echo("kv70")));
    QCOMPARE(events.size(), 1);
    QCOMPARE(events.constLast().ackDelayUs, qint64(10000));
    decoder.feed(tx(20, telegram("ma70")));
    decoder.advance(1019999);
    QCOMPARE(events.size(), 1); // it may still be written again
    decoder.advance(1020000);
    QCOMPARE(withFlag(events, Flag::NoAcknowledgement), Chunks{tx(20, telegram("ma70"))});
}

void TestTrace::programPrintsTheGoldenOutput_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("input"); // on standard input
    QTest::addColumn<bool>("drawn");       // with --svg
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<QByteArray>("errors");
    const QString trace = QStringLiteral(KESTROVAN_TRACE_GOLDEN "/line.trace");
    const QByteArray skipped =
        "kestrovan-trace: line 42 skipped: no \" | \" after the head of the line\n"
        "kestrovan-trace: line 43 skipped: more bytes than the count says\n"
        "kestrovan-trace: line 44 skipped: the bytes are not hexadecimal pairs separated "
        "by blanks\n";
    const QByteArray plain = golden("line.txt");
    const int summaryAt = plain.indexOf("\n\n== summary") + 2;
    QByteArray flagged; // the golden lines with a deviation, in the same form
    for (const QByteArray &line : plain.left(summaryAt).split('\n')) {
        if (line.contains("  !! "))
            flagged += line + '\n';
    }
    QByteArrayList objects = golden("line.jsonl").split('\n');
    objects.removeAll(QByteArray());
    QByteArray flaggedObjects;
    for (const QByteArray &object : qAsConst(objects)) {
        if (!object.contains("\"flags\":[]"))
            flaggedObjects += object + '\n';
    }
    QTest::newRow("plain, drawn") << QStringList{trace} << QByteArray() << true << 0 << plain << skipped;
    QTest::newRow("json from standard input") << QStringList{"--json", "-"} << golden("line.trace") << false
                                              << 0 << golden("line.jsonl") << skipped;
    QTest::newRow("--deviations: the flagged lines, then the summary")
        << QStringList{"--deviations", trace} << QByteArray() << false << 0
        << flagged + plain.mid(summaryAt - 1) << skipped;
    QTest::newRow("--deviations --json: the flagged objects, then the summary")
        << QStringList{"--deviations", "--json", trace} << QByteArray() << false << 0 << flaggedObjects
        << skipped;
    QTest::newRow("--summary, drawn: the picture shows all")
        << QStringList{"--summary", trace} << QByteArray() << true << 0 << plain.mid(summaryAt) << skipped;
    QTest::newRow("--summary --json") << QStringList{"--json", "--summary", trace} << QByteArray() << false
                                      << 0 << objects.constLast() + '\n'
                                      << skipped;
    QTest::newRow("--deviations of a trace without any")
        << QStringList{"--deviations", "-"}
        << TLTraceChunk{Direction::Tx, 0, "2025-01-31 12:00:00.000000", telegram("kv70")}.line() + '\n'
               + TLTraceChunk{Direction::Rx, 4000, "2025-01-31 12:00:00.004000", echo("kv70")}.line()
        << false << 0 // no blank line before the summary; the echo on the last line, without a line feed
        << QByteArray(R"(== summary: 12:00:00.000000 to 12:00:00.000000 (0.0 s)
telegrams (a telegram written again counts once): 1 host to generator (TX), 0 generator to host (RX)
  code  command                TX     RX
  kv    KV                      1      0
deviations: wrong check byte 0, no telegram 0, unknown code 0, split 0, written again 0, no acknowledgement in time 0, given up 0, unsolicited in a window 0, lone terminator 0, no reply 0
acknowledgement delay (TX, acknowledged by the generator): median 4.0 ms, 99th percentile 4.0 ms, maximum 4.0 ms (1)
acknowledgement delay (RX, acknowledged by the host): median -, 99th percentile -, maximum - (0)
query round trip: median -, 99th percentile - (0)
status poll: none seen
exposures: 0
)") << QByteArray();
    QTest::newRow("a text, no trace: exit status 1")
        << QStringList() << QByteArray("# Notes\nA README\n\nis no trace\r\n") << false << 1
        << QByteArray("== summary: nothing on the line\n")
        << QByteArray("kestrovan-trace: line 2 skipped: no \" | \" after the head of the line\n"
                      "kestrovan-trace: line 4 skipped: no \" | \" after the head of the line\n"
                      "kestrovan-trace: no telegram in standard input, and 2 lines that are no chunk of a "
                      "trace: is it a trace of kestrovan-host --trace?\n");
    QTest::newRow("bytes that form no telegram: exit status 1")
        << QStringList{"--deviations"}
        << QByteArray(70000, 'x') + "\n"
               + TLTraceChunk{Direction::Rx, 0, "2025-01-31 12:00:00.000000", "\xa5"}.line()
        << false << 1
        << QByteArray(
               R"(12:00:00.000000 RX  a5                       -- lone terminator  !! lone terminator a5 acknowledges no telegram

== summary: 12:00:00.000000 to 12:00:00.000000 (0.0 s)
telegrams (a telegram written again counts once): 0 host to generator (TX), 0 generator to host (RX)
  code  command                TX     RX
deviations: wrong check byte 0, no telegram 0, unknown code 0, split 0, written again 0, no acknowledgement in time 0, given up 0, unsolicited in a window 0, lone terminator 1, no reply 0
acknowledgement delay (TX, acknowledged by the generator): median -, 99th percentile -, maximum - (0)
acknowledgement delay (RX, acknowledged by the host): median -, 99th percentile -, maximum - (0)
query round trip: median -, 99th percentile - (0)
status poll: none seen
exposures: 0
)")
        << QByteArray(
               "kestrovan-trace: line 1 skipped: longer than 65536 bytes\n"
               "kestrovan-trace: no telegram in standard input, and a line that is no chunk of a trace: "
               "is it a trace of kestrovan-host --trace?\n");
    QTest::newRow("a folder") << QStringList{QStringLiteral(KESTROVAN_TRACE_GOLDEN)} << QByteArray() << false
                              << 1 << QByteArray()
                              << QByteArray("kestrovan-trace: cannot read " KESTROVAN_TRACE_GOLDEN
                                            ": Is a directory\n");
    QTest::newRow("--deviations with --summary")
        << QStringList{"--deviations", "--summary", trace} << QByteArray() << false << 2 << QByteArray()
        << QByteArray("kestrovan-trace: --deviations and --summary exclude each other: --summary prints no "
                      "telegram at all\nTry kestrovan-trace --help for the options.\n");
    QTest::newRow("--write without --tap")
        << QStringList{"--write", folder.filePath("tap.trace"), trace} << QByteArray() << false << 2
        << QByteArray()
        << QByteArray("kestrovan-trace: --write records a tap: it needs --tap\n"
                      "Try kestrovan-trace --help for the options.\n");
}

void TestTrace::programPrintsTheGoldenOutput()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, input);
    QFETCH(bool, drawn);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, output);
    QFETCH(QByteArray, errors);
    QVERIFY(!output.isEmpty() || exitCode != 0); // a golden file that went missing
    const QString picture = folder.filePath(QStringLiteral("line.svg"));
    QFile::remove(picture);
    if (drawn)
        arguments << QStringLiteral("--svg") << picture;

    QProcess program;
    QVERIFY(runProgram(program, arguments, input));
    // Line by line, so that a difference shows where it is.
    QCOMPARE(program.readAllStandardOutput().split('\n'), output.split('\n'));
    QCOMPARE(program.readAllStandardError(), errors);
    QCOMPARE(program.exitCode(), exitCode);

    QFile svg(picture);
    QCOMPARE(svg.open(QIODevice::ReadOnly), drawn);
    if (drawn) {
        QXmlStreamReader xml(&svg);
        QVERIFY(xml.readNextStartElement());
        QCOMPARE(xml.name().toString(), QStringLiteral("svg"));
    }
}

void TestTrace::decodesATraceWhileItIsWritten_data()
{
    QTest::addColumn<bool>("now");              // the chunk stamped with this moment's clock
    QTest::addColumn<bool>("decidedWhileOpen"); // its line printed before the input ends
    QTest::newRow("written now: a wait ends with the clock") << true << true;
    QTest::newRow("a saved trace through a pipe that stalls keeps its own time") << false << false;
}

void TestTrace::decodesATraceWhileItIsWritten()
{
    QFETCH(bool, now);
    QFETCH(bool, decidedWhileOpen);
    // The machine's own time zone: the program compares the chunk's clock with its own.
    QProcess program;
    program.start(QStringLiteral(KESTROVAN_TRACE_PROGRAM), {QStringLiteral("-")});
    QVERIFY(program.waitForStarted(ProgramTimeoutMs));
    // A telegram that nobody echoes; then the line stays quiet, the input open.
    const QByteArray clock = now ? TLTraceChunk::wallClock() : QByteArray("2025-01-31 12:00:00.000000");
    program.write(TLTraceChunk{Direction::Tx, 0, clock, telegram("kv70")}.line() + '\n');
    const qint64 decidedMs =
        (TLTraceDecoder::RepeatDeadlineUs + TLTraceDecoder::WindowSlackUs + TLTraceStream::GraceUs) / 1000;
    // Long for a line that comes (the machine may be busy); for one that must not, past its moment.
    const qint64 patienceMs = decidedWhileOpen ? ProgramTimeoutMs : decidedMs + 1000;
    QElapsedTimer waited;
    waited.start();
    QByteArray output;
    while (!output.contains("!! no acknowledgement") && waited.elapsed() < patienceMs) {
        program.waitForReadyRead(TLTraceStream::TickMs);
        output += program.readAllStandardOutput();
    }
    QCOMPARE(output.contains("!! no acknowledgement"), decidedWhileOpen);
    // Stopped, it decodes what it has read and sums it up.
    program.terminate();
    QVERIFY(program.waitForFinished(ProgramTimeoutMs));
    output += program.readAllStandardOutput();
    QCOMPARE(program.exitCode(), 0);
    QCOMPARE(output.count("kv KV (tube voltage, kV) = 70"), 1);
    // A saved trace ends before the telegram's wait does: nothing flagged that cannot be known.
    QCOMPARE(output.contains("!! no acknowledgement"), decidedWhileOpen);
    QVERIFY(output.contains("\n\n== summary: "));
    QCOMPARE(
        program.readAllStandardError(),
        QByteArray("kestrovan-trace: stopped before the end of standard input; the output holds what came "
                   "before\n"));
}

void TestTrace::pictureSaysWhatItLeavesOut_data()
{
    QTest::addColumn<QByteArray>("trace");
    QTest::addColumn<QStringList>("window");
    QTest::addColumn<int>("drawn"); // events in the picture
    QTest::addColumn<QByteArray>("leftOut");
    QTest::addColumn<int>("exitCode");
    const QByteArray line = golden("line.trace");
    QTest::newRow("from 2 s to 3 s") << line << QStringList{"--svg-from", "2", "--svg-to", "3.0"} << 10
                                     << QByteArray("10 of 36 events (2.000 s to 3.000 s into the trace): 13 "
                                                   "before and 13 after")
                                     << 0;
    QByteArray lone;
    for (int event = 0; event <= TLTraceReport::MaxPictureEvents; ++event)
        lone += TLTraceChunk{Direction::Tx, event * 1000, "2025-01-31 12:00:00.000000", "\xa5"}.line() + '\n';
    QTest::newRow("one event more than a picture holds, and no telegram")
        << lone << QStringList() << TLTraceReport::MaxPictureEvents
        << QByteArray("5000 of 5001 events (0.000 s to 4.999 s into the trace): 0 before and 1 after") << 1;
}

void TestTrace::pictureSaysWhatItLeavesOut()
{
    QFETCH(QByteArray, trace);
    QFETCH(QStringList, window);
    QFETCH(int, drawn);
    QFETCH(QByteArray, leftOut);
    QFETCH(int, exitCode);
    const QString path = folder.filePath(QStringLiteral("window.svg"));
    QProcess program;
    program.setStandardOutputFile(QProcess::nullDevice());
    QVERIFY(runProgram(program, window << "--svg" << path << "-", trace));
    QCOMPARE(program.exitCode(), exitCode);
    QFile picture(path);
    QVERIFY(picture.open(QIODevice::ReadOnly));
    const QByteArray svg = picture.readAll();
    QCOMPARE(svg.count("<g "), drawn); // a group per event
    // Said on standard error and in the picture alike.
    const QByteArray note = "the picture shows " + leftOut + " it left out";
    QVERIFY(program.readAllStandardError().contains(note));
    QVERIFY(svg.contains(note));
}

void TestTrace::tapPassesAWholeRunUnchanged()
{
    Sim sim;
    QVERIFY(sim.start());
    QTemporaryDir folder;
    QVERIFY(folder.isValid());

    // The host's side of the tap: the driver opens the slave, the tap reads the master.
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    QVERIFY(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
    char slave[128];
    QCOMPARE(::ptsname_r(master, slave, sizeof slave), 0);
    const int keeper = ::open(slave, O_RDWR | O_NOCTTY); // the master reads no hang-up between opens
    QString error;
    QVERIFY2(TLTraceTap::configurePort(master, error), qPrintable(error));
    const int generator = TLTraceTap::openPort(sim.slavePath(), error);
    QVERIFY2(generator >= 0, qPrintable(error));

    const QString tracePath = folder.filePath(QStringLiteral("tap.trace"));
    TLTraceWriter writer;
    QVERIFY(writer.open(tracePath));
    TLTraceTap tap;
    std::atomic<bool> ended{false};
    TLTraceTap::End end = TLTraceTap::End::Stopped;
    std::thread relay([&] {
        end = tap.run({master, QStringLiteral("host port")}, {generator, QStringLiteral("generator port")},
                      [&](const TLTraceChunk &chunk) { writer.write(chunk); }, {});
        ended = true;
    });

    {
        TLHostDevice device(QStringLiteral("kestrovan"));
        TLGeneratorDriverKestrovan driver;
        QSharedPointer<TLGeneratorConfigData> config(new TLGeneratorConfigData);
        config->portName = QString::fromLatin1(slave);
        driver.setDeviceConfig(config);
        driver.setDevice(&device);
        QVERIFY(driver.switchOn().isSuccess());
        driver.setKV(81);
        QVERIFY(sim.sequence().runExposure());
        QVERIFY(sim.sequence().waitForExposureDone(20000));
        QCOMPARE(sim.sequence().exposureOutcome(), TLKestrovanExposureSequence::Outcome::Completed);
        TLGeneratorSettings last;
        QVERIFY(driver.lastExposureSettings(last).isSuccess());
        QCOMPARE(last.kV, 81.0);
    }
    // The generator's line goes away (once it has read the driver's last echoes): the tap ends
    // by itself, its trace complete.
    QTest::qWait(200);
    sim.stop();
    QTRY_VERIFY_WITH_TIMEOUT(ended, 5000);
    tap.stop();
    relay.join();
    ::close(generator);
    ::close(keeper);
    ::close(master);
    QCOMPARE(end, TLTraceTap::End::PortGone);
    QVERIFY2(tap.message().contains(QLatin1String("generator port went away")), qPrintable(tap.message()));

    QFile trace(tracePath);
    QVERIFY(trace.open(QIODevice::ReadOnly));
    TLTraceReader reader(trace);
    QList<TLTraceChunk> chunks;
    QByteArray sent, received;
    for (TLTraceChunk chunk; reader.next(chunk);) {
        chunks << chunk;
        (chunk.direction == Direction::Tx ? sent : received) += chunk.bytes;
    }
    QCOMPARE(reader.skippedLines(), 0);
    QCOMPARE(sent.toHex(' '), sim.line().bytesFromDriver().toHex(' '));
    QCOMPARE(received.toHex(' '), sim.line().bytesToDriver().toHex(' '));

    const QList<TLTraceEvent> tapped = TLTraceDecoder::decode(chunks);
    QCOMPARE(telegrams(tapped), telegrams(TLTraceDecoder::decode(chunksOf(sim.line().transcript()))));
    // Until its switch-off the driver echoed everything in time and wrote nothing twice; only the
    // generator may have crossed a query with a telegram of its own.
    const auto switchOff = std::find_if(tapped.cbegin(), tapped.cend(), [](const TLTraceEvent &event) {
        return event.direction == Direction::Tx && event.bytes == Line::telegram("on0");
    });
    QVERIFY(switchOff != tapped.cend());
    for (auto event = tapped.cbegin(); event != switchOff; ++event) {
        for (const TLTraceEvent::Finding &finding : event->findings)
            QVERIFY2(finding.flag == Flag::UnsolicitedInWindow, qPrintable(finding.text));
    }
    QVERIFY(sim.line().telegramsFromDriver().contains(Line::telegram("xr81")));
    // What the generator took for good telegrams of the host, the decoder did too.
    QByteArrayList good;
    for (const TLTraceEvent &event : tapped) {
        if (event.direction == Direction::Tx && event.kind == TLTraceEvent::Kind::Telegram
            && event.checkByteRight)
            good << event.bytes;
    }
    QCOMPARE(good, QByteArrayList(sim.line().telegramsFromDriver()));
}

void TestTrace::timelineHasAnArrowPerTelegramAndTheExposureBand()
{
    // A status poll, the exposure of the hand switch as the generator reports it, each telegram
    // echoed, and a reply with a wrong check byte.
    const QList<QPair<Direction, QByteArray>> talk = {
        {Direction::Tx, "st?"},    {Direction::Rx, "st5120"}, {Direction::Rx, "xy0A01"},
        {Direction::Tx, "xr41"},   {Direction::Rx, "xy0C01"}, {Direction::Rx, "xy0D01"},
        {Direction::Rx, "xy0E01"}, {Direction::Rx, "xy0E03"}, {Direction::Rx, "xy1003"},
        {Direction::Tx, "xr81"},   {Direction::Rx, "xy1103"}, {Direction::Rx, "xy1203"},
        {Direction::Rx, "xy1400"}, {Direction::Tx, "kv?"}};
    QList<TLTraceChunk> chunks;
    qint64 us = 0;
    for (const auto &said : talk) {
        const QByteArray telegram = Line::telegram(said.second);
        const Direction echo = said.first == Direction::Tx ? Direction::Rx : Direction::Tx;
        chunks << TLTraceChunk{said.first, us += 10000, QByteArray(), telegram}
               << TLTraceChunk{echo, us += 2000, QByteArray(), telegram.right(1)};
    }
    chunks << TLTraceChunk{Direction::Rx, us + 10000, QByteArray(), "kv70\x9b"};
    const QList<TLTraceEvent> events = TLTraceDecoder::decode(chunks);
    TLTraceSummary summary;
    for (const TLTraceEvent &event : events)
        summary.add(event);
    QCOMPARE(summary.exposures().size(), 1);
    QCOMPARE(summary.exposures().constFirst().releases.size(), 2);
    QCOMPARE(summary.exposures().constFirst().releases.constLast().reactionTo, QByteArray("1003"));

    QBuffer svg;
    QVERIFY(svg.open(QIODevice::ReadWrite));
    QVERIFY(TLTraceTimeline(events, summary, QStringLiteral("test")).write(svg));
    svg.seek(0);
    QXmlStreamReader xml(&svg);
    int arrows = 0, flaggedArrows = 0;
    QSet<QString> bands;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        const QStringList classes =
            xml.attributes().value(QLatin1String("class")).toString().split(QLatin1Char(' '));
        if (xml.name() == QLatin1String("g") && classes.contains(QLatin1String("arrow"))) {
            ++arrows;
            flaggedArrows += classes.contains(QLatin1String("flagged"));
        }
        if (xml.name() == QLatin1String("rect") && classes.constFirst() == QLatin1String("band"))
            bands << classes.value(1);
    }
    QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
    QCOMPARE(arrows, talk.size() + 1);
    QCOMPARE(flaggedArrows, 1);
    QCOMPARE(bands, (QSet<QString>{"prepare", "ready", "check", "on", "end"}));
}

TL_TEST_MAIN(TestTrace)

#include "tst_trace.moc"
