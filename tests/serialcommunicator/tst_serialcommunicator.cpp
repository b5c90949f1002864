#include "KestrovanTiming.h"
#include "TLLinkRecorder.h"
#include "TLTestMain.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {
// Bursts written this far apart are collections of their own: well past the link's read wait.
constexpr int BurstGapMs = 6 * Kestrovan::ReadWaitMs;
constexpr int TickMs = Kestrovan::StatusPollIntervalMs;
// Long enough for a tick to be due, had the interval been set.
constexpr int NoTickWindowMs = TickMs + TickMs / 4;
// On a hung-up line each pass of the loop still waits out the read wait; in this window a loop
// that spun would pass hundreds of times.
constexpr int HungUpWindowMs = 20 * Kestrovan::ReadWaitMs;
// Far above what the line and the link take to pass bytes on.
constexpr int ReactionLimitMs = 3000;

// Waits until bytes are readable at the driver's end of the line, through a descriptor of our own.
bool bytesWaitAt(const QString &port)
{
    const int fd = ::open(qPrintable(port), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    pollfd in{fd, POLLIN, 0};
    const bool ready = fd >= 0 && ::poll(&in, 1, ReactionLimitMs) == 1;
    ::close(fd);
    return ready;
}
} // namespace

// The link thread against the generator simulator: acknowledging and delivering what arrives,
// writing telegrams until they are echoed, stopping, and the periodic tick.
class TestSerialCommunicator : public QObject
{
    Q_OBJECT

    using Sim = TLKestrovanGeneratorSimulator;
    using Line = TLKestrovanSimulatedLine;
    static QByteArray tg(const QByteArray &payload) { return Line::telegram(payload); }

private slots:
    void receiving_data()
    {
        QTest::addColumn<QByteArrayList>("bursts");
        QTest::addColumn<QByteArrayList>("delivered");
        QTest::addColumn<QByteArray>("echoed");
        QTest::newRow("one telegram: echo, then delivery")
            << QByteArrayList{tg("kv70")} << QByteArrayList{tg("kv70")} << QByteArray("\x9a");
        QTest::newRow("two in a burst, in order")
            << QByteArrayList{tg("kv70") + tg("ma2")} << QByteArrayList{tg("kv70"), tg("ma2")}
            << QByteArray("\x9a") + tg("ma2").right(1);
        QTest::newRow("a lone terminator is neither echoed nor delivered")
            << QByteArrayList{"\xb8"} << QByteArrayList{} << QByteArray();
        QTest::newRow("a telegram split across bursts is put back together")
            << QByteArrayList{tg("kv70") + "ma", tg("ma2").mid(2)} << QByteArrayList{tg("kv70"), tg("ma2")}
            << QByteArray("\x9a") + tg("ma2").right(1);
        QTest::newRow("a damaged telegram is neither echoed nor delivered")
            << QByteArrayList{"ma2\xd5" + tg("kv70")} << QByteArrayList{tg("kv70")} << QByteArray("\x9a");
        QTest::newRow("a stray head before a telegram is dropped")
            << QByteArrayList{"kv70", tg("ma2")} << QByteArrayList{tg("ma2")} << tg("ma2").right(1);
    }
    void receiving()
    {
        QFETCH(QByteArrayList, bursts);
        QFETCH(QByteArrayList, delivered);
        QFETCH(QByteArray, echoed);
        Sim sim;
        QVERIFY(sim.start());
        // Bytes that wait on the line from before the opening are not for this link.
        sim.line().sendRaw(tg("xb1"));
        QVERIFY(bytesWaitAt(sim.slavePath()));
        TLLinkRecorder rec(sim.slavePath());
        QVERIFY(rec.start());
        QCOMPARE(rec.link->objectName(), QStringLiteral("KestrovanSerialCommunicator"));
        QVERIFY(rec.link->isOpen());
        for (const QByteArray &burst : bursts) {
            if (&burst != &bursts.first())
                QTest::qWait(BurstGapMs);
            sim.line().sendRaw(burst);
        }
        // A telegram after the bursts marks the point by which they have all been handled.
        const QByteArray marker = tg("st0");
        sim.line().sendRaw(marker);
        QTRY_COMPARE_WITH_TIMEOUT(rec.messages(), delivered + QByteArrayList{marker}, ReactionLimitMs);
        QTRY_COMPARE_WITH_TIMEOUT(sim.line().bytesFromDriver(), echoed + marker.right(1), ReactionLimitMs);
    }

    void transmitting_data()
    {
        QTest::addColumn<int>("droppedEchoes");
        QTest::addColumn<QByteArray>("injected"); // unasked telegram with the echo
        QTest::addColumn<int>("gapMs");           // -1: in the echo's burst
        QTest::newRow("echoed at once") << 0 << QByteArray() << -1;
        QTest::newRow("written again every 500 ms until echoed") << 2 << QByteArray() << -1;
        QTest::newRow("echo behind another telegram in one burst") << 0 << QByteArray("xb7") << -1;
        QTest::newRow("echo a burst after another telegram") << 0 << QByteArray("xb7") << 120;
    }
    void transmitting()
    {
        QFETCH(int, droppedEchoes);
        QFETCH(QByteArray, injected);
        QFETCH(int, gapMs);
        Sim sim;
        QVERIFY(sim.start());
        TLLinkRecorder rec(sim.slavePath());
        QVERIFY(rec.start());
        sim.line().dropAcknowledgements(droppedEchoes);
        if (gapMs < 0 && !injected.isEmpty())
            sim.line().injectInAckWindow(injected);
        else if (!injected.isEmpty())
            sim.line().injectBeforeAck(injected, gapMs);
        QElapsedTimer clock;
        clock.start();
        rec.link->send(tg("kv81"), true);
        const qint64 took = clock.elapsed();
        QVERIFY(rec.link->lastCondition().isSuccess());
        QCOMPARE(sim.line().countTelegramsFromDriver("kv81"), droppedEchoes + 1);
        QVERIFY2(took >= qint64(droppedEchoes) * Kestrovan::AckWindowMs
                     && took < qint64(droppedEchoes) * Kestrovan::AckWindowMs + 900,
                 qPrintable(QString::number(took)));
        // What came with the echo is delivered after the transmission, once.
        QTRY_COMPARE_WITH_TIMEOUT(rec.messages(),
                                  injected.isEmpty() ? QList<QByteArray>{} : QList<QByteArray>{tg(injected)},
                                  ReactionLimitMs);
        QCOMPARE(rec.link->state(), TLKestrovanSerialCommunicator::Open);
    }

    void sendingFromTheDelivery()
    {
        // A handler in the link thread queues an answer; waiting for it there would never end.
        Sim sim;
        QVERIFY(sim.start());
        TLLinkRecorder rec(sim.slavePath());
        rec.onMessage = [&rec](const QByteArray &) { rec.link->send(tg("xr41"), true); };
        QVERIFY(rec.start());
        sim.line().sendTelegram("xy0A01");
        QVERIFY(sim.line().waitForTelegramFromDriver("xr41", 3000));
    }

    void stopping()
    {
        Sim sim;
        QVERIFY(sim.start());
        TLLinkRecorder rec(sim.slavePath());
        QVERIFY(rec.start());
        sim.line().dropAcknowledgements(1);
        rec.link->send(tg("kv70"), false);
        rec.link->send(tg("ma3"), false);
        rec.link->stop();
        // Both were delivered before the loop ended.
        QCOMPARE(rec.link->state(), TLKestrovanSerialCommunicator::Closed);
        QCOMPARE(sim.line().countTelegramsFromDriver("kv70"), 2);
        QCOMPARE(sim.line().countTelegramsFromDriver("ma3"), 1);
        QVERIFY(!rec.link->isOpen());
        QElapsedTimer clock;
        clock.start();
        rec.link->stop();
        rec.link->send(tg("ms1"), true);
        QVERIFY(clock.elapsed() < 400);
        QVERIFY(rec.link->lastCondition().isSuccess());
    }

    void portThatDoesNotExist()
    {
        TLLinkRecorder rec(QStringLiteral("/dev/kestrovan-no-such-port"));
        QVERIFY(!rec.start());
        QVERIFY(rec.link->wait(3000));
        QCOMPARE(rec.link->state(), TLKestrovanSerialCommunicator::Closed);
        const TLCondition failed = rec.link->lastCondition();
        QCOMPARE(failed.text(),
                 QStringLiteral("Fehler beim Öffnen des COM-Ports /dev/kestrovan-no-such-port"));
        QVERIFY(!failed.details().isEmpty());
        QVERIFY(rec.errors().isEmpty());
    }

    void ticking()
    {
        Sim sim;
        QVERIFY(sim.start());
        TLLinkRecorder rec(sim.slavePath());
        QVERIFY(rec.start());
        QTest::qWait(NoTickWindowMs);
        QVERIFY(rec.ticks().isEmpty());
        // The clock ran on while the interval was 0: the first tick comes at once.
        rec.link->setTimeoutInterval(TickMs);
        QTRY_COMPARE_WITH_TIMEOUT(rec.ticks().size(), 1, 600);
        QTRY_COMPARE_WITH_TIMEOUT(rec.ticks().size(), 3, 2500);
        const QList<qint64> ticks = rec.ticks();
        QVERIFY(ticks[2] - ticks[1] > TickMs && ticks[2] - ticks[1] < TickMs + TickMs / 2);
        // None while a transmission waits for its echo.
        sim.line().dropAcknowledgementsFor(2400);
        rec.link->send(tg("kv70"), true);
        QTRY_VERIFY_WITH_TIMEOUT(rec.ticks().size() > ticks.size(), 2 * TickMs);
        QVERIFY(rec.ticks().at(ticks.size()) - ticks.last() > 2000);
        // A far end that hangs up must not make the loop spin a core. A tick due at every pass
        // counts the passes.
        sim.line().hangUp();
        rec.link->setTimeoutInterval(1);
        const int before = rec.ticks().size();
        QTest::qWait(HungUpWindowMs);
        const int passes = rec.ticks().size() - before;
        QVERIFY2(passes <= HungUpWindowMs / Kestrovan::ReadWaitMs + 1, qPrintable(QString::number(passes)));
    }
};

TL_TEST_MAIN(TestSerialCommunicator)
#include "tst_serialcommunicator.moc"
