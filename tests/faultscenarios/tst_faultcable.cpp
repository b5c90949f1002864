#include "TLDirectTestRig.h"
#include "TLLinkLossCheck.h"
#include "TLProcessProbe.h"
#include "TLSignalTally.h"

#include <QElapsedTimer>
#include <QtTest>

#include <thread>

// The cable is pulled (the far end of the pseudo-terminal closes) while the generator is on.
class TestFaultCable : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qRegisterMetaType<TLCondition>("TLCondition"); }
    void pulledWhileIdle();
    void pulledDuringTransmission();
};

namespace {
constexpr int GiveUpMs = 8000;
constexpr int PollMs = 1000;
constexpr int SettleMs = 5000;
} // namespace

void TestFaultCable::pulledWhileIdle()
{
    // Nothing is under way when the cable goes; the next status poll's telegram cannot be
    // written, is tried again for 8 s and given up. What the host sees: one alarm with the
    // link's failure text and the device in state 4, at most about a poll plus 8 s after the
    // cable went; meanwhile nothing spins on the dead port. After re-plugging (a new line
    // configured) "switchOn" brings the generator back.
    TLDirectTestRig rig;
    QVERIFY(rig.isReady());
    QVERIFY(rig.switchOn());
    rig.device().setState(DeviceState::Ready);
    TLSignalTally linkErrors;
    linkErrors.watch(&rig.driver(), &TLKestrovanProtocol::communicationErrorOccurred);
    rig.host().clearRecords();

    rig.sim().hangUp();
    QElapsedTimer sincePulled;
    sincePulled.start();
    const double share = TLLinkLossCheck::cpuShareOver(TLLinkLossCheck::CpuSpanMs);
    qInfo("CPU share on the dead line, before the failure: %.3f", share);
    QVERIFY2(share < TLLinkLossCheck::MaxCpuShare, qPrintable(QString::number(share)));
    QVERIFY(rig.host().alarms().isEmpty());

    TLLinkLossCheck::verifyLossAndRecovery(rig, linkErrors, sincePulled, PollMs + GiveUpMs);
}

void TestFaultCable::pulledDuringTransmission()
{
    // setKV's telegram is being repeated for want of an echo when the cable goes. What the
    // host sees: setKV returns once the telegram is given up (8 s after its first write), one
    // alarm, device state 4; nothing spins meanwhile. The follow-up queries are blocked by
    // the host here, so that the setter's duration is the transmission's alone.
    TLDirectTestRig rig;
    QVERIFY(rig.isReady());
    QVERIFY(rig.switchOn());
    rig.device().setState(DeviceState::Ready);
    TLSignalTally linkErrors;
    linkErrors.watch(&rig.driver(), &TLKestrovanProtocol::communicationErrorOccurred);
    rig.host().clearRecords();
    rig.sim().clearTranscript();
    QVERIFY(rig.waitForPayload("qs?", SettleMs));
    QVERIFY(rig.sim().waitForIdle(SettleMs));
    rig.driver().setBlockQueries(true);

    static constexpr int PullAfterMs = 1500;
    rig.sim().dropAcknowledgements(-1);
    QElapsedTimer sincePulled;
    double cpuBefore = 0;
    std::thread cable([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(PullAfterMs));
        rig.sim().hangUp();
        sincePulled.start();
        cpuBefore = TLProcessProbe::cpuSeconds();
    });
    QElapsedTimer timer;
    timer.start();
    rig.driver().setKV(83);
    const qint64 took = timer.elapsed();
    cable.join();
    const double share =
        (TLProcessProbe::cpuSeconds() - cpuBefore) / (double(sincePulled.elapsed()) / 1000.0);
    qInfo("setKV took %lld ms; CPU share on the dead line until then: %.3f", took, share);
    QVERIFY2(share < TLLinkLossCheck::MaxCpuShare, qPrintable(QString::number(share)));
    QVERIFY(took >= GiveUpMs);
    // Written before and, unheard, after the cable went; never taken over.
    QVERIFY(rig.sim().countTelegramsFromDriver("kv83") >= 2);
    QVERIFY(rig.sim().value("kv") != "83");

    rig.driver().setBlockQueries(false);
    rig.sim().dropAcknowledgements(0);
    TLLinkLossCheck::verifyLossAndRecovery(rig, linkErrors, sincePulled, GiveUpMs);
}

int main(int argc, char **argv)
{
    TLHostApplication app(argc, argv);
    TestFaultCable test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_faultcable.moc"
