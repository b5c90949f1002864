// The periodic tick of the link loop, and the loop's pace when the far end has hung up.
#include "TLSerialTestMain.h"
#include "TLSerialTestRig.h"

#include <QElapsedTimer>
#include <QScopedPointer>
#include <QThread>

namespace {
constexpr qint64 TickIntervalMs = 1000;
// Ten passes of the loop: the tick is due at the next pass.
constexpr int NextPassTimeoutMs = 500;
constexpr int DeliveryTimeoutMs = 2000;
const QByteArray StatusQuery = QByteArray::fromHex("73743fb8");
} // namespace

class TstSerialTiming : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void noTickWithIntervalZero();
    void tickAboutOnceASecond();
    void tickComesAtOnceAfterLongPause();
    void noTickDuringTransmission();
    void hangUpWhileIdleDoesNotSpin();

private:
    QScopedPointer<TLSerialTestRig> rig;
};

void TstSerialTiming::init()
{
    rig.reset(new TLSerialTestRig);
    QVERIFY(rig->start());
}

void TstSerialTiming::cleanup()
{
    rig.reset();
}

void TstSerialTiming::noTickWithIntervalZero()
{
    QThread::msleep(2500);
    rig->link->setTimeoutInterval(-5);
    QThread::msleep(500);
    QCOMPARE(rig->recorder->ticks(), 0);
}

void TstSerialTiming::tickAboutOnceASecond()
{
    rig->link->setTimeoutInterval(TickIntervalMs);
    QThread::msleep(3600);
    rig->link->setTimeoutInterval(0);
    const QList<qint64> times = rig->recorder->tickTimesMs();
    QVERIFY2(times.size() >= 2 && times.size() <= 4, qPrintable(QString::number(times.size())));
    for (int i = 1; i < times.size(); ++i) {
        const qint64 gap = times.at(i) - times.at(i - 1);
        // More than the interval, and not a whole interval late.
        QVERIFY2(gap > TickIntervalMs && gap < 2 * TickIntervalMs, qPrintable(QString::number(gap)));
    }
}

void TstSerialTiming::tickComesAtOnceAfterLongPause()
{
    rig->link->setTimeoutInterval(TickIntervalMs);
    QTRY_COMPARE_WITH_TIMEOUT(rig->recorder->ticks(), 1, 3 * TickIntervalMs);
    rig->link->setTimeoutInterval(0);
    QThread::msleep(1500);
    QCOMPARE(rig->recorder->ticks(), 1);

    // The tick clock ran on during the pause.
    rig->link->setTimeoutInterval(TickIntervalMs);
    QTRY_COMPARE_WITH_TIMEOUT(rig->recorder->ticks(), 2, NextPassTimeoutMs);
}

void TstSerialTiming::noTickDuringTransmission()
{
    constexpr qint64 ShortIntervalMs = 100;
    rig->link->setTimeoutInterval(ShortIntervalMs);
    QTRY_VERIFY_WITH_TIMEOUT(rig->recorder->ticks() >= 1, DeliveryTimeoutMs);

    rig->link->send(StatusQuery, false);
    QVERIFY(rig->readMasterUntil(StatusQuery, DeliveryTimeoutMs).endsWith(StatusQuery));
    const int ticksBefore = rig->recorder->ticks();
    rig->readMasterFor(1200);
    QCOMPARE(rig->recorder->ticks(), ticksBefore);

    QVERIFY(rig->master.write(QByteArray::fromHex("b8")));
    QTRY_VERIFY_WITH_TIMEOUT(rig->recorder->ticks() > ticksBefore, DeliveryTimeoutMs);
    QVERIFY(rig->recorder->errors().isEmpty());
}

void TstSerialTiming::hangUpWhileIdleDoesNotSpin()
{
    // Ticks tell the link thread and show that the loop goes on.
    rig->link->setTimeoutInterval(20);
    QTRY_VERIFY_WITH_TIMEOUT(rig->recorder->knowsLinkThread(), DeliveryTimeoutMs);

    rig->master.hangUp();
    QThread::msleep(200);
    const int ticksBefore = rig->recorder->ticks();
    const double cpuBefore = rig->recorder->linkThreadCpuMs();
    QElapsedTimer wall;
    wall.start();
    QThread::msleep(1000);
    const double cpuUsed = rig->recorder->linkThreadCpuMs() - cpuBefore;
    const qint64 wallUsed = wall.elapsed();

    QVERIFY(cpuBefore >= 0.0);
    // A loop that spins uses the whole second; a paced one next to nothing.
    QVERIFY2(cpuUsed < 0.3 * static_cast<double>(wallUsed),
             qPrintable(QStringLiteral("%1 ms CPU in %2 ms").arg(cpuUsed).arg(wallUsed)));
    QVERIFY(rig->recorder->ticks() > ticksBefore);

    rig->link->stop();
    QCOMPARE(rig->link->state(), TLKestrovanSerialCommunicator::Closed);
}

TL_SERIAL_TEST_MAIN(TstSerialTiming)
#include "tst_serialtiming.moc"
