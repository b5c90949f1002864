#include "TLDirectTestRig.h"
#include "TLGeneratorConfigData.h"

#include <QtTest>

// Requests over a real link: the driver's protocol layer against the generator simulator.
class TestProtocolLink : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qRegisterMetaType<TLCondition>("TLCondition"); }
    void queryGoesOnTheWire();
    void commandStoresValueBeforeReply();
    void quickRepliesNeverCostTheFullWait();
    void replyRepeatingStoredValueStillWakes();
    void missingReplyIsNoError();
    void errorBitChangeQueriesErrorCode();
    void openFailureThenFreshLink();
    void tooLongValueNeverReachesTheWire();
};

void TestProtocolLink::queryGoesOnTheWire()
{
    TLDirectTestRig rig;
    QVERIFY(rig.isReady());
    QVERIFY(rig.driver().openConnection().isSuccess());
    QVERIFY(rig.driver().isPortOpen());
    QVERIFY(rig.driver().query(Status1, false).isSuccess());
    QVERIFY(rig.waitForPayload("st?", 5000));
    QCOMPARE(rig.sim().telegramsFromDriver().first().toHex(' '), QByteArray("73 74 3f b8"));
    QCOMPARE(rig.host().countLog(QStringLiteral("query:    st?")), 1);
    // The reply arrives, is stored, and says nothing of power.
    QTRY_COMPARE_WITH_TIMEOUT(rig.driver().currentValue(Status1, false, false), QStringLiteral("0"), 5000);
    QVERIFY(!rig.driver().statusGeneratorOn());
}

void TestProtocolLink::commandStoresValueBeforeReply()
{
    TLDirectTestRig rig;
    QVERIFY(rig.isReady());
    QVERIFY(rig.driver().openConnection().isSuccess());
    QVERIFY(rig.driver().sendCommand(KV, QStringLiteral("70,5"), true).isSuccess());
    QCOMPARE(rig.driver().currentValue(KV, false, false), QStringLiteral("70.5"));
    QCOMPARE(rig.payloadsFromDriver(), QByteArrayList{"kv70.5"});
    QCOMPARE(rig.sim().value("kv"), QByteArray("70.5"));
    QCOMPARE(rig.host().countLog(QStringLiteral("command:  kv70.5")), 1);
}

void TestProtocolLink::quickRepliesNeverCostTheFullWait()
{
    // A reply may come back before the caller has begun to wait; it must still end the wait.
    TLDirectTestRig rig;
    QVERIFY(rig.isReady());
    QVERIFY(rig.driver().openConnection().isSuccess());
    constexpr int Queries = 40;
    int fullWaits = 0;
    for (int i = 0; i < Queries; ++i) {
        QElapsedTimer timer;
        timer.start();
        QVERIFY(rig.driver().query(i % 2 ? MA : KV, true).isSuccess());
        if (timer.elapsed() >= qint64(TLKestrovanProtocol::ReplyTimeoutMs))
            ++fullWaits;
    }
    QCOMPARE(fullWaits, 0);
    QCOMPARE(rig.driver().currentValue(KV, false, false), QString::fromLatin1(rig.sim().value("kv")));
}

void TestProtocolLink::replyRepeatingStoredValueStillWakes()
{
    TLDirectTestRig rig;
    QVERIFY(rig.isReady());
    QVERIFY(rig.driver().openConnection().isSuccess());
    rig.sim().setValue("kv", "70");
    QVERIFY(rig.driver().sendCommand(KV, QStringLiteral("70"), true).isSuccess());
    // Emitted in the link thread: count it in ours.
    int changed = 0;
    QObject receiver;
    connect(
        &rig.driver(), &TLAbstractGeneratorDriver::valueChanged, &receiver, [&] { ++changed; },
        Qt::QueuedConnection);
    QElapsedTimer timer;
    timer.start();
    QVERIFY(rig.driver().query(KV, true).isSuccess());
    QVERIFY2(timer.elapsed() < qint64(TLKestrovanProtocol::ReplyTimeoutMs),
             "the unchanged reply did not wake the caller");
    QCoreApplication::processEvents();
    QCOMPARE(changed, 0);
}

void TestProtocolLink::missingReplyIsNoError()
{
    TLDirectTestRig rig;
    QVERIFY(rig.isReady());
    QVERIFY(rig.driver().openConnection().isSuccess());
    rig.sim().setReplyDelayMs(5000);
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(rig.driver().currentValue(Version, true, true), QString());
    QVERIFY(timer.elapsed() >= qint64(TLKestrovanProtocol::ReplyTimeoutMs) - 50);
    // The empty entry stands until a telegram replaces it: no second query.
    QCOMPARE(rig.driver().currentValue(Version, true, true), QString());
    QCOMPARE(rig.payloadsFromDriver().count("vs?"), 1);
    // The late reply still lands.
    QTRY_COMPARE_WITH_TIMEOUT(rig.driver().currentValue(Version, true, true), QStringLiteral("V1.2"), 8000);
}

void TestProtocolLink::errorBitChangeQueriesErrorCode()
{
    TLDirectTestRig rig;
    QVERIFY(rig.isReady());
    QVERIFY(rig.driver().openConnection().isSuccess());
    rig.driver().startStatusPolling();
    QVERIFY(rig.waitForPayload("st?", 5000));
    QTRY_VERIFY_WITH_TIMEOUT(!rig.driver().currentValue(Status1, false, false).isEmpty(), 5000);
    QCOMPARE(rig.payloadsFromDriver().count("rr?"), 0);
    QByteArrayList errors;
    QObject receiver;
    connect(
        &rig.driver(), &TLKestrovanProtocol::errorReceived, &receiver,
        [&](const QByteArray &code) { errors << code; }, Qt::QueuedConnection);
    rig.sim().injectError("105");
    QVERIFY(rig.waitForPayload("rr?", 5000));
    QTRY_COMPARE_WITH_TIMEOUT(errors, QByteArrayList{"105"}, 5000);
}

void TestProtocolLink::openFailureThenFreshLink()
{
    TLDirectTestRig rig;
    QVERIFY(rig.isReady());
    QSharedPointer<TLGeneratorConfigData> bad(new TLGeneratorConfigData);
    bad->portName = QStringLiteral("/dev/kestrovan-no-such-port");
    rig.driver().setDeviceConfig(bad);
    const TLCondition failed = rig.driver().openConnection();
    QVERIFY(failed.isError());
    QCOMPARE(failed.text(), QStringLiteral("Fehler beim Öffnen des COM-Ports /dev/kestrovan-no-such-port"));
    QVERIFY(!rig.driver().isPortOpen());

    QSharedPointer<TLGeneratorConfigData> good(new TLGeneratorConfigData);
    good->portName = rig.sim().slavePath();
    rig.driver().setDeviceConfig(good);
    QVERIFY(rig.driver().openConnection().isSuccess());
    QVERIFY(rig.driver().isPortOpen());
    QVERIFY(rig.driver().query(KV, true).isSuccess());
    QVERIFY(rig.waitForPayload("kv?", 5000));
}

void TestProtocolLink::tooLongValueNeverReachesTheWire()
{
    TLDirectTestRig rig;
    QVERIFY(rig.isReady());
    QVERIFY(rig.driver().openConnection().isSuccess());
    QVERIFY(rig.driver().sendCommand(KV, QStringLiteral("70"), true).isSuccess());
    const TLCondition refused = rig.driver().sendCommand(KV, QString(40, QLatin1Char('1')), true);
    QVERIFY(refused.isError());
    QCOMPARE(rig.driver().currentValue(KV, false, false), QStringLiteral("70"));
    QVERIFY(rig.driver().sendCommand(MA, QStringLiteral("200"), true).isSuccess());
    QCOMPARE(rig.payloadsFromDriver(), (QByteArrayList{"kv70", "ma200"}));
}

int main(int argc, char **argv)
{
    TLHostApplication app(argc, argv);
    TestProtocolLink test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_protocollink.moc"
