// The generator simulator from the driver's end of its pseudo-terminal (a raw descriptor on the
// slave), set up and read through its command shell as a person at kestrovan-sim would.

#include "KestrovanTiming.h"
#include "TLKestrovanGeneratorSimulator.h"
#include "TLKestrovanSimulatorShell.h"
#include "TLTestMain.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QHash>
#include <QRegularExpression>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <utility>

using Simulator = TLKestrovanGeneratorSimulator;
using Line = TLKestrovanSimulatedLine;

namespace {
constexpr int AnswerMs = 3000; // far above the simulator's own latency of a few milliseconds
// An echo that has not come within the acknowledgement window does not count.
constexpr int NoEchoWindowMs = Kestrovan::AckWindowMs;
constexpr int QuietMs = 300; // the simulator has finished writing
constexpr int DelayMs = 500;   // power-on and focus-ready delays
constexpr int PollMs = 20;

const auto fromHex = [](const char *text) { return QByteArray::fromHex(text); };
// Telegrams as the driver sends them; the literal rows below anchor the arithmetic.
const auto tg = &Line::telegram;
} // namespace

class TestGeneratorSimulator : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        shell.reset(); // it refers to the simulator of the previous case
        ::close(std::exchange(fd, -1));
        buffer.clear();
        sim = std::make_unique<Simulator>();
        shell = std::make_unique<TLKestrovanSimulatorShell>(*sim,
                                                            [this](const QString &line) { output << line; });
        QVERIFY2(sim->start(), qPrintable(sim->errorString()));
        // The simulator's master is raw, and with it this slave.
        fd = ::open(qPrintable(sim->slavePath()), O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(fd >= 0);
        sim->model().setPowerOnDelayMs(DelayMs);
        sim->model().setFocusReadyDelayMs(DelayMs);
    }
    void line_data();
    void line() { simulator(); }
    void generator_data();
    void generator() { simulator(); }
    void exposure_data();
    void exposure() { simulator(); }
    void floods_data();
    void floods();
    void floodNobodyReads();
    void floodEchoesAreNotOwn();
    void refusals_data();
    void refusals();

private:
    void send(const QByteArray &bytes)
    {
        QCOMPARE(::write(fd, bytes.constData(), size_t(bytes.size())), ssize_t(bytes.size()));
    }
    // The next piece up to a byte with bit 7 set; empty after the time or on a hang-up.
    QByteArray piece(int timeoutMs)
    {
        char byte = 0;
        pollfd in{fd, POLLIN, 0};
        while (::poll(&in, 1, timeoutMs) > 0 && ::read(fd, &byte, 1) == 1) {
            buffer += byte;
            if (byte & 0x80)
                return std::exchange(buffer, QByteArray());
        }
        return {};
    }
    // Plays the driver until done(): echoes every good telegram, answers "prepare" and "exposure
    // check" with the release answers in play, and runs the shell command after each "@" when
    // its state arrives: "@0E03 release", or at "prepare ready" without a state ("@mute": echo
    // nothing more).
    bool serve(const std::function<bool()> &done, const QString &play)
    {
        QHash<QByteArray, QString> actions;
        const QRegularExpression atState(QStringLiteral("^([0-9A-F]{4}) (.*)$"));
        for (const QString &part : play.split(QLatin1Char('@')).mid(1)) {
            const QRegularExpressionMatch match = atState.match(part.trimmed());
            actions.insert(tg("xy" + (match.hasMatch() ? match.captured(1).toLatin1() : "0E01")),
                           match.hasMatch() ? match.captured(2) : part.trimmed());
        }
        bool mute = false;
        for (QDeadlineTimer deadline(Line::GiveUpMs + 2 * AnswerMs); !done();) {
            const QByteArray telegram = piece(PollMs);
            if (deadline.hasExpired())
                return false;
            const QString action = actions.value(telegram);
            mute = mute || action == QLatin1String("mute");
            if (mute || !isGood(telegram))
                continue;
            send(telegram.right(1));
            if (telegram == tg("xy0A01") && play.contains(QLatin1String("41")))
                send(tg("xr41"));
            if (telegram == tg("xy1003") && play.contains(QLatin1String("81")))
                send(tg("xr81"));
            if (!action.isEmpty())
                run(action);
        }
        return true;
    }
    static void columns();
    void simulator();
    static bool isGood(const QByteArray &piece) { return piece.size() >= 2 && tg(piece.chopped(1)) == piece; }
    // Reads what the simulator writes, echoing every good telegram but the withheld one, for forMs
    // or, with forMs 0, until it has been quiet for QuietMs; false when it was not quiet within
    // AnswerMs.
    bool collect(int forMs, QByteArrayList &pieces, QByteArray &bytes, const QByteArray &withheld = {})
    {
        QDeadlineTimer end(forMs > 0 ? forMs : AnswerMs);
        QDeadlineTimer quiet(QuietMs);
        while (!end.hasExpired() && (forMs > 0 || !quiet.hasExpired())) {
            char chunk[65536];
            pollfd in{fd, POLLIN, 0};
            const ssize_t n = ::poll(&in, 1, PollMs) > 0 ? ::read(fd, chunk, sizeof chunk) : 0;
            for (ssize_t i = 0; i < n; ++i) {
                buffer += chunk[i];
                if (chunk[i] & 0x80) {
                    pieces << std::exchange(buffer, QByteArray());
                    if (isGood(pieces.back()) && pieces.back() != withheld)
                        send(pieces.back().right(1));
                }
            }
            bytes.append(chunk, int(std::max<ssize_t>(n, 0)));
            if (n > 0)
                quiet.setRemainingTime(QuietMs);
        }
        return forMs > 0 || quiet.hasExpired();
    }
    // Runs shell commands separated by ";" and returns their output lines, joined by " / ".
    QString run(const QString &commands)
    {
        output.clear();
        for (const QString &command : commands.split(QLatin1Char(';'), Qt::SkipEmptyParts))
            shell->execute(command);
        return output.join(QLatin1String(" / "));
    }

    std::unique_ptr<Simulator> sim;
    std::unique_ptr<TLKestrovanSimulatorShell> shell;
    QStringList output;
    int fd = -1;
    QByteArray buffer;
};

void TestGeneratorSimulator::columns()
{
    QTest::addColumn<QString>("commands"); // for the shell first
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QString>("play");          // how the driver answers, see serve()
    QTest::addColumn<QByteArrayList>("bursts"); // what the simulator wrote, write by write
    QTest::addColumn<int>("gapMs");             // at least, from the first of them to the last
    QTest::addColumn<QString>("check");         // shell commands afterwards...
    QTest::addColumn<QString>("pattern");       // ...and what their output must match
}

namespace {
void row(const char *name, const char *commands, const QByteArray &sent, const char *play,
         const QByteArrayList &bursts, int gapMs, const char *check, const QString &pattern)
{
    QTest::newRow(name) << QString(commands) << sent << QString(play) << bursts << gapMs << QString(check)
                        << pattern;
}
} // namespace

// The line and its faults.
void TestGeneratorSimulator::line_data()
{
    columns();
    const QByteArray st = fromHex("73743FB8");
    const QByteArray echo = fromHex("B8");
    const QByteArrayList answered{echo, fromHex("737430B7")};
    // The line and its faults.
    row("query: echo, then the answer", "", st, "", answered, 0, "", "");
    row("bad check byte: no echo", "", fromHex("73743FB9"), "", {}, 0, "status", " bad-check-bytes=1 ");
    row("dropped acknowledgement", "drop-acks 1", st, "", {}, 0, "status", " dropped-acks=1 ");
    row("dropped for a while", "drop-acks-for 9000", st, "", {}, 0, "status", " dropped-acks=1 ");
    row("dropping is over", "drop-acks-for 10;sleep 100", st, "", answered, 0, "status", " dropped-acks=0 ");
    row("corrupt reply, repeated intact", "corrupt", st, "", {echo, fromHex("737430B6"), tg("st0")},
        Line::RepeatIntervalMs - 50, "status", " repeats=1 ");
    row("delayed reply", "delay 300", st, "", answered, 300, "", "");
    row("split reply", "split 150", st, "", {echo, fromHex("7374"), fromHex("30B7")}, 150, "", "");
    row("split by prefix, after 5 bytes", "split 150 xy 5;send vsV1.2;send xy1400", {}, "",
        {tg("vsV1.2"), fromHex("7879313430"), fromHex("3084")}, 150, "", "");
    row("split every telegram", "split 100 every;send vs1;send vs2", {}, "",
        {tg("vs1").left(2), tg("vs1").mid(2), tg("vs2").left(2), tg("vs2").mid(2)}, 200, "", "");
    row("corrupt by prefix, first write only", "corrupt xy;send vsV1.2;send xy1400", {}, "",
        {tg("vsV1.2"), fromHex("78793134303085"), tg("xy1400")}, Line::RepeatIntervalMs - 50, "status",
        " repeats=1 ");
    row("corrupt in every write", "corrupt st always", st, "",
        {echo, fromHex("737430B6"), fromHex("737430B6")}, Line::RepeatIntervalMs - 50, "", "");
    row("late reply for one code", "delay 300 xv", tg("xv?") + st, "",
        {fromHex("B1"), echo, tg("st0"), tg("xv")}, 300, "", "");
    // Two intervals apart, less a pass of the simulator's loop.
    row("spellings of an error code", "power on;error-codes 50 105 \"105 \" E5", {}, "",
        {tg("rr105"), tg("rr105 "), tg("rrE5")}, 90, "status", "^st=4224 .* rr=E5 .* storm-left=0$");
    row("silent error storm", "error-storm silent 20 3 200", {}, "", {}, 0, "sleep 300;status",
        "^ok / st=128 qs=0 rr=202 .* pending=0 .* storm-left=0$");
    row("inject with the echo", "inject xy0A01", st, "", {tg("xy0A01") + echo, tg("st0")}, 0, "", "");
    row("inject early", "inject-before xy1400 200", st, "", {tg("xy1400"), echo}, 200, "", "");
    row("send", "send vsV1.2", {}, "", {tg("vsV1.2")}, 0, "", "");
    row("raw", "raw 73 74 3F", {}, "", {fromHex("73743F")}, 0, "", "");
}

// The generator behind the line; each "sleep" outlasts the power-on and focus-ready delays twice.
void TestGeneratorSimulator::generator_data()
{
    columns();
    row("power on after its delay", "", tg("on1"), "", {fromHex("B0")}, 0, "status;sleep 1000;status",
        "^st=0 .* / st=4096 ");
    row("power off cancels it", "", tg("on1") + tg("on0"), "", {fromHex("B0")}, 0, "sleep 1000;status",
        "^ok / st=0 ");
    row("reset: error gone, then focus ready", "power on;error 105", tg("rs"), "", {fromHex("81")}, 0,
        "status;sleep 1000;status", "^st=4096 qs=0 rr=0 .* / st=5120 ");
    row("reset without power", "", tg("rs"), "", {fromHex("81")}, 0, "sleep 1000;status", "^ok / st=0 ");
    row("errors toggle bit 7", "power on;dap on;error 105;error 106", {}, "", {}, 0, "status",
        "^st=4096 qs=128 rr=106 ");
    row("kV clamped", "corrections on", tg("kv200"), "", {fromHex("AF")}, 0, "get kv", "^kv=150$");
    row("mAs rounded", "corrections on", tg("as12.34"), "", {fromHex("B8")}, 0, "get as", "^as=12.3$");
    row("no corrections", "", tg("kv200"), "", {fromHex("AF")}, 0, "get kv", "^kv=200$");
    row("dose reads zero first", "dose-zero 1;set xg 3.5", tg("xg?") + tg("xg?"), "",
        {fromHex("A0"), fromHex("A0"), tg("xg0"), tg("xg3.5")}, 0, "", "");
}

// Exposure sequences, answered as the driver would or would not.
void TestGeneratorSimulator::exposure_data()
{
    columns();
    const QString prepared = QStringLiteral("^states: 0A01 0C01 0D01 0E01");
    const QString exposed = prepared + " 0E03 1003 1103 1203 ";
    const char *const result = "states;wait-exposure;get rr;get xs;status";
    row("completed", "exposure", {}, "41 81", {}, 0, result,
        exposed + "1400 / exposure: completed / rr=0 / xs=200 ");
    row("exposure key at prepare ready", "prepare", {}, "41 81 @expose", {}, 0, result,
        exposed + "1403 / exposure: completed / rr=0 / xs=200 ");
    row("no prepare release", "release-timeout 300;exposure", {}, "", {}, 0, result,
        "^states: 0A01 0000 / exposure: not released \\(break\\) / rr=0 / xs= ");
    row("no exposure release", "release-timeout 300;exposure", {}, "41", {}, 0, result,
        prepared + " 0E03 1003 0000 / exposure: not released \\(break\\) / rr=0 / xs= ");
    row("keys let go", "prepare", {}, "41 @release", {}, 0, result,
        prepared + " 0000 / exposure: keys released \\(break\\) / rr=0 / xs= ");
    row("hold lifted", "hold on;prepare", {}, "41 81 @expose @0E03 sleep 300;hold off", {}, 0, result,
        exposed + "1403 / exposure: completed / ");
    // Held at 0E03 long enough for a sequence that did not hold to go on.
    row("keys let go after state 14 with both keys", "hold on;prepare", {},
        "41 81 @expose @0E03 sleep 300;release", {}, 0, result,
        prepared + " 0E03 0000 / exposure: keys released \\(break\\) / rr=0 / xs= ");
    row("abort", "prepare", {}, "41 @abort", {}, 0, result,
        prepared + " 0000 / exposure: aborted / rr=0 / xs= ");
    row("fail", "prepare", {}, "41 @fail 42", {}, 0, result,
        prepared + " 0100 / exposure: failed / rr=42 / xs= ");
    row("hang-up", "prepare", {}, "41 @hangup", {}, 0, result,
        prepared + " / exposure: link lost / rr=0 / xs= ");
    // Unechoed, a state is written every 500 ms for 8 s, then given up.
    row("state given up", "prepare", {}, "41 @mute", {}, 0, result,
        prepared + " / exposure: link lost / rr=0 / xs= / .* repeats=1[3-5] given-up=1 ");
}

void TestGeneratorSimulator::simulator()
{
    QFETCH(QString, commands);
    QFETCH(QByteArray, sent);
    QFETCH(QString, play);
    QFETCH(QByteArrayList, bursts);
    QFETCH(int, gapMs);
    QFETCH(QString, check);
    QFETCH(QString, pattern);
    QVERIFY(!run(commands).contains(QLatin1String("error")));
    send(sent);
    if (bursts.isEmpty() && !sent.isEmpty())
        QTest::qWait(NoEchoWindowMs);
    QVERIFY(serve(
        [&] {
            return sim->line().bytesToDriver().size() >= bursts.join().size()
                   && sim->sequence().exposureOutcome() != TLKestrovanExposureSequence::Outcome::Running;
        },
        play));
    QByteArrayList bytes;
    QList<qint64> times;
    for (const Line::TranscriptEntry &entry : sim->line().transcript()) {
        if (entry.direction == Line::Direction::ToDriver) {
            bytes << entry.bytes;
            times << entry.elapsedUs;
        }
    }
    if (sim->sequence().exposureOutcome() == TLKestrovanExposureSequence::Outcome::None)
        QCOMPARE(bursts.isEmpty() ? bytes : bytes.mid(0, bursts.size()), bursts);
    QVERIFY(gapMs == 0 || times.at(bursts.size() - 1) - times.first() >= qint64(gapMs) * 1000);
    QVERIFY2(run(check).contains(QRegularExpression(pattern)), qPrintable(output.join(QLatin1Char('|'))));
}

void TestGeneratorSimulator::floods_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("lineRate");
    QTest::addColumn<bool>("glued");             // own output may end a piece the flood began
    QTest::addColumn<double>("terminatorShare"); // of all bytes, roughly; -1: not checked
    QTest::addColumn<int>("good");               // flood pieces that are good telegrams: 1 all, 0 none
    QTest::addColumn<QString>("also");           // shell commands before the flood
    QTest::newRow("telegrams") << "telegrams" << true << false << -1.0 << 1 << "";
    // Nothing of the flood gets between the two halves of the reply.
    QTest::newRow("telegrams, split reply") << "telegrams" << true << false << -1.0 << 1 << "split 100";
    QTest::newRow("noise") << "noise" << true << false << 0.5 << 0 << "";
    QTest::newRow("unterminated") << "unterminated" << true << true << 0.0 << -1 << "";
    QTest::newRow("full speed") << "full-speed" << false << true << 0.5 << -1 << "";
}

void TestGeneratorSimulator::floods()
{
    QFETCH(QString, kind);
    QFETCH(bool, lineRate);
    QFETCH(bool, glued);
    QFETCH(double, terminatorShare);
    QFETCH(int, good);
    QFETCH(QString, also);
    constexpr int FloodMs = 400;
    QCOMPARE(run(also + ";flood " + kind), also.isEmpty() ? QStringLiteral("ok") : QStringLiteral("ok / ok"));
    QElapsedTimer clock;
    clock.start();
    send(fromHex("73743FB8"));
    QByteArrayList pieces;
    QByteArray bytes;
    collect(FloodMs, pieces, bytes);
    QCOMPARE(run("flood off"), QStringLiteral("ok"));
    const qint64 elapsedMs = clock.elapsed();
    QVERIFY2(collect(0, pieces, bytes), "the flood goes on");

    // The generator's own echo and reply arrive whole, between two flood pieces.
    const auto whole = [&](const QByteArray &own) {
        return std::any_of(pieces.begin(), pieces.end(), [&](const QByteArray &piece) {
            return piece == own || (glued && piece.endsWith(own));
        });
    };
    QVERIFY(whole(fromHex("B8")));
    QVERIFY(whole(tg("st0")));
    if (lineRate) // slack: a start of a few milliseconds' worth, and the last piece
        QVERIFY2(bytes.size() <= Line::LineRateBytesPerSecond * elapsedMs / 1000 + 64,
                 qPrintable(QString::number(bytes.size())));
    if (terminatorShare >= 0) {
        const auto terminators = std::count_if(bytes.begin(), bytes.end(), [](char b) { return b & 0x80; });
        QVERIFY(qAbs(double(terminators) / bytes.size() - terminatorShare) < 0.2);
    }
    int floodTelegrams = 0;
    for (const QByteArray &piece : pieces) {
        if (good < 0 || piece.size() < 2 || piece == tg("st0"))
            continue;
        QCOMPARE(int(isGood(piece)), good);
        floodTelegrams += good;
    }
    // Their echoes count as such and disturb nothing.
    QTRY_VERIFY_WITH_TIMEOUT(
        run("status").contains(QStringLiteral("repeats=0 given-up=0 pending=0 flood=off "
                                              "flood-bytes=%1 flood-telegrams=%2 flood-echoes=%2 ")
                                   .arg(bytes.size() - 5)
                                   .arg(floodTelegrams)),
        AnswerMs);
}

void TestGeneratorSimulator::floodNobodyReads()
{
    // The terminal fills up; a reply's write then gives up instead of holding the link thread.
    send(tg("st?"));
    QCOMPARE(run("flood full-speed;sleep 1500;flood off"), QStringLiteral("ok / ok / ok"));
    sim->stop();
    QVERIFY(!sim->isRunning());
}

void TestGeneratorSimulator::floodEchoesAreNotOwn()
{
    // Echoes of hundreds of flood telegrams, none of the generator's own: it is written again.
    QCOMPARE(run("send vs1;flood telegrams"), QStringLiteral("ok / ok"));
    QByteArrayList pieces;
    QByteArray bytes;
    collect(Line::RepeatIntervalMs + QuietMs, pieces, bytes, tg("vs1"));
    QCOMPARE(run("flood off"), QStringLiteral("ok"));
    QVERIFY(pieces.count(tg("vs1")) >= 2);
    QVERIFY(run("status").contains(QStringLiteral(" pending=1 ")));
}

// A command that cannot run says why and changes nothing.
void TestGeneratorSimulator::refusals_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("reason"); // how it starts
    const auto row = [](const char *command, const char *reason) {
        QTest::newRow(command) << QString(command) << QString(reason);
    };
    row("frobnicate", "no such command; \"help\" lists them");
    row("status now", "it takes no arguments");
    row("power maybe", "it takes on or off");
    row("drop-acks x", "N must be a whole number, or -1 for all");
    row("drop-acks -2", "N must be a whole number, or -1 for all");
    row("error abc", "CODE must be a whole number");
    row("set zz 1", "CODE must be one of fc dc em kv ");
    row("set kv", "it takes a CODE and a VALUE");
    row("dose much", "VALUE must be a decimal number");
    row("raw 7", "HEX must be pairs of hexadecimal digits");
    row("send vs 1", "PAYLOAD must be one word");
    row("sleep 600001", "MS must be a number of milliseconds from 0 to 600000");
    row("split 80 xy 0", "after MS come a PREFIX");
    row("transcript /nonexistent/t.trace", "/nonexistent/t.trace cannot be written: ");
}

void TestGeneratorSimulator::refusals()
{
    QFETCH(QString, command);
    QFETCH(QString, reason);
    const QString before = run("status");
    const QString answer = run(command);
    QVERIFY2(answer.startsWith(QStringLiteral("error: cannot run \"%1\": %2").arg(command, reason)),
             qPrintable(answer));
    QVERIFY2(!answer.contains(QLatin1String(" / ")), qPrintable(answer)); // one line
    QCOMPARE(run("status"), before);
}

TL_TEST_MAIN(TestGeneratorSimulator)
#include "tst_generatorsimulator.moc"
