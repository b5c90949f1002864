#include "TLDirectTestRig.h"
#include "TLSignalTally.h"

#include <QElapsedTimer>
#include <QtTest>

// The generator is switched off at its own panel while the driver has it switched on, and
// the line fails after that.
class TestFaultPower : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qRegisterMetaType<TLCondition>("TLCondition"); }
    void powerLostThenPollFails();
    void powerLostThenSettingFails();

private:
    // Switches on, then lets the generator lose its power; true once the driver has seen it.
    static bool switchOnThenLosePower(TLDirectTestRig &rig);
};

namespace {
constexpr int PollMs = 1000;
constexpr int GiveUpMs = 8000;
constexpr int SettleMs = 5000;
const QString NoConnectionText = QStringLiteral("Die Verbindung zum Generator ist nicht hergestellt.");
} // namespace

bool TestFaultPower::switchOnThenLosePower(TLDirectTestRig &rig)
{
    if (!rig.switchOn())
        return false;
    rig.device().setState(DeviceState::Ready);
    rig.host().clearRecords();
    rig.sim().setPowered(false);
    // The next status poll brings the news.
    QElapsedTimer timer;
    timer.start();
    while (rig.driver().statusGeneratorOn() && timer.elapsed() < 10 * qint64(PollMs))
        QTest::qWait(20);
    return !rig.driver().statusGeneratorOn();
}

void TestFaultPower::powerLostThenPollFails()
{
    // What the host sees: activation is refused with "Die Verbindung zum Generator ist nicht
    // hergestellt." and sends nothing; when the line then fails (here: no more echoes, so the
    // next status poll is given up after 8 s) the port closes without an alarm, without a
    // communication error and with the device state left alone.
    TLDirectTestRig rig;
    QVERIFY(rig.isReady());
    TLSignalTally linkErrors;
    linkErrors.watch(&rig.driver(), &TLKestrovanProtocol::communicationErrorOccurred);
    QVERIFY(switchOnThenLosePower(rig));
    QVERIFY(rig.driver().isSwitchedOn());

    rig.sim().clearTranscript();
    const TLCondition refused = rig.driver().activateForAcqusition();
    QVERIFY(refused.isError());
    QCOMPARE(refused.text(), NoConnectionText);
    QCOMPARE(rig.host().countLog(QStringLiteral("no connection to generator")), 1);
    QCOMPARE(rig.sim().countTelegramsFromDriver("rs"), 0);

    rig.sim().dropAcknowledgements(-1);
    QTRY_VERIFY_WITH_TIMEOUT(!rig.driver().isPortOpen(), PollMs + GiveUpMs + SettleMs);
    QTest::qWait(500); // a queued communication error would be handled by now
    QVERIFY(rig.host().alarms().isEmpty());
    QCOMPARE(linkErrors.total(), 0);
    QCOMPARE(rig.device().state(), DeviceState::Ready);
    QCOMPARE(rig.host().countLog(QStringLiteral("serial port closed after error")), 0);
    QVERIFY(rig.driver().activateForAcqusition().isError());
}

void TestFaultPower::powerLostThenSettingFails()
{
    // The echoes stop for 9 s as the host sets kV with the generator off at its panel. What the
    // host sees: setKV returns after the give-up (and the follow-up queries' waits), no alarm,
    // no communication error, the device state unchanged, the port closed.
    static constexpr int SilenceMs = 9000;
    TLDirectTestRig rig;
    QVERIFY(rig.isReady());
    TLSignalTally linkErrors;
    linkErrors.watch(&rig.driver(), &TLKestrovanProtocol::communicationErrorOccurred);
    QVERIFY(switchOnThenLosePower(rig));
    rig.sim().clearTranscript();
    QVERIFY(rig.waitForPayload("qs?", SettleMs));
    QVERIFY(rig.sim().waitForIdle(SettleMs));

    rig.sim().dropAcknowledgementsFor(SilenceMs);
    QElapsedTimer timer;
    timer.start();
    rig.driver().setKV(84);
    qInfo("setKV on a failing link took %lld ms", timer.elapsed());
    QVERIFY(rig.sim().countTelegramsFromDriver("kv84") >= GiveUpMs / 1000);
    QVERIFY(rig.sim().value("kv") != "84");
    QVERIFY(!rig.driver().isPortOpen());
    QTest::qWait(500);
    QVERIFY(rig.host().alarms().isEmpty());
    QCOMPARE(linkErrors.total(), 0);
    QCOMPARE(rig.device().state(), DeviceState::Ready);
    QCOMPARE(rig.host().countLog(QStringLiteral("serial port closed after error")), 0);
}

int main(int argc, char **argv)
{
    TLHostApplication app(argc, argv);
    TestFaultPower test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_faultpower.moc"
