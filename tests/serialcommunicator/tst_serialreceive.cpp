// Receiving over a pseudo-terminal: acknowledgement by echo, delivery, and the bytes that are
// not telegrams.
#include "TLSerialTestMain.h"
#include "TLSerialTestRig.h"

#include <QScopedPointer>
#include <QThread>

namespace {
// Much longer than a pass of the link loop (about 50 ms).
constexpr int DeliveryTimeoutMs = 2000;
// Longer than the 50 ms the link waits for more bytes of a burst: the next write is a new one.
constexpr unsigned long BurstGapMs = 200;
const QByteArray StatusQuery = QByteArray::fromHex("73743fb8");
const QByteArray KV70 = QByteArray::fromHex("6b7637309a");
const QByteArray PowerOn = QByteArray::fromHex("6f6e31b0");
} // namespace

class TstSerialReceive : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void acknowledgesThenDelivers();
    void burstOfTelegramsInOrderEachAfterItsEcho();
    void loneTerminatorIsNeitherAcknowledgedNorDelivered_data();
    void loneTerminatorIsNeitherAcknowledgedNorDelivered();
    void bytesAfterLastTerminatorAreDropped();
    void burstWithoutTerminatorIsDropped();
    void replyQueuedFromDeliveryIsWritten();
    void objectNameAndOpenPort();
    void inputFromBeforeTheOpeningIsDropped();

private:
    QScopedPointer<TLSerialTestRig> rig;
};

void TstSerialReceive::init()
{
    rig.reset(new TLSerialTestRig);
}

void TstSerialReceive::cleanup()
{
    rig.reset();
}

void TstSerialReceive::acknowledgesThenDelivers()
{
    QVERIFY(rig->start());
    rig->recorder->readEchoesOnDelivery(&rig->master);
    QVERIFY(rig->master.write(StatusQuery));

    QTRY_COMPARE_WITH_TIMEOUT(rig->recorder->messages().size(), 1, DeliveryTimeoutMs);
    rig->link->stop();
    QCOMPARE(rig->recorder->messages().first(), StatusQuery);
    // Read by the delivery itself: the echo was on the wire before the signal.
    QCOMPARE(rig->recorder->echoesAtDelivery(), QList<QByteArray>{QByteArray::fromHex("b8")});
    QCOMPARE(rig->master.read(100), QByteArray());
}

void TstSerialReceive::burstOfTelegramsInOrderEachAfterItsEcho()
{
    QVERIFY(rig->start());
    rig->recorder->readEchoesOnDelivery(&rig->master);
    QVERIFY(rig->master.write(StatusQuery + KV70 + PowerOn));

    QTRY_COMPARE_WITH_TIMEOUT(rig->recorder->messages().size(), 3, DeliveryTimeoutMs);
    rig->link->stop();
    QCOMPARE(rig->recorder->messages(), (QList<QByteArray>{StatusQuery, KV70, PowerOn}));
    // At each delivery exactly its own echo had arrived, not the ones of the later telegrams.
    QCOMPARE(
        rig->recorder->echoesAtDelivery(),
        (QList<QByteArray>{QByteArray::fromHex("b8"), QByteArray::fromHex("9a"), QByteArray::fromHex("b0")}));
}

void TstSerialReceive::loneTerminatorIsNeitherAcknowledgedNorDelivered_data()
{
    QTest::addColumn<QByteArray>("lone");
    QTest::newRow("80") << QByteArray::fromHex("80");
    QTest::newRow("b8") << QByteArray::fromHex("b8");
    QTest::newRow("9a") << QByteArray::fromHex("9a");
    QTest::newRow("ff") << QByteArray::fromHex("ff");
}

void TstSerialReceive::loneTerminatorIsNeitherAcknowledgedNorDelivered()
{
    QFETCH(QByteArray, lone);
    QVERIFY(rig->start());
    rig->recorder->readEchoesOnDelivery(&rig->master);
    QVERIFY(rig->master.write(lone));
    QThread::msleep(BurstGapMs);
    QVERIFY(rig->master.write(KV70));

    QTRY_COMPARE_WITH_TIMEOUT(rig->recorder->messages().size(), 1, DeliveryTimeoutMs);
    rig->link->stop();
    QCOMPARE(rig->recorder->messages(), QList<QByteArray>{KV70});
    // An echo of the lone byte would sit in front of the telegram's echo.
    QCOMPARE(rig->recorder->echoesAtDelivery(), QList<QByteArray>{QByteArray::fromHex("9a")});
    QCOMPARE(rig->master.read(100), QByteArray());
}

void TstSerialReceive::bytesAfterLastTerminatorAreDropped()
{
    QVERIFY(rig->start());
    // "kv" starts a telegram whose rest comes in the next burst: the rest stands alone.
    QVERIFY(rig->master.write(StatusQuery + QByteArray("kv")));
    QTRY_COMPARE_WITH_TIMEOUT(rig->recorder->messages().size(), 1, DeliveryTimeoutMs);
    QThread::msleep(BurstGapMs);
    QVERIFY(rig->master.write(QByteArray::fromHex("37309a")));

    QTRY_COMPARE_WITH_TIMEOUT(rig->recorder->messages().size(), 2, DeliveryTimeoutMs);
    rig->link->stop();
    QCOMPARE(rig->recorder->messages(), (QList<QByteArray>{StatusQuery, QByteArray::fromHex("37309a")}));
    QCOMPARE(rig->master.read(100), QByteArray::fromHex("b89a"));
}

void TstSerialReceive::burstWithoutTerminatorIsDropped()
{
    QVERIFY(rig->start());
    QVERIFY(rig->master.write(QByteArray("kv70")));
    QThread::msleep(BurstGapMs);
    QVERIFY(rig->master.write(StatusQuery));

    QTRY_COMPARE_WITH_TIMEOUT(rig->recorder->messages().size(), 1, DeliveryTimeoutMs);
    rig->link->stop();
    QCOMPARE(rig->recorder->messages(), QList<QByteArray>{StatusQuery});
    QCOMPARE(rig->master.read(100), QByteArray::fromHex("b8"));
    QVERIFY(rig->recorder->errors().isEmpty());
}

void TstSerialReceive::replyQueuedFromDeliveryIsWritten()
{
    QVERIFY(rig->start());
    // A handler in the link thread that asks to wait until sent must not wait on its own loop.
    rig->recorder->replyOnDelivery(PowerOn, true);
    QVERIFY(rig->master.write(StatusQuery));

    const QByteArray seen = rig->readMasterUntil(PowerOn, DeliveryTimeoutMs);
    QCOMPARE(seen, QByteArray::fromHex("b8") + PowerOn);
    QVERIFY(rig->master.write(QByteArray::fromHex("b0")));
    rig->link->stop();
    QCOMPARE(rig->link->state(), TLKestrovanSerialCommunicator::Closed);
    QCOMPARE(rig->recorder->messages(), QList<QByteArray>{StatusQuery});
    QVERIFY(rig->recorder->errors().isEmpty());
}

void TstSerialReceive::objectNameAndOpenPort()
{
    QVERIFY(rig->start());
    QCOMPARE(rig->link->objectName(), QStringLiteral("KestrovanSerialCommunicator"));
    QVERIFY(rig->link->isOpen());
    QVERIFY(rig->link->lastCondition().isSuccess());
    rig->link->stop();
    QCOMPARE(rig->link->state(), TLKestrovanSerialCommunicator::Closed);
    QVERIFY(!rig->link->isOpen());
}

void TstSerialReceive::inputFromBeforeTheOpeningIsDropped()
{
    // Bytes that wait in the line before the link opens are not for this connection.
    QVERIFY(rig->master.open());
    QVERIFY(rig->master.write(StatusQuery));
    QVERIFY(rig->start());
    QVERIFY(rig->master.write(KV70));

    QTRY_COMPARE_WITH_TIMEOUT(rig->recorder->messages().size(), 1, DeliveryTimeoutMs);
    QThread::msleep(BurstGapMs);
    rig->link->stop();
    QCOMPARE(rig->recorder->messages(), QList<QByteArray>{KV70});
    QCOMPARE(rig->master.read(100), QByteArray::fromHex("9a"));
}

TL_SERIAL_TEST_MAIN(TstSerialReceive)
#include "tst_serialreceive.moc"
