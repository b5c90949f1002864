#include "TLDirectTestRig.h"
#include "TLLinkLossCheck.h"
#include "TLSignalTally.h"

#include <QElapsedTimer>
#include <QtTest>

// The cable is pulled in the middle of an exposure.
class TestFaultCableExposure : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qRegisterMetaType<TLCondition>("TLCondition"); }
    void pulledDuringExposure();
};

namespace {
constexpr int GiveUpMs = 8000;
constexpr int ReplyTimeoutMs = int(TLKestrovanProtocol::ReplyTimeoutMs);
constexpr int SettleMs = 5000;
// The simulator's exposure takes this long between exposure on and off.
constexpr int ExposureMs = 3000;
// The prepare and exposure phases before exposure on, with both host answers at once.
constexpr int ExposureStartMs = 10000;
} // namespace

void TestFaultCableExposure::pulledDuringExposure()
{
    // The cable goes while the tube is on. With the exposure key held the status poll is off,
    // so the driver writes nothing and cannot notice the dead line by itself; nothing spins
    // meanwhile. The host's next call after the exposure, lastExposureSettings(), writes the
    // first telegram: it is given up after 8 s, the call still returns (success, with the
    // values it has), and the host sees one alarm and the device in state 4. Re-plugged,
    // "switchOn" brings the generator back.
    TLDirectTestRig rig;
    QVERIFY(rig.isReady());
    QVERIFY(rig.switchOn());
    rig.device().setState(DeviceState::Ready);
    TLSignalTally linkErrors;
    linkErrors.watch(&rig.driver(), &TLKestrovanProtocol::communicationErrorOccurred);
    rig.host().clearRecords();
    rig.sim().setExposureDurationMs(ExposureMs);
    QVERIFY(rig.sim().runExposure());
    QTRY_COMPARE_WITH_TIMEOUT(rig.host().countLog(QStringLiteral("EXPOSURE: exposure on")), 1,
                              ExposureStartMs);

    rig.sim().hangUp();
    QVERIFY(rig.sim().waitForExposureDone(SettleMs));
    QCOMPARE(rig.sim().exposureOutcome(), TLKestrovanGeneratorSimulator::ExposureOutcome::LinkLost);
    const double share = TLLinkLossCheck::cpuShareOver(TLLinkLossCheck::CpuSpanMs);
    qInfo("CPU share on the dead line, the driver idle: %.3f", share);
    QVERIFY2(share < TLLinkLossCheck::MaxCpuShare, qPrintable(QString::number(share)));
    QCOMPARE(rig.host().countLog(QStringLiteral("EXPOSURE: exposure off")), 0);

    QElapsedTimer sinceFirstWrite;
    sinceFirstWrite.start();
    TLGeneratorSettings last;
    const TLCondition result = rig.driver().lastExposureSettings(last);
    const qint64 took = sinceFirstWrite.elapsed();
    qInfo("lastExposureSettings on the dead line took %lld ms", took);
    QVERIFY(result.isSuccess());
    // The first query waits its reply time, the second waits in the queue until the first is
    // given up, the last two wait their reply times on a failed link: bounded all the same.
    QVERIFY2(took <= GiveUpMs + 2 * ReplyTimeoutMs + SettleMs, qPrintable(QString::number(took)));

    // The alarm comes from the link thread at the give-up; the device state follows in the
    // main thread once the host's call has returned.
    TLLinkLossCheck::verifyLossAndRecovery(rig, linkErrors, sinceFirstWrite, GiveUpMs + 2 * ReplyTimeoutMs);
}

int main(int argc, char **argv)
{
    TLHostApplication app(argc, argv);
    TestFaultCableExposure test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_faultcableexposure.moc"
