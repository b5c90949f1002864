// The generator simulator from the driver's end of its pseudo-terminal (a raw descriptor on the
// slave), set up and read through its command shell as a person at kestrovan-sim would.

#include "KestrovanTiming.h"
#include "TLKestrovanGeneratorSimulator.h"
#include "TLKestrovanSimulatorShell.h"
#include "TLTestMain.h"

#include <QDeadlineTimer>
#include <QRegularExpression>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <utility>

using Simulator = TLKestrovanGeneratorSimulator;
using Line = TLKestrovanSimulatedLine;

namespace {
constexpr int AnswerMs = 3000; // far above the simulator's own latency of a few milliseconds
// An echo that has not come within the acknowledgement window does not count.
constexpr int NoEchoWindowMs = Kestrovan::AckWindowMs;
constexpr int DelayMs = 500; // power-on and focus-ready delays
constexpr int PollMs = 20;

// How the test, in the driver's place, answers beyond echoing.
enum Answer {
    EchoOnly = 0,
    PrepareRelease = 1,  // "xr41" to prepare on
    ExposureRelease = 2, // "xr81" to the exposure check
    MuteAtReady = 4      // no echo from prepare ready on
};

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
    static void columns();
    void simulator();
    // Plays the driver until done(): echoes every good telegram, gives the release answers, and
    // at "prepare ready" runs the shell commands atReady.
    bool serve(const std::function<bool()> &done, int answers, const QString &atReady)
    {
        bool mute = false;
        for (QDeadlineTimer deadline(Line::GiveUpMs + 2 * AnswerMs); !done();) {
            const QByteArray telegram = piece(PollMs);
            if (deadline.hasExpired())
                return false;
            mute = mute || (telegram == tg("xy0E01") && (answers & MuteAtReady));
            if (mute || telegram.size() < 2 || tg(telegram.chopped(1)) != telegram)
                continue;
            send(telegram.right(1));
            if (telegram == tg("xy0A01") && (answers & PrepareRelease))
                send(tg("xr41"));
            if (telegram == tg("xy1003") && (answers & ExposureRelease))
                send(tg("xr81"));
            if (telegram == tg("xy0E01") && !atReady.isEmpty())
                run(atReady);
        }
        return true;
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
    QTest::addColumn<QByteArrayList>("bursts"); // what the simulator wrote, write by write
    QTest::addColumn<int>("gapMs");             // at least, from the first of them to the last
    QTest::addColumn<QString>("check");         // shell commands afterwards...
    QTest::addColumn<QString>("pattern");       // ...and what their output must match
    QTest::addColumn<int>("answers");           // Answer flags, see serve()
    QTest::addColumn<QString>("atReady");       // shell commands at prepare ready
}

namespace {
void row(const char *name, const char *commands, const QByteArray &sent, const QByteArrayList &bursts,
         int gapMs, const char *check, const QString &pattern, int answers = EchoOnly,
         const char *atReady = "")
{
    QTest::newRow(name) << QString(commands) << sent << bursts << gapMs << QString(check) << pattern
                        << answers << QString(atReady);
}
} // namespace

// The line and its faults.
void TestGeneratorSimulator::line_data()
{
    columns();
    const QByteArray st = fromHex("73743FB8");
    const QByteArray echo = fromHex("B8");
    const QByteArrayList answered{echo, fromHex("737430B7")};
    row("query: echo, then the answer", "", st, answered, 0, "", "");
    row("bad check byte: no echo", "", fromHex("73743FB9"), {}, 0, "status", " bad-check-bytes=1 ");
    row("dropped acknowledgement", "drop-acks 1", st, {}, 0, "status", " dropped-acks=1 ");
    row("dropped for a while", "drop-acks-for 9000", st, {}, 0, "status", " dropped-acks=1 ");
    row("dropping is over", "drop-acks-for 10;sleep 100", st, answered, 0, "status", " dropped-acks=0 ");
    row("corrupt reply, repeated intact", "corrupt", st, {echo, fromHex("737430B6"), tg("st0")},
        Line::RepeatIntervalMs - 50, "status", " repeats=1 ");
    row("delayed reply", "delay 300", st, answered, 300, "", "");
    row("split reply", "split 150", st, {echo, fromHex("7374"), fromHex("30B7")}, 150, "", "");
    row("inject with the echo", "inject xy0A01", st, {tg("xy0A01") + echo, tg("st0")}, 0, "", "");
    row("inject early", "inject-before xy1400 200", st, {tg("xy1400"), echo}, 200, "", "");
    row("send", "send vsV1.2", {}, {tg("vsV1.2")}, 0, "", "");
    row("raw", "raw 73 74 3F", {}, {fromHex("73743F")}, 0, "", "");
    row("bad commands refused", "", {}, {}, 0, "frobnicate;raw 7;power maybe;drop-acks many",
        "^(error: cannot run \"[^\"]+\"; \"help\" lists the commands( / )?){4}$");
}

// The generator behind the line; each "sleep" outlasts the power-on and focus-ready delays twice.
void TestGeneratorSimulator::generator_data()
{
    columns();
    row("power on after its delay", "", tg("on1"), {fromHex("B0")}, 0, "status;sleep 1000;status",
        "^st=0 .* / st=4096 ");
    row("power off cancels it", "", tg("on1") + tg("on0"), {fromHex("B0")}, 0, "sleep 1000;status",
        "^ok / st=0 ");
    row("reset: error gone, then focus ready", "power on;error 105", tg("rs"), {fromHex("81")}, 0,
        "status;sleep 1000;status", "^st=4096 qs=0 rr=0 .* / st=5120 ");
    row("reset without power", "", tg("rs"), {fromHex("81")}, 0, "sleep 1000;status", "^ok / st=0 ");
    row("errors toggle bit 7", "power on;dap on;error 105;error 106", {}, {}, 0, "status",
        "^st=4096 qs=128 rr=106 ");
    row("kV clamped", "corrections on", tg("kv200"), {fromHex("AF")}, 0, "get kv", "^kv=150$");
    row("mAs rounded", "corrections on", tg("as12.34"), {fromHex("B8")}, 0, "get as", "^as=12.3$");
    row("no corrections", "", tg("kv200"), {fromHex("AF")}, 0, "get kv", "^kv=200$");
    row("dose reads zero first", "dose-zero 1;set xg 3.5", tg("xg?") + tg("xg?"),
        {fromHex("A0"), fromHex("A0"), tg("xg0"), tg("xg3.5")}, 0, "", "");
}

// Exposure sequences, answered as the driver would or would not.
void TestGeneratorSimulator::exposure_data()
{
    columns();
    const QString prepared = QStringLiteral("^states: 0A01 0C01 0D01 0E01");
    const QString exposed = prepared + " 0E03 1003 1103 1203 ";
    const char *const result = "states;wait-exposure;get rr;get xs;status";
    const int released = PrepareRelease | ExposureRelease;
    row("completed", "exposure", {}, {}, 0, result, exposed + "1400 / exposure: completed / rr=0 / xs=200 ",
        released);
    row("exposure key at prepare ready", "prepare", {}, {}, 0, result,
        exposed + "1403 / exposure: completed / rr=0 / xs=200 ", released, "expose");
    row("no prepare release", "release-timeout 300;exposure", {}, {}, 0, result,
        "^states: 0A01 0000 / exposure: not released \\(break\\) / rr=0 / xs= ");
    row("no exposure release", "release-timeout 300;exposure", {}, {}, 0, result,
        prepared + " 0E03 1003 0000 / exposure: not released \\(break\\) / rr=0 / xs= ", PrepareRelease);
    row("keys let go", "prepare", {}, {}, 0, result,
        prepared + " 0000 / exposure: keys released \\(break\\) / rr=0 / xs= ", PrepareRelease, "release");
    row("abort", "prepare", {}, {}, 0, result,
        prepared + " 0000 / exposure: aborted / rr=0 / xs= ", PrepareRelease, "abort");
    row("fail", "prepare", {}, {}, 0, result,
        prepared + " 0100 / exposure: failed / rr=42 / xs= ", PrepareRelease, "fail 42");
    row("hang-up", "prepare", {}, {}, 0, result,
        prepared + " / exposure: link lost / rr=0 / xs= ", PrepareRelease, "hangup");
    // Unechoed, a state is written every 500 ms for 8 s, then given up.
    row("state given up", "prepare", {}, {}, 0, result,
        prepared + " / exposure: link lost / rr=0 / xs= / .* repeats=1[3-5] given-up=1 ",
        PrepareRelease | MuteAtReady);
}

void TestGeneratorSimulator::simulator()
{
    QFETCH(QString, commands);
    QFETCH(QByteArray, sent);
    QFETCH(QByteArrayList, bursts);
    QFETCH(int, gapMs);
    QFETCH(QString, check);
    QFETCH(QString, pattern);
    QFETCH(int, answers);
    QFETCH(QString, atReady);
    QVERIFY(!run(commands).contains(QLatin1String("error")));
    send(sent);
    if (bursts.isEmpty() && !sent.isEmpty())
        QTest::qWait(NoEchoWindowMs);
    QVERIFY(serve(
        [&] {
            return sim->line().bytesToDriver().size() >= bursts.join().size()
                   && sim->sequence().exposureOutcome() != TLKestrovanExposureSequence::Outcome::Running;
        },
        answers, atReady));
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

TL_TEST_MAIN(TestGeneratorSimulator)
#include "tst_generatorsimulator.moc"
