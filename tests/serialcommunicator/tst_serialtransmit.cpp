// Transmitting over a pseudo-terminal: acknowledgement among other telegrams, repetition,
// waiting senders, stopping, a missing port and destruction.
#include "TLGeneratorEcho.h"
#include "TLSerialTestMain.h"
#include "TLSerialTestRig.h"

#include <QDir>
#include <QElapsedTimer>
#include <QScopedPointer>
#include <QTemporaryDir>
#include <QThread>

namespace {
constexpr int DeliveryTimeoutMs = 2000;
// Well under the 8 s give-up, well over the 500 ms repetition.
constexpr int AcknowledgedTimeoutMs = 3000;
constexpr unsigned long BurstGapMs = 150;
// Any wait of the owner's 500 ms polling step would exceed this.
constexpr qint64 AtOnceMs = 400;
const QByteArray StatusQuery = QByteArray::fromHex("73743fb8");
const QByteArray Ack = QByteArray::fromHex("b8");
const QByteArray KV70 = QByteArray::fromHex("6b7637309a");
const QByteArray PowerOn = QByteArray::fromHex("6f6e31b0");
const QByteArray ErrorReset = QByteArray::fromHex("727381");

QList<QByteArray> fromHexList(const QStringList &hexList)
{
    QList<QByteArray> list;
    for (const QString &hex : hexList)
        list.append(QByteArray::fromHex(hex.toLatin1()));
    return list;
}
} // namespace

class TstSerialTransmit : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void acknowledgementAmongOtherTelegrams_data();
    void acknowledgementAmongOtherTelegrams();
    void loneTerminatorBeforeTransmissionIsNoAcknowledgement();
    void repeatsEveryHalfSecondUntilAcknowledged();
    void sendWaitsUntilAcknowledged();
    void stopTransmitsQueuedTelegramsFirst();
    void stopWhenClosedReturnsAtOnce();
    void sendAfterLoopEndedIsNeverWritten();
    void portThatDoesNotExist();
    void destructionStopsTheThread();

private:
    QScopedPointer<TLSerialTestRig> rig;
};

void TstSerialTransmit::init()
{
    rig.reset(new TLSerialTestRig);
}

void TstSerialTransmit::cleanup()
{
    rig.reset();
}

void TstSerialTransmit::acknowledgementAmongOtherTelegrams_data()
{
    QTest::addColumn<QStringList>("bursts");
    QTest::addColumn<QStringList>("delivered");

    QTest::newRow("6b7637309a b8 other then ack in one burst")
        << QStringList{"6b7637309ab8"} << QStringList{"6b7637309a"};
    QTest::newRow("b8 6b7637309a ack then other in one burst")
        << QStringList{"b86b7637309a"} << QStringList{"6b7637309a"};
    QTest::newRow("6b7637309a | b8 other in an earlier burst")
        << QStringList{"6b7637309a", "b8"} << QStringList{"6b7637309a"};
    QTest::newRow("6b7637309a 6f6e31b0 | b8 two in an earlier burst")
        << QStringList{"6b7637309a6f6e31b0", "b8"} << QStringList{"6b7637309a", "6f6e31b0"};
    QTest::newRow("6b7637309a | 6f6e31b0 | b8 7872383183 before and after")
        << QStringList{"6b7637309a", "6f6e31b0", "b87872383183"}
        << QStringList{"6b7637309a", "6f6e31b0", "7872383183"};
    QTest::newRow("9a | b8 foreign lone terminator first") << QStringList{"9a", "b8"} << QStringList{};
}

void TstSerialTransmit::acknowledgementAmongOtherTelegrams()
{
    QFETCH(QStringList, bursts);
    QFETCH(QStringList, delivered);
    QVERIFY(rig->start());

    rig->link->send(StatusQuery, false);
    QVERIFY(rig->readMasterUntil(StatusQuery, DeliveryTimeoutMs).endsWith(StatusQuery));
    for (const QByteArray &burst : fromHexList(bursts)) {
        QVERIFY(rig->master.write(burst));
        QThread::msleep(BurstGapMs);
    }

    const QList<QByteArray> expected = fromHexList(delivered);
    // Delivery comes after the transmission; unacknowledged it would take 8 s.
    QTRY_COMPARE_WITH_TIMEOUT(rig->recorder->messages().size(), expected.size(), AcknowledgedTimeoutMs);
    // Proof that the transmission ended: a telegram queued behind it goes out.
    rig->link->send(ErrorReset, false);
    const QByteArray wire = rig->readMasterUntil(ErrorReset, AcknowledgedTimeoutMs);
    QVERIFY(wire.endsWith(ErrorReset));
    QVERIFY(rig->master.write(QByteArray::fromHex("81")));
    rig->link->stop();

    QCOMPARE(rig->recorder->messages(), expected);
    QVERIFY(rig->recorder->errors().isEmpty());
    // Each delivered telegram was echoed once, after the transmission, in order; the
    // acknowledgement itself was not echoed.
    QByteArray echoes = wire;
    echoes.replace(StatusQuery, QByteArray());
    echoes.chop(ErrorReset.size());
    QByteArray expectedEchoes;
    for (const QByteArray &telegram : expected)
        expectedEchoes.append(telegram.right(1));
    QCOMPARE(echoes.toHex(), expectedEchoes.toHex());
}

void TstSerialTransmit::loneTerminatorBeforeTransmissionIsNoAcknowledgement()
{
    QVERIFY(rig->start());
    QVERIFY(rig->master.write(Ack));
    QThread::msleep(BurstGapMs * 2);

    // The stale byte came before the telegram was written: it must not count for it.
    rig->link->send(StatusQuery, false);
    const QByteArray wire = rig->readMasterUntil(StatusQuery + StatusQuery, AcknowledgedTimeoutMs);
    QCOMPARE(wire, StatusQuery + StatusQuery);
    QVERIFY(rig->master.write(Ack));
    rig->link->stop();
    QVERIFY(rig->recorder->errors().isEmpty());
    QVERIFY(rig->recorder->messages().isEmpty());
}

void TstSerialTransmit::repeatsEveryHalfSecondUntilAcknowledged()
{
    QVERIFY(rig->start());
    rig->link->send(StatusQuery, false);
    QByteArray wire = rig->readMasterUntil(StatusQuery, DeliveryTimeoutMs);
    QCOMPARE(wire, StatusQuery);

    // Written at 0 and about every 500 ms after: 0, 0.5, 1.0, 1.5 s within 1.7 s.
    wire += rig->readMasterFor(1700);
    QCOMPARE(wire.size() % StatusQuery.size(), 0);
    const int copies = wire.count(StatusQuery);
    QCOMPARE(copies * StatusQuery.size(), wire.size());
    QVERIFY2(copies >= 3 && copies <= 5, qPrintable(QString::number(copies)));

    // Acknowledged now: at most one copy already on its way, then silence.
    QVERIFY(rig->master.write(Ack));
    const QByteArray after = rig->readMasterFor(1200);
    QVERIFY2(after.isEmpty() || after == StatusQuery, after.toHex().constData());
    QVERIFY(rig->recorder->errors().isEmpty());
    QCOMPARE(rig->link->state(), TLKestrovanSerialCommunicator::Open);
}

void TstSerialTransmit::sendWaitsUntilAcknowledged()
{
    QVERIFY(rig->start());
    constexpr int AckDelayMs = 300;
    TLGeneratorEcho generator(rig->master, AckDelayMs);

    QElapsedTimer clock;
    clock.start();
    rig->link->send(StatusQuery, true);
    const qint64 waited = clock.elapsed();

    QCOMPARE(generator.telegrams(), QList<QByteArray>{StatusQuery});
    QVERIFY2(waited >= AckDelayMs - 50, qPrintable(QString::number(waited)));
    QCOMPARE(rig->link->state(), TLKestrovanSerialCommunicator::Open);
    QVERIFY(rig->link->lastCondition().isSuccess());
    QVERIFY(rig->recorder->errors().isEmpty());
}

void TstSerialTransmit::stopTransmitsQueuedTelegramsFirst()
{
    QVERIFY(rig->start());
    constexpr int AckDelayMs = 200;
    TLGeneratorEcho generator(rig->master, AckDelayMs);

    rig->link->send(StatusQuery, false);
    rig->link->send(PowerOn, false);
    rig->link->stop();

    QCOMPARE(rig->link->state(), TLKestrovanSerialCommunicator::Closed);
    QCOMPARE(generator.telegrams(), (QList<QByteArray>{StatusQuery, PowerOn}));
    QVERIFY(rig->recorder->errors().isEmpty());
    QVERIFY(!rig->link->isOpen());
    QVERIFY(rig->link->wait(DeliveryTimeoutMs));
}

void TstSerialTransmit::stopWhenClosedReturnsAtOnce()
{
    TLKestrovanSerialCommunicator neverStarted(QStringLiteral("/dev/null"));
    QElapsedTimer clock;
    clock.start();
    neverStarted.stop();
    QVERIFY2(clock.elapsed() < AtOnceMs, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(neverStarted.state(), TLKestrovanSerialCommunicator::Closed);

    QVERIFY(rig->start());
    rig->link->stop();
    QCOMPARE(rig->link->state(), TLKestrovanSerialCommunicator::Closed);
    clock.restart();
    rig->link->stop();
    QVERIFY2(clock.elapsed() < AtOnceMs, qPrintable(QString::number(clock.elapsed())));
}

void TstSerialTransmit::sendAfterLoopEndedIsNeverWritten()
{
    QVERIFY(rig->start());
    rig->link->stop();
    QCOMPARE(rig->link->state(), TLKestrovanSerialCommunicator::Closed);

    QElapsedTimer clock;
    clock.start();
    rig->link->send(StatusQuery, true);
    QVERIFY2(clock.elapsed() < AtOnceMs, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(rig->link->lastCondition().isSuccess());
    QCOMPARE(rig->readMasterFor(300), QByteArray());
    QCOMPARE(rig->link->state(), TLKestrovanSerialCommunicator::Closed);
}

void TstSerialTransmit::portThatDoesNotExist()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString name = dir.filePath(QStringLiteral("ttyMissing0"));
    TLKestrovanSerialCommunicator link(name);
    TLSerialLinkRecorder recorder(&link);

    link.start();
    link.waitForOpened();
    QVERIFY(link.state() == TLKestrovanSerialCommunicator::Failed
            || link.state() == TLKestrovanSerialCommunicator::Closed);
    const TLCondition condition = link.lastCondition();
    QVERIFY(condition.isError());
    QCOMPARE(condition.text(), QStringLiteral("Fehler beim Öffnen des COM-Ports ") + name);
    QVERIFY(!condition.details().isEmpty());
    QVERIFY(!link.isOpen());

    QVERIFY(link.wait(DeliveryTimeoutMs));
    QCOMPARE(link.state(), TLKestrovanSerialCommunicator::Closed);
    QCOMPARE(link.lastCondition(), condition);
    QVERIFY(recorder.errors().isEmpty());
}

void TstSerialTransmit::destructionStopsTheThread()
{
    QVERIFY(rig->start());
    // A tick tells the link thread's id.
    rig->link->setTimeoutInterval(20);
    QTRY_VERIFY_WITH_TIMEOUT(rig->recorder->knowsLinkThread(), DeliveryTimeoutMs);
    const QString task = QStringLiteral("/proc/self/task/%1").arg(rig->recorder->linkThreadId());
    QVERIFY(QDir(task).exists());

    rig->link.reset();
    QTRY_VERIFY_WITH_TIMEOUT(!QDir(task).exists(), DeliveryTimeoutMs);
}

TL_SERIAL_TEST_MAIN(TstSerialTransmit)
#include "tst_serialtransmit.moc"
