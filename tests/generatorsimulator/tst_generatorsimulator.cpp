// The generator simulator seen from the driver's side of the pseudo-terminal: the test opens
// the slave as a plain raw file descriptor and plays the driver byte by byte.

#include "TLKestrovanGeneratorSimulator.h"
#include "TLKestrovanSimulatorShell.h"

#include <QElapsedTimer>
#include <QtTest>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <memory>

using Simulator = TLKestrovanGeneratorSimulator;
using Outcome = TLKestrovanGeneratorSimulator::ExposureOutcome;
Q_DECLARE_METATYPE(Outcome)

namespace {
// Limits for waits on the simulator: far above its own latency of a few milliseconds.
constexpr int AnswerMs = 2000;
constexpr int QuietMs = 300;          // "nothing comes" windows
constexpr int ReleaseTimeoutMs = 300; // shortened release wait for the break cases
constexpr int SequenceMs = 15000;

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

// The driver's arithmetic, written here again so that the simulator's is checked against it.
QByteArray withCheck(const QByteArray &payload)
{
    unsigned char sum = 0;
    for (const char byte : payload)
        sum ^= static_cast<unsigned char>(byte);
    return payload + char(sum | 0x80);
}

// The driver's end of the line, a raw file descriptor on the slave.
class DriverEnd
{
public:
    ~DriverEnd()
    {
        if (fd >= 0)
            ::close(fd);
    }

    bool open(const QString &path)
    {
        fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios settings{};
        if (fd < 0 || ::tcgetattr(fd, &settings) != 0)
            return false;
        ::cfmakeraw(&settings);
        return ::tcsetattr(fd, TCSANOW, &settings) == 0;
    }

    void send(const QByteArray &bytes)
    {
        QCOMPARE(::write(fd, bytes.constData(), size_t(bytes.size())), ssize_t(bytes.size()));
    }

    // The next piece up to and including a byte with bit 7 set; empty after timeoutMs.
    QByteArray piece(int timeoutMs)
    {
        QElapsedTimer clock;
        clock.start();
        for (;;) {
            const int end = terminatorIndex();
            if (end >= 0) {
                QByteArray result = buffer.left(end + 1);
                buffer.remove(0, end + 1);
                return result;
            }
            const qint64 left = timeoutMs - clock.elapsed();
            if (left <= 0)
                return QByteArray();
            fill(int(left));
        }
    }

    // Everything that arrives within ms.
    QByteArray readFor(int ms)
    {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < ms)
            fill(int(ms - clock.elapsed()));
        QByteArray result = buffer;
        buffer.clear();
        return result;
    }

    short pollEvents(int ms)
    {
        pollfd p{fd, POLLIN, 0};
        ::poll(&p, 1, ms);
        return p.revents;
    }

private:
    int terminatorIndex() const
    {
        for (int i = 0; i < buffer.size(); ++i)
            if (buffer.at(i) & 0x80)
                return i;
        return -1;
    }

    void fill(int ms)
    {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0 || !(p.revents & POLLIN))
            return;
        char chunk[256];
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n > 0)
            buffer.append(chunk, int(n));
    }

    int fd = -1;
    QByteArray buffer;
};

// Plays the driver through an exposure: echoes every telegram, answers "41" and "81" when
// asked to, and stops after the telegram `last` (or when nothing more comes).
QList<QByteArray> playDriver(DriverEnd &driver, const QByteArray &last, bool release41, bool release81)
{
    QList<QByteArray> received;
    for (;;) {
        const QByteArray piece = driver.piece(SequenceMs);
        if (piece.isEmpty())
            return received;
        if (piece.size() == 1)
            continue; // the simulator's echo of our release answer
        received << piece;
        driver.send(piece.right(1));
        if (piece == hex("787930413031F1")) {
            if (release41)
                driver.send(hex("787234318F"));
        } else if (piece == hex("78793130303383") && release81) {
            driver.send(hex("7872383183"));
        }
        if (piece == last)
            return received;
    }
}

QList<QByteArray> hexList(const QStringList &items)
{
    QList<QByteArray> list;
    for (const QString &item : items)
        list << QByteArray::fromHex(item.toLatin1());
    return list;
}
} // namespace

class tst_GeneratorSimulator : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void queryIsEchoedAndAnswered_data();
    void queryIsEchoedAndAnswered();
    void badCheckByteIsCountedNotEchoed_data();
    void badCheckByteIsCountedNotEchoed();
    void commandIsStoredAndCorrected_data();
    void commandIsStoredAndCorrected();

    void powerOnSetsBitAfterDelay();
    void powerOffCancelsPendingPowerOn();
    void resetLeadsToFocusReady();
    void resetWithoutPowerGivesNoFocusReady();
    void injectedErrorTogglesBit7();
    void dapBitInStatusWord2();

    void exposureFollowsWireExample();
    void missingReleaseSendsBreak_data();
    void missingReleaseSendsBreak();
    void handSwitchAndCommands_data();
    void handSwitchAndCommands();
    void doseReadsZeroFirst();

    void unacknowledgedTelegramIsRepeated();
    void unacknowledgedTelegramIsGivenUp();
    void oneTelegramInFlight();
    void droppedAcknowledgements();
    void acknowledgementsDroppedForAWhile();
    void corruptedReplyIsRepeatedIntact();
    void replyDelayAndSplit();
    void injectionInAckWindow();
    void injectionBeforeAck();

    void transcriptKeepsDirectionAndOrder();
    void hangUpClosesLine();
    void shellCommands();

private:
    std::unique_ptr<Simulator> sim;
    std::unique_ptr<DriverEnd> driver;
};

void tst_GeneratorSimulator::init()
{
    sim = std::make_unique<Simulator>();
    QVERIFY2(sim->start(), qPrintable(sim->errorString()));
    QVERIFY(sim->slavePath().startsWith(QLatin1String("/dev/")));
    driver = std::make_unique<DriverEnd>();
    QVERIFY(driver->open(sim->slavePath()));
}

void tst_GeneratorSimulator::cleanup()
{
    sim.reset();
    driver.reset();
}

// --- telegrams ----------------------------------------------------------------------------

void tst_GeneratorSimulator::queryIsEchoedAndAnswered_data()
{
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QByteArray>("reply");
    QTest::newRow("st? 73743FB8") << hex("73743FB8") << hex("737430B7");
    QTest::newRow("kv? 6B763FA2") << hex("6B763FA2") << hex("6B7637309A");
    QTest::newRow("vs? 76733FBA") << hex("76733FBA") << hex("767356312E32FE");
    QTest::newRow("rr? 72723FBF") << hex("72723FBF") << hex("727230B0");
    QTest::newRow("unknown zq? 7A713FB4") << hex("7A713FB4") << hex("7A718B");
}

void tst_GeneratorSimulator::queryIsEchoedAndAnswered()
{
    QFETCH(QByteArray, query);
    QFETCH(QByteArray, reply);
    driver->send(query);
    QCOMPARE(driver->piece(AnswerMs), query.right(1));
    QCOMPARE(driver->piece(AnswerMs), reply);
    driver->send(reply.right(1));
    QTRY_COMPARE_WITH_TIMEOUT(sim->acknowledgementsReceived(), 1, AnswerMs);
    // Acknowledged: no repeat follows.
    QCOMPARE(driver->readFor(Simulator::RepeatIntervalMs + QuietMs), QByteArray());
    QCOMPARE(sim->telegramsFromDriver(), QList<QByteArray>{query});
}

void tst_GeneratorSimulator::badCheckByteIsCountedNotEchoed_data()
{
    QTest::addColumn<QByteArray>("bad");
    QTest::newRow("st? with bit 0 flipped") << hex("73743FB9");
    QTest::newRow("st? with bit 4 flipped") << hex("73743FA8");
    QTest::newRow("kv70 with a byte changed") << hex("6B7637319A");
}

void tst_GeneratorSimulator::badCheckByteIsCountedNotEchoed()
{
    QFETCH(QByteArray, bad);
    driver->send(bad);
    QCOMPARE(driver->readFor(QuietMs), QByteArray());
    QTRY_COMPARE_WITH_TIMEOUT(sim->badCheckBytes(), 1, AnswerMs);
    QVERIFY(sim->telegramsFromDriver().isEmpty());
    QCOMPARE(sim->value("kv"), QByteArray("70")); // not handled either
    // The line is in step again for the next good telegram.
    driver->send(hex("73743FB8"));
    QCOMPARE(driver->piece(AnswerMs), hex("B8"));
}

void tst_GeneratorSimulator::commandIsStoredAndCorrected_data()
{
    QTest::addColumn<bool>("corrections");
    QTest::addColumn<QByteArray>("code");
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QByteArray>("stored");
    QTest::newRow("kv 200 as sent") << false << QByteArray("kv") << QByteArray("200") << QByteArray("200");
    QTest::newRow("kv 90 in range") << true << QByteArray("kv") << QByteArray("90") << QByteArray("90");
    QTest::newRow("kv 200 to 150") << true << QByteArray("kv") << QByteArray("200") << QByteArray("150");
    QTest::newRow("kv 20 to 40") << true << QByteArray("kv") << QByteArray("20") << QByteArray("40");
    QTest::newRow("as 12.34 to 12.3")
        << true << QByteArray("as") << QByteArray("12.34") << QByteArray("12.3");
    QTest::newRow("as 0.26 to 0.3") << true << QByteArray("as") << QByteArray("0.26") << QByteArray("0.3");
    QTest::newRow("ma 0 to 1") << true << QByteArray("ma") << QByteArray("0") << QByteArray("1");
    QTest::newRow("ma 900 to 800") << true << QByteArray("ma") << QByteArray("900") << QByteArray("800");
    QTest::newRow("ms 7000 to 6000") << true << QByteArray("ms") << QByteArray("7000") << QByteArray("6000");
    QTest::newRow("ms 0.5 to 1") << true << QByteArray("ms") << QByteArray("0.5") << QByteArray("1");
    QTest::newRow("fc 2 untouched") << true << QByteArray("fc") << QByteArray("2") << QByteArray("2");
}

void tst_GeneratorSimulator::commandIsStoredAndCorrected()
{
    QFETCH(bool, corrections);
    QFETCH(QByteArray, code);
    QFETCH(QByteArray, sent);
    QFETCH(QByteArray, stored);
    sim->setCorrections(corrections);
    const QByteArray command = withCheck(code + sent);
    driver->send(command);
    QCOMPARE(driver->piece(AnswerMs), command.right(1));
    // A command gets its echo and nothing else.
    QCOMPARE(driver->readFor(QuietMs), QByteArray());
    QCOMPARE(sim->value(code), stored);
    driver->send(withCheck(code + "?"));
    QCOMPARE(driver->piece(AnswerMs).size(), 1);
    QCOMPARE(driver->piece(AnswerMs), withCheck(code + stored));
}

// --- generator state ----------------------------------------------------------------------

void tst_GeneratorSimulator::powerOnSetsBitAfterDelay()
{
    constexpr int DelayMs = 300;
    sim->setPowerOnDelayMs(DelayMs);
    QElapsedTimer clock;
    clock.start();
    driver->send(hex("6F6E31B0"));
    QCOMPARE(driver->piece(AnswerMs), hex("B0"));
    QTRY_VERIFY_WITH_TIMEOUT(sim->status1() & 0x1000, 10 * DelayMs);
    QVERIFY(clock.elapsed() >= DelayMs);
    driver->send(hex("73743FB8"));
    QCOMPARE(driver->piece(AnswerMs), hex("B8"));
    QCOMPARE(driver->piece(AnswerMs), hex("737434303936"
                                          "8C")); // st4096
    driver->send(hex("8C"));
    driver->send(hex("6F6E30B1"));
    QCOMPARE(driver->piece(AnswerMs), hex("B1"));
    QTRY_COMPARE_WITH_TIMEOUT(sim->status1(), 0, AnswerMs);
}

void tst_GeneratorSimulator::powerOffCancelsPendingPowerOn()
{
    constexpr int DelayMs = 100;
    sim->setPowerOnDelayMs(DelayMs);
    driver->send(hex("6F6E31B0") + hex("6F6E30B1"));
    QCOMPARE(driver->readFor(QuietMs), hex("B0B1"));
    QTest::qWait(3 * DelayMs);
    QCOMPARE(sim->status1(), 0);
    QCOMPARE(sim->value("on"), QByteArray("0"));
}

void tst_GeneratorSimulator::resetLeadsToFocusReady()
{
    sim->setFocusReadyDelayMs(100);
    sim->setPowered(true);
    sim->injectError("105");
    QCOMPARE(sim->status1(), 0x1000 | 0x80);
    driver->send(hex("727381"));
    QCOMPARE(driver->piece(AnswerMs), hex("81"));
    QTRY_COMPARE_WITH_TIMEOUT(sim->status1(), 0x1000 | 0x400, AnswerMs);
    QCOMPARE(sim->value("rr"), QByteArray("0"));
    driver->send(hex("73743FB8"));
    QCOMPARE(driver->piece(AnswerMs), hex("B8"));
    QCOMPARE(driver->piece(AnswerMs), hex("7374353132"
                                          "3081")); // st5120
}

void tst_GeneratorSimulator::resetWithoutPowerGivesNoFocusReady()
{
    constexpr int DelayMs = 50;
    sim->setFocusReadyDelayMs(DelayMs);
    driver->send(hex("727381"));
    QCOMPARE(driver->piece(AnswerMs), hex("81"));
    QTest::qWait(10 * DelayMs);
    QCOMPARE(sim->status1(), 0);
}

void tst_GeneratorSimulator::injectedErrorTogglesBit7()
{
    sim->injectError("105");
    QCOMPARE(sim->status1(), 0x80);
    driver->send(hex("72723FBF"));
    QCOMPARE(driver->piece(AnswerMs), hex("BF"));
    QCOMPARE(driver->piece(AnswerMs), hex("7272313035B4")); // rr105
    driver->send(hex("B4"));
    // A second fault flips the bit back, so the driver sees a change again.
    sim->injectError("106");
    QCOMPARE(sim->status1(), 0);
    QCOMPARE(sim->value("rr"), QByteArray("106"));
}

void tst_GeneratorSimulator::dapBitInStatusWord2()
{
    sim->setDapEnabled(true);
    driver->send(hex("71733FBD"));
    QCOMPARE(driver->piece(AnswerMs), hex("BD"));
    QCOMPARE(driver->piece(AnswerMs), hex("7173313238B9")); // qs128
    driver->send(hex("B9"));
    sim->setDapEnabled(false);
    QCOMPARE(sim->status2(), 0);
}

// --- exposure -----------------------------------------------------------------------------

void tst_GeneratorSimulator::exposureFollowsWireExample()
{
    QVERIFY(sim->runExposure());
    QVERIFY(!sim->runExposure()); // one sequence at a time
    const QList<QByteArray> expected = hexList({
        "787930413031F1",
        "787930433031F3",
        "787930443031F4",
        "787930453031F5",
        "787930453033F7",
        "78793130303383",
        "78793131303382",
        "78793132303381",
        "78793134303084",
    });
    QCOMPARE(playDriver(*driver, expected.last(), true, true), expected);
    QVERIFY(sim->waitForExposureDone(AnswerMs));
    QCOMPARE(sim->exposureOutcome(), Outcome::Completed);
    QCOMPARE(sim->exposureStates(),
             (QList<QByteArray>{"0A01", "0C01", "0D01", "0E01", "0E03", "1003", "1103", "1203", "1400"}));
    QCOMPARE(sim->countTelegramsFromDriver("xr41"), 1);
    QCOMPARE(sim->countTelegramsFromDriver("xr81"), 1);
    QCOMPARE(sim->value("xv"), QByteArray("70"));
    QCOMPARE(sim->value("xa"), QByteArray("20"));
    QCOMPARE(sim->value("xm"), QByteArray("200"));
    QCOMPARE(sim->value("xs"), QByteArray("200")); // twice the 100 ms
    QCOMPARE(sim->value("xg"), QByteArray("2.5"));
}

void tst_GeneratorSimulator::missingReleaseSendsBreak_data()
{
    QTest::addColumn<bool>("release41");
    QTest::addColumn<QList<QByteArray>>("states");
    QTest::newRow("no prepare release") << false << QList<QByteArray>{"0A01", "0000"};
    QTest::newRow("no exposure release")
        << true << QList<QByteArray>{"0A01", "0C01", "0D01", "0E01", "0E03", "1003", "0000"};
}

void tst_GeneratorSimulator::missingReleaseSendsBreak()
{
    QFETCH(bool, release41);
    QFETCH(QList<QByteArray>, states);
    sim->setReleaseTimeoutMs(ReleaseTimeoutMs);
    QVERIFY(sim->runExposure());
    const QList<QByteArray> received = playDriver(*driver, hex("78793030303081"), release41, false);
    QCOMPARE(received.size(), states.size());
    QCOMPARE(received.last(), hex("78793030303081"));
    QVERIFY(sim->waitForExposureDone(AnswerMs));
    QCOMPARE(sim->exposureOutcome(), Outcome::NotReleased);
    QCOMPARE(sim->exposureStates(), states);
    QCOMPARE(sim->value("xv"), QByteArray()); // no exposure, no exposure values
}

void tst_GeneratorSimulator::handSwitchAndCommands_data()
{
    QTest::addColumn<QString>("action"); // done once the prepare phase has reached 0E01
    QTest::addColumn<QByteArray>("last");
    QTest::addColumn<Outcome>("outcome");
    QTest::newRow("release keys") << "release" << QByteArray("0000") << Outcome::KeysReleased;
    QTest::newRow("abort") << "abort" << QByteArray("0000") << Outcome::Aborted;
    QTest::newRow("fail") << "fail" << QByteArray("0100") << Outcome::Failed;
    QTest::newRow("exposure key held") << "expose" << QByteArray("1403") << Outcome::Completed;
}

void tst_GeneratorSimulator::handSwitchAndCommands()
{
    QFETCH(QString, action);
    QFETCH(QByteArray, last);
    QFETCH(Outcome, outcome);
    QVERIFY(sim->pressPrepare());
    const QByteArray ready = hex("78793045303"
                                 "1F5");
    QCOMPARE(playDriver(*driver, ready, true, true).last(), ready);
    // The sequence holds at "prepare ready" while only the prepare key is pressed.
    QCOMPARE(driver->readFor(QuietMs), QByteArray());
    if (action == QLatin1String("release"))
        sim->releaseKeys();
    else if (action == QLatin1String("abort"))
        sim->abortExposure();
    else if (action == QLatin1String("fail"))
        sim->failExposure("42");
    else
        QVERIFY(sim->pressExposure());
    const QByteArray closing = withCheck("xy" + last);
    QCOMPARE(playDriver(*driver, closing, true, true).last(), closing);
    QVERIFY(sim->waitForExposureDone(AnswerMs));
    QCOMPARE(sim->exposureOutcome(), outcome);
    QCOMPARE(sim->exposureStates().last(), last);
    QCOMPARE(sim->value("rr"), QByteArray(action == QLatin1String("fail") ? "42" : "0"));
}

void tst_GeneratorSimulator::doseReadsZeroFirst()
{
    sim->setLastExposure("81", "12.5", "250", "100", "3.5");
    sim->setDoseZeroQueries(2);
    QList<QByteArray> replies;
    for (int i = 0; i < 3; ++i) {
        driver->send(hex("78673FA0"));
        QCOMPARE(driver->piece(AnswerMs), hex("A0"));
        replies << driver->piece(AnswerMs);
        driver->send(replies.last().right(1));
    }
    QCOMPARE(replies, (QList<QByteArray>{hex("78"
                                             "6730AF"),
                                         hex("786730AF"), withCheck("xg3.5")}));
    QCOMPARE(sim->value("xv"), QByteArray("81"));
}

// --- the line: echo, repeat, faults ------------------------------------------------------

void tst_GeneratorSimulator::unacknowledgedTelegramIsRepeated()
{
    sim->sendTelegram("xy0A01");
    QElapsedTimer clock;
    QCOMPARE(driver->piece(AnswerMs), hex("78793041303"
                                          "1F1"));
    clock.start();
    QCOMPARE(driver->piece(4 * Simulator::RepeatIntervalMs), hex("78793041303"
                                                                 "1F1"));
    // Not earlier than the repeat interval (less a little for the two clocks).
    QVERIFY2(clock.elapsed() >= Simulator::RepeatIntervalMs - 50,
             qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(driver->piece(4 * Simulator::RepeatIntervalMs), hex("78793041303"
                                                                 "1F1"));
    driver->send(hex("F1"));
    QTRY_COMPARE_WITH_TIMEOUT(sim->pendingTelegrams(), 0, AnswerMs);
    QCOMPARE(driver->readFor(Simulator::RepeatIntervalMs + QuietMs), QByteArray());
    QCOMPARE(sim->repeatedWrites(), 2);
    QCOMPARE(sim->exposureStates(), QList<QByteArray>{"0A01"}); // first write only
}

void tst_GeneratorSimulator::unacknowledgedTelegramIsGivenUp()
{
    sim->sendTelegram("vsV1.2");
    sim->sendTelegram("xy0000");
    int copies = 0;
    QElapsedTimer clock;
    clock.start();
    QByteArray piece;
    while ((piece = driver->piece(Simulator::GiveUpMs + 2000)) == hex("767356312E32FE"))
        ++copies;
    // The next telegram follows only once the first one was given up.
    QCOMPARE(piece, hex("78793030303081"));
    QVERIFY(clock.elapsed() >= Simulator::GiveUpMs - 100);
    QVERIFY2(copies >= 2 && copies <= Simulator::GiveUpMs / Simulator::RepeatIntervalMs,
             qPrintable(QString::number(copies)));
    QCOMPARE(sim->givenUpTelegrams(), 1);
    driver->send(hex("81"));
    QTRY_COMPARE_WITH_TIMEOUT(sim->pendingTelegrams(), 0, AnswerMs);
}

void tst_GeneratorSimulator::oneTelegramInFlight()
{
    driver->send(hex("73743FB8"));
    QCOMPARE(driver->piece(AnswerMs), hex("B8"));
    QCOMPARE(driver->piece(AnswerMs), hex("737430B7"));
    // Second query while the first reply waits for its echo: echoed at once, answered later.
    driver->send(hex("6B763FA2"));
    QCOMPARE(driver->piece(AnswerMs), hex("A2"));
    QByteArray piece = driver->piece(4 * Simulator::RepeatIntervalMs);
    QCOMPARE(piece, hex("737430B7")); // the repeat, not the kv reply
    driver->send(hex("B7"));
    QCOMPARE(driver->piece(AnswerMs), hex("6B7637309A"));
}

void tst_GeneratorSimulator::droppedAcknowledgements()
{
    sim->dropAcknowledgements(1);
    driver->send(hex("73743FB8"));
    QCOMPARE(driver->readFor(QuietMs), QByteArray()); // no echo and no reply
    driver->send(hex("73743FB8"));
    QCOMPARE(driver->piece(AnswerMs), hex("B8"));
    QCOMPARE(driver->piece(AnswerMs), hex("737430B7"));
    driver->send(hex("B7"));
    QCOMPARE(sim->droppedAcknowledgements(), 1);

    sim->dropAcknowledgements(-1);
    for (int i = 0; i < 3; ++i)
        driver->send(hex("6F6E31B0"));
    QCOMPARE(driver->readFor(QuietMs), QByteArray());
    QTRY_COMPARE_WITH_TIMEOUT(sim->droppedAcknowledgements(), 4, AnswerMs);
    QCOMPARE(sim->status1(), 0); // dropped telegrams are not handled
    sim->dropAcknowledgements(0);
    driver->send(hex("72723FBF"));
    QCOMPARE(driver->piece(AnswerMs), hex("BF"));
    QCOMPARE(sim->telegramsFromDriver().size(), 6);
}

void tst_GeneratorSimulator::acknowledgementsDroppedForAWhile()
{
    constexpr int WhileMs = 400;
    sim->dropAcknowledgementsFor(WhileMs);
    driver->send(hex("73743FB8"));
    QCOMPARE(driver->readFor(QuietMs), QByteArray());
    QTest::qWait(WhileMs);
    driver->send(hex("73743FB8"));
    QCOMPARE(driver->piece(AnswerMs), hex("B8"));
}

void tst_GeneratorSimulator::corruptedReplyIsRepeatedIntact()
{
    sim->corruptNextReply();
    driver->send(hex("73743FB8"));
    QCOMPARE(driver->piece(AnswerMs), hex("B8"));
    QCOMPARE(driver->piece(AnswerMs), hex("737430B6"));
    QCOMPARE(driver->piece(4 * Simulator::RepeatIntervalMs), hex("737430B7"));
    driver->send(hex("B7"));
    QTRY_COMPARE_WITH_TIMEOUT(sim->pendingTelegrams(), 0, AnswerMs);
}

void tst_GeneratorSimulator::replyDelayAndSplit()
{
    constexpr int DelayMs = 300;
    constexpr int GapMs = 150;
    sim->setReplyDelayMs(DelayMs);
    sim->splitNextReply(GapMs);
    driver->send(hex("73743FB8"));
    QCOMPARE(driver->piece(AnswerMs), hex("B8"));
    QCOMPARE(driver->readFor(DelayMs / 2), QByteArray()); // the reply waits
    QCOMPARE(driver->piece(AnswerMs), hex("737430B7"));
    driver->send(hex("B7"));
    QTRY_COMPARE_WITH_TIMEOUT(sim->pendingTelegrams(), 0, AnswerMs);

    QList<Simulator::TranscriptEntry> toDriver;
    for (const Simulator::TranscriptEntry &entry : sim->transcript())
        if (entry.direction == Simulator::Direction::ToDriver)
            toDriver << entry;
    QCOMPARE(toDriver.size(), 3);
    QCOMPARE(toDriver.at(1).bytes, hex("7374"));
    QCOMPARE(toDriver.at(2).bytes, hex("30B7"));
    QVERIFY(toDriver.at(1).elapsedUs - toDriver.at(0).elapsedUs >= qint64(DelayMs) * 1000 - 10000);
    QVERIFY(toDriver.at(2).elapsedUs - toDriver.at(1).elapsedUs >= qint64(GapMs) * 1000);
}

void tst_GeneratorSimulator::injectionInAckWindow()
{
    sim->injectInAckWindow("xy0A01");
    driver->send(hex("73743FB8"));
    QCOMPARE(driver->piece(AnswerMs), hex("78793041303"
                                          "1F1"));
    QCOMPARE(driver->piece(AnswerMs), hex("B8"));
    QCOMPARE(driver->piece(AnswerMs), hex("737430B7"));
    const QList<Simulator::TranscriptEntry> entries = sim->transcript();
    QVERIFY(entries.size() >= 2);
    QCOMPARE(entries.at(1).direction, Simulator::Direction::ToDriver);
    QCOMPARE(entries.at(1).bytes, hex("78793041303"
                                      "1F1"
                                      "B8")); // one burst
    // Its echo is taken, and the reply's own echo still counts.
    driver->send(hex("F1B7"));
    QTRY_COMPARE_WITH_TIMEOUT(sim->acknowledgementsReceived(), 2, AnswerMs);
    QCOMPARE(sim->pendingTelegrams(), 0);
}

void tst_GeneratorSimulator::injectionBeforeAck()
{
    constexpr int GapMs = 200;
    sim->injectBeforeAck("xy1400", GapMs);
    driver->send(hex("6F6E30B1"));
    QCOMPARE(driver->piece(AnswerMs), hex("78793134303084"));
    QCOMPARE(driver->piece(AnswerMs), hex("B1"));
    const QList<Simulator::TranscriptEntry> entries = sim->transcript();
    QCOMPARE(entries.size(), 3);
    QCOMPARE(entries.at(1).bytes, hex("78793134303084"));
    QCOMPARE(entries.at(2).bytes, hex("B1"));
    QVERIFY(entries.at(2).elapsedUs - entries.at(1).elapsedUs >= qint64(GapMs) * 1000);
}

// --- observation --------------------------------------------------------------------------

void tst_GeneratorSimulator::transcriptKeepsDirectionAndOrder()
{
    driver->send(hex("73743FB8"));
    QCOMPARE(driver->piece(AnswerMs), hex("B8"));
    QCOMPARE(driver->piece(AnswerMs), hex("737430B7"));
    driver->send(hex("B7"));
    QVERIFY(sim->waitForTelegramFromDriver("st?", AnswerMs));
    QVERIFY(sim->waitForIdle(AnswerMs));
    QTRY_COMPARE_WITH_TIMEOUT(sim->bytesFromDriver(), hex("73743FB8B7"), AnswerMs);

    // Runs of one direction, in order, with time stamps that never go back.
    QList<QPair<Simulator::Direction, QByteArray>> runs;
    qint64 previous = -1;
    for (const Simulator::TranscriptEntry &entry : sim->transcript()) {
        QVERIFY(entry.elapsedUs >= previous);
        previous = entry.elapsedUs;
        if (!runs.isEmpty() && runs.last().first == entry.direction)
            runs.last().second += entry.bytes;
        else
            runs.append({entry.direction, entry.bytes});
    }
    const QList<QPair<Simulator::Direction, QByteArray>> expected{
        {Simulator::Direction::FromDriver, hex("73743FB8")},
        {Simulator::Direction::ToDriver, hex("B8737430B7")},
        {Simulator::Direction::FromDriver, hex("B7")},
    };
    QCOMPARE(runs, expected);
    QCOMPARE(sim->bytesToDriver(), hex("B8737430B7"));
    QCOMPARE(sim->countTelegramsFromDriver("st?"), 1);
    QVERIFY(!sim->waitForTelegramFromDriver("kv?", 50));

    sim->clearTranscript();
    QVERIFY(sim->transcript().isEmpty());
    QVERIFY(sim->telegramsFromDriver().isEmpty());
    QCOMPARE(sim->countTelegramsFromDriver("st?"), 0);
}

void tst_GeneratorSimulator::hangUpClosesLine()
{
    sim->hangUp();
    QTRY_VERIFY_WITH_TIMEOUT(!sim->isRunning(), AnswerMs);
    QVERIFY(driver->pollEvents(AnswerMs) & POLLHUP);
    QVERIFY(!sim->runExposure());
    // A new start opens a new line.
    QVERIFY(sim->start());
    DriverEnd again;
    QVERIFY(again.open(sim->slavePath()));
    again.send(hex("73743FB8"));
    QCOMPARE(again.piece(AnswerMs), hex("B8"));
}

void tst_GeneratorSimulator::shellCommands()
{
    QStringList output;
    std::mutex outputMutex;
    TLKestrovanSimulatorShell shell(*sim, [&](const QString &line) {
        std::lock_guard<std::mutex> lock(outputMutex);
        output << line;
    });
    QVERIFY(shell.execute(QStringLiteral("set kv 81")));
    QCOMPARE(sim->value("kv"), QByteArray("81"));
    QVERIFY(shell.execute(QStringLiteral("get kv")));
    QCOMPARE(output.last(), QStringLiteral("kv=81"));
    QVERIFY(shell.execute(QStringLiteral("power on")));
    QCOMPARE(sim->status1(), 0x1000);
    QVERIFY(shell.execute(QStringLiteral("raw 73 74 3F B8")));
    QCOMPARE(driver->piece(AnswerMs), hex("73743FB8"));
    QVERIFY(shell.execute(QStringLiteral("send vsV1.2")));
    QCOMPARE(driver->piece(AnswerMs), hex("767356312E32FE"));
    driver->send(hex("FE"));
    output.clear();
    QVERIFY(shell.execute(QStringLiteral("raw 7")));
    QVERIFY(shell.execute(QStringLiteral("power maybe")));
    QVERIFY(shell.execute(QStringLiteral("frobnicate")));
    QCOMPARE(output.size(), 3);
    for (const QString &line : output)
        QVERIFY2(line.startsWith(QLatin1String("error: ")), qPrintable(line));
    QVERIFY(!shell.execute(QStringLiteral("quit")));
}

QTEST_GUILESS_MAIN(tst_GeneratorSimulator)
#include "tst_generatorsimulator.moc"
