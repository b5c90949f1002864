#include "TLDirectTestRig.h"
#include "TLProcessProbe.h"

#include <QElapsedTimer>
#include <QtTest>

#include <memory>
#include <thread>

// The host destroys the driver at awkward moments. Each case: the destructor returns, the
// generator is switched off on the way out where the line still works, and no thread of the
// driver outlives it (the process has as many threads afterwards as before the driver).
class TestFaultDestroy : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qRegisterMetaType<TLCondition>("TLCondition"); }
    void whileALateReplyIsOnItsWay_data();
    void whileALateReplyIsOnItsWay();
    void duringAnExposureWithTheDeviceBusy();
    void rightAfterTheLinkFailed();

private:
    // Destroys the driver, checks that its link thread is gone, lets pending events run and
    // stops the simulator. Returns the time the destructor took.
    static qint64 destroyAndStop(TLDirectTestRig &rig);
};

namespace {
constexpr int SettleMs = 5000;
constexpr int GiveUpMs = 8000;
constexpr int ReplyTimeoutMs = int(TLKestrovanProtocol::ReplyTimeoutMs);
// A finished thread leaves the kernel's list shortly after; allowed this long.
constexpr int ThreadExitMs = 1000;
const QString LinkThreadName = QStringLiteral("KestrovanSerial");
} // namespace

qint64 TestFaultDestroy::destroyAndStop(TLDirectTestRig &rig)
{
    QElapsedTimer timer;
    timer.start();
    rig.destroyDriver();
    const qint64 took = timer.elapsed();
    // Qt's threads are detached: the kernel lets a finished one go a moment after wait().
    [&] { QTRY_VERIFY_WITH_TIMEOUT(!TLProcessProbe::hasThreadNamed(LinkThreadName), ThreadExitMs); }();
    // Events posted to the driver before it went must not reach it now.
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents();
    rig.sim().stop();
    return took;
}

void TestFaultDestroy::whileALateReplyIsOnItsWay_data()
{
    QTest::addColumn<int>("replyDelayMs");
    // The reply comes while the destructor switches off, or after the driver is gone.
    QTest::newRow("reply during the destructor") << ReplyTimeoutMs + 100;
    QTest::newRow("reply after the destructor") << ReplyTimeoutMs + 2000;
}

void TestFaultDestroy::whileALateReplyIsOnItsWay()
{
    // The host asks for the version; the generator answers too late, the query ends empty
    // after its reply time, and the host destroys the driver at once.
    QFETCH(int, replyDelayMs);
    const int threadsBefore = TLProcessProbe::threadCount();
    auto rig = std::make_unique<TLDirectTestRig>();
    QVERIFY(rig->isReady());
    QVERIFY(rig->switchOn());
    rig->sim().clearTranscript();
    QVERIFY(rig->waitForPayload("qs?", SettleMs));
    QVERIFY(rig->sim().waitForIdle(SettleMs));
    rig->sim().setReplyDelayMs(replyDelayMs);

    QVariant version;
    QVERIFY(rig->driver().executeCommand(QStringLiteral("version"), version).isSuccess());
    QCOMPARE(version.toString(), QString());
    const qint64 took = destroyAndStop(*rig);
    qInfo("destructor took %lld ms", took);
    QVERIFY2(took < GiveUpMs, qPrintable(QString::number(took))); // nothing had to be given up
    QCOMPARE(rig->sim().countTelegramsFromDriver("on0"), 1);
    QTRY_COMPARE_WITH_TIMEOUT(TLProcessProbe::threadCount(), threadsBefore, ThreadExitMs);
    rig.reset();
}

void TestFaultDestroy::duringAnExposureWithTheDeviceBusy()
{
    // The tube is on and the host's device is busy; the host destroys the driver, and a
    // moment later its device leaves the busy state. The destructor waits for that, then
    // switches the generator off.
    static constexpr int BusyForMs = 500;
    const int threadsBefore = TLProcessProbe::threadCount();
    auto rig = std::make_unique<TLDirectTestRig>();
    QVERIFY(rig->isReady());
    QVERIFY(rig->switchOn());
    rig->host().clearRecords();
    rig->sim().setExposureDurationMs(GiveUpMs);
    QVERIFY(rig->sim().runExposure());
    QTRY_COMPARE_WITH_TIMEOUT(rig->host().countLog(QStringLiteral("EXPOSURE: exposure on")), 1, 10000);
    rig->sim().clearTranscript();

    rig->device().setState(DeviceState::Busy);
    TLAbstractDevice *device = &rig->device();
    std::thread host([device] {
        std::this_thread::sleep_for(std::chrono::milliseconds(BusyForMs));
        device->setState(DeviceState::Ready);
    });
    const qint64 took = destroyAndStop(*rig);
    host.join();
    qInfo("destructor took %lld ms", took);
    QVERIFY2(took >= BusyForMs - 50, qPrintable(QString::number(took)));
    QVERIFY2(took < BusyForMs + GiveUpMs, qPrintable(QString::number(took)));
    QCOMPARE(rig->sim().countTelegramsFromDriver("on0"), 1);
    QTRY_COMPARE_WITH_TIMEOUT(TLProcessProbe::threadCount(), threadsBefore, ThreadExitMs);
    rig.reset();
}

void TestFaultDestroy::rightAfterTheLinkFailed()
{
    // The echoes stop; the link gives up and has just closed its port; the driver's queued
    // reaction has not run yet when the host destroys it. The destructor has no port to
    // switch off and returns; the pending reaction is dropped with the object.
    const int threadsBefore = TLProcessProbe::threadCount();
    auto rig = std::make_unique<TLDirectTestRig>();
    QVERIFY(rig->isReady());
    QVERIFY(rig->switchOn());
    rig->device().setState(DeviceState::Ready);
    rig->host().clearRecords();
    rig->sim().dropAcknowledgements(-1);
    QElapsedTimer timer;
    timer.start();
    // No event loop here: the queued reaction stays queued.
    while (rig->driver().isPortOpen() && timer.elapsed() < 2 * qint64(GiveUpMs))
        QThread::msleep(10);
    QVERIFY(!rig->driver().isPortOpen());

    const qint64 took = destroyAndStop(*rig);
    qInfo("destructor took %lld ms", took);
    QVERIFY2(took < GiveUpMs, qPrintable(QString::number(took)));
    QTRY_COMPARE_WITH_TIMEOUT(rig->host().alarms().size(), 1, SettleMs); // shown by the link
    QCOMPARE(rig->host().countLog(QStringLiteral("serial port closed after error")), 0);
    QCOMPARE(rig->device().state(), DeviceState::Ready);
    QTRY_COMPARE_WITH_TIMEOUT(TLProcessProbe::threadCount(), threadsBefore, ThreadExitMs);
    rig.reset();
}

int main(int argc, char **argv)
{
    TLHostApplication app(argc, argv);
    TestFaultDestroy test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_faultdestroy.moc"
