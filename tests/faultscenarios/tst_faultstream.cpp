#include "TLDirectTestRig.h"
#include "TLSignalTally.h"

#include <QElapsedTimer>
#include <QtTest>

// Damaged or unexpected bytes on the line from the generator: a wrong check byte, a telegram
// torn across bursts, noise, and unasked telegrams inside an acknowledgement window.
class TestFaultStream : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qRegisterMetaType<TLCondition>("TLCondition"); }
    void corruptedCheckByte();
    void splitReply_data();
    void splitReply();
    void noiseBeforeATelegram_data();
    void noiseBeforeATelegram();
    void unaskedTelegramInAckWindow_data();
    void unaskedTelegramInAckWindow();

private:
    // Waits until the status poll of this second has been answered, so that the fault set up
    // next meets the telegram meant and not a poll reply.
    static bool quietMoment(TLDirectTestRig &rig);
    static QStringList changesOf(TLDirectTestRig &rig, const QString &code);
};

namespace {
constexpr int SettleMs = 5000;
constexpr qint64 ReplyTimeoutMs = TLKestrovanProtocol::ReplyTimeoutMs;
// The link ends a collection when a wait of this long brings nothing.
constexpr int CollectionGapMs = 50;
} // namespace

bool TestFaultStream::quietMoment(TLDirectTestRig &rig)
{
    rig.sim().clearTranscript();
    return rig.waitForPayload("qs?", SettleMs) && rig.sim().waitForIdle(SettleMs);
}

QStringList TestFaultStream::changesOf(TLDirectTestRig &rig, const QString &code)
{
    return rig.host().logTexts().filter(
        QRegularExpression(QStringLiteral("^value changed: %1 ").arg(QRegularExpression::escape(code))));
}

void TestFaultStream::corruptedCheckByte()
{
    // The serial layer does not verify check bytes: a reply whose check byte is wrong (but
    // still a terminator) is echoed with that very byte, which the generator takes as its
    // acknowledgement. What the host sees: the version arrives, once, and the waiting query
    // ends with it rather than by its time limit.
    TLDirectTestRig rig;
    QVERIFY(rig.isReady());
    rig.sim().setVersion("V9.9");
    QVERIFY(rig.switchOn());
    QVERIFY(quietMoment(rig));
    rig.host().clearRecords();
    const int repeatsBefore = rig.sim().repeatedWrites();

    rig.sim().corruptNextReply();
    QVariant version;
    QElapsedTimer timer;
    timer.start();
    QVERIFY(rig.driver().executeCommand(QStringLiteral("version"), version).isSuccess());
    const qint64 took = timer.elapsed();

    QCOMPARE(version.toString(), QStringLiteral("V9.9"));
    QVERIFY2(took < qint64(ReplyTimeoutMs), qPrintable(QString::number(took)));
    QTest::qWait(1500); // a repeat of the reply would come within a second
    QCOMPARE(rig.host().countLog(QStringLiteral("received: vsV9.9")), 1);
    // The driver echoed the damaged terminator; the generator had nothing to repeat.
    const QByteArray good = TLKestrovanGeneratorSimulator::telegram("vsV9.9");
    const char damaged = char(good.back() ^ 0x01);
    QVERIFY(rig.sim().bytesToDriver().contains(good.left(good.size() - 1) + damaged));
    QVERIFY(rig.sim().bytesFromDriver().contains(damaged));
    QCOMPARE(rig.sim().repeatedWrites(), repeatsBefore);
    QVERIFY(rig.host().alarms().isEmpty());
}

void TestFaultStream::splitReply_data()
{
    QTest::addColumn<int>("gapMs");
    QTest::addColumn<bool>("arrives");
    // Within one collection the halves are joined.
    QTest::newRow("gap below the collection step") << CollectionGapMs / 2 << true;
    // A collection that ends without a terminator drops its bytes; the tail then reads as a
    // telegram of its own (here with the code "9."), unknown to the driver, and is echoed:
    // the generator takes that echo as its acknowledgement, and the reply is lost.
    QTest::newRow("gap well above the collection step") << CollectionGapMs * 6 << false;
}

void TestFaultStream::splitReply()
{
    QFETCH(int, gapMs);
    QFETCH(bool, arrives);
    TLDirectTestRig rig;
    QVERIFY(rig.isReady());
    rig.sim().setVersion("V9.9");
    QVERIFY(rig.switchOn());
    QVERIFY(quietMoment(rig));
    rig.host().clearRecords();

    rig.sim().splitNextReply(gapMs);
    QVariant version;
    QElapsedTimer timer;
    timer.start();
    QVERIFY(rig.driver().executeCommand(QStringLiteral("version"), version).isSuccess());
    const qint64 took = timer.elapsed();
    QTest::qWait(1500);

    const QStringList unknown = rig.host().logTexts().filter(QStringLiteral("unknown command: "));
    if (arrives) {
        // What the host sees: the version, at once, exactly once.
        QCOMPARE(version.toString(), QStringLiteral("V9.9"));
        QVERIFY2(took < qint64(ReplyTimeoutMs), qPrintable(QString::number(took)));
        QCOMPARE(rig.host().countLog(QStringLiteral("received: vsV9.9")), 1);
        QVERIFY2(unknown.isEmpty(), qPrintable(unknown.join(QLatin1Char('|'))));
    } else {
        // What the host sees: an empty version after the full reply time, one warning line
        // for the tail; nothing wrong is stored under any code, and nothing is delivered twice.
        QCOMPARE(version.toString(), QString());
        QVERIFY2(took >= qint64(ReplyTimeoutMs), qPrintable(QString::number(took)));
        QCOMPARE(rig.host().countLog(QStringLiteral("received: vsV9.9")), 0);
        QCOMPARE(unknown, QStringList{QStringLiteral("unknown command: 9.9")});
        QVERIFY(changesOf(rig, QStringLiteral("vs")).isEmpty());
    }
    // Either way the generator had its reply echoed once and wrote it only once.
    QCOMPARE(rig.sim().countTelegramsFromDriver("vs?"), 1);
    QVERIFY(rig.host().alarms().isEmpty());
    QVERIFY(rig.driver().isPortOpen());
}

void TestFaultStream::noiseBeforeATelegram_data()
{
    QTest::addColumn<bool>("sameBurst");
    QTest::addColumn<bool>("arrives");
    // Noise without a terminator, and the telegram in a later burst: the noise is dropped.
    QTest::newRow("noise in a burst of its own") << false << true;
    // No start byte on this line: noise in the same burst is read as the front of the
    // telegram, which then carries the code "no" and is logged as unknown.
    QTest::newRow("noise in the telegram's burst") << true << false;
}

void TestFaultStream::noiseBeforeATelegram()
{
    QFETCH(bool, sameBurst);
    QFETCH(bool, arrives);
    static const QByteArray Noise = "noise 12 ?";
    TLDirectTestRig rig;
    QVERIFY(rig.isReady());
    QVERIFY(rig.switchOn());
    QVERIFY(quietMoment(rig));
    rig.host().clearRecords();
    TLSignalTally changes;
    changes.watch(&rig.driver(), &TLAbstractGeneratorDriver::valueChanged);

    // The generator changes kV at its panel and reports it unasked.
    rig.sim().setValue("kv", "85");
    const QByteArray report = TLKestrovanGeneratorSimulator::telegram("kv85");
    if (sameBurst) {
        rig.sim().sendRaw(Noise + report);
    } else {
        rig.sim().sendRaw(Noise);
        QTest::qWait(CollectionGapMs * 6);
        rig.sim().sendTelegram("kv85");
    }
    QVERIFY(rig.sim().waitForIdle(SettleMs));
    QTest::qWait(500);

    if (arrives) {
        // What the host sees: kV 85, one change announced.
        QCOMPARE(changesOf(rig, QStringLiteral("kv")),
                 QStringList{QStringLiteral("value changed: kv (70 -> 85)")});
        QCOMPARE(changes.total(), 1);
        QCOMPARE(rig.driver().kV(), 85.0);
        QVERIFY(rig.host().logTexts().filter(QStringLiteral("unknown command: ")).isEmpty());
    } else {
        // What the host sees: kV still 70, no change announced, one warning line.
        QCOMPARE(
            rig.host().countLog(QStringLiteral("unknown command: ") + QString::fromLatin1(Noise + "kv85")),
            1);
        QVERIFY(changesOf(rig, QStringLiteral("kv")).isEmpty());
        QCOMPARE(changes.total(), 0);
        QCOMPARE(rig.driver().kV(), 70.0);
    }
    // The telegram's check byte was echoed once: the generator did not write it again.
    QCOMPARE(rig.sim().bytesFromDriver().count(report.back()), 1);
    QCOMPARE(rig.sim().bytesToDriver().count(report), 1);

    // The line still works: a setting afterwards goes through as usual.
    rig.driver().setMs(40);
    QCOMPARE(rig.sim().value("ms"), QByteArray("40"));
    QCOMPARE(rig.sim().countTelegramsFromDriver("ms40"), 1);
    QVERIFY(rig.host().alarms().isEmpty());
}

void TestFaultStream::unaskedTelegramInAckWindow_data()
{
    QTest::addColumn<int>("gapMs"); // -1: in the same burst as the echo
    QTest::newRow("same burst as the echo") << -1;
    QTest::newRow("own burst, 20 ms before the echo") << CollectionGapMs / 2 - 5;
    QTest::newRow("own burst, 200 ms before the echo") << CollectionGapMs * 4;
}

void TestFaultStream::unaskedTelegramInAckWindow()
{
    // While setMA(300) waits for its echo, the generator reports kV 99 unasked. What the host
    // sees: the setting is taken at the first write (no repeat, no error); the report is
    // delivered after it, exactly once, and before the reply to the follow-up query of kV,
    // which then puts the generator's 70 back. Two changes, in that order.
    QFETCH(int, gapMs);
    TLDirectTestRig rig;
    QVERIFY(rig.isReady());
    QVERIFY(rig.switchOn());
    QCOMPARE(rig.driver().kV(), 70.0);
    QVERIFY(quietMoment(rig));
    rig.host().clearRecords();
    TLSignalTally changes;
    changes.watch(&rig.driver(), &TLAbstractGeneratorDriver::valueChanged);

    if (gapMs < 0)
        rig.sim().injectInAckWindow("kv99");
    else
        rig.sim().injectBeforeAck("kv99", gapMs);
    rig.driver().setMA(300);

    QCOMPARE(rig.sim().countTelegramsFromDriver("ma300"), 1);
    QCOMPARE(rig.sim().value("ma"), QByteArray("300"));
    QCOMPARE(rig.host().countLog(QStringLiteral("received: kv99")), 1);
    QCOMPARE(changesOf(rig, QStringLiteral("kv")),
             QStringList({QStringLiteral("value changed: kv (70 -> 99)"),
                          QStringLiteral("value changed: kv (99 -> 70)")}));
    QTRY_COMPARE_WITH_TIMEOUT(changes.total(), 2, SettleMs);
    // The driver echoed the unasked telegram too.
    const char reportTerminator = TLKestrovanGeneratorSimulator::telegram("kv99").back();
    QCOMPARE(rig.sim().bytesFromDriver().count(reportTerminator), 1);

    QTest::qWait(1500);
    QCOMPARE(rig.host().countLog(QStringLiteral("received: kv99")), 1);
    QCOMPARE(changes.total(), 2);
    QCOMPARE(rig.driver().kV(), 70.0);
    QCOMPARE(rig.driver().mA(), 300.0);
    QVERIFY(rig.host().alarms().isEmpty());
    QVERIFY(rig.driver().isPortOpen());
}

int main(int argc, char **argv)
{
    TLHostApplication app(argc, argv);
    TestFaultStream test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_faultstream.moc"
