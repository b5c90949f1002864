#include "TLDirectTestRig.h"
#include "TLGeneratorConfigData.h"

#include <QtTest>

// Switching on and off, the start-up sequence, and direct-mode initialisation.
class TestDriverPower : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qRegisterMetaType<TLCondition>("TLCondition"); }
    void startUpSequence_data();
    void startUpSequence();
    void secondSwitchOnSendsNothing();
    void switchOffSendsPowerOffAndClosesTheLink();
    void switchOffWithoutSwitchOn_data();
    void switchOffWithoutSwitchOn();
    void initWithoutCatalogueWarnsButSwitchesOn();
    void initWhoseSwitchOnFailsReportsThePort();
    void noPowerOnReport();
    void earlierPowerReportEndsTheWaitAtOnce();
};

namespace {
const QByteArrayList CurrentSettingsQueries{"fc?", "dc?", "em?", "kv?", "ma?", "ms?", "as?", "af?", "ad?"};
}

void TestDriverPower::startUpSequence_data()
{
    QTest::addColumn<bool>("blockQueries");
    QTest::addColumn<QByteArrayList>("expected");
    QTest::newRow("with follow-up queries")
        << false
        << QByteArrayList{"on1"} + CurrentSettingsQueries
               + QByteArrayList{"fc1", "fc?", "as?", "ma?", "dc01", "dc?"} + CurrentSettingsQueries;
    // Blocked: focus is still read (with its own query, as nothing is known) and sent back.
    QTest::newRow("queries blocked") << true << QByteArrayList{"on1", "fc?", "fc1", "dc01"};
}

void TestDriverPower::startUpSequence()
{
    QFETCH(bool, blockQueries);
    QFETCH(QByteArrayList, expected);
    TLDirectTestRig rig;
    QVERIFY(rig.isReady());
    rig.driver().setBlockQueries(blockQueries);
    QVERIFY(rig.switchOn());
    QCOMPARE(rig.payloadsFromDriver(), expected);
    const QStringList lines = rig.host().logTexts();
    const QStringList milestones{
        QStringLiteral("generator switched on"), QStringLiteral("query init values finished"),
        QStringLiteral("set focus for activation"), QStringLiteral("set target device (table)")};
    int last = -1;
    for (const QString &milestone : milestones) {
        const int at = lines.indexOf(milestone);
        QVERIFY2(at > last, qPrintable(milestone));
        last = at;
    }
    // The status poll runs from the power-on command on.
    QVERIFY(rig.payloadsFromDriver(true).contains("st?"));
    QVERIFY(rig.driver().statusGeneratorOn());
}

void TestDriverPower::secondSwitchOnSendsNothing()
{
    TLDirectTestRig rig;
    QVERIFY(rig.isReady());
    QVERIFY(rig.switchOn());
    rig.sim().clearTranscript();
    QVERIFY(rig.driver().switchOn().isSuccess());
    QVERIFY(rig.payloadsFromDriver().isEmpty());
}

void TestDriverPower::switchOffSendsPowerOffAndClosesTheLink()
{
    TLDirectTestRig rig;
    QVERIFY(rig.isReady());
    QVERIFY(rig.switchOn());
    rig.sim().clearTranscript();
    QVERIFY(rig.driver().switchOff().isSuccess());
    QCOMPARE(rig.payloadsFromDriver(), QByteArrayList{"on0"});
    QVERIFY(rig.sim().telegramsFromDriver().contains(QByteArray::fromHex("6f6e30b1")));
    QVERIFY(!rig.driver().isPortOpen());
    QVERIFY(!rig.driver().isSwitchedOn());
    QCOMPARE(rig.host().countLog(QStringLiteral("generator switched off")), 1);
    // Nothing more leaves once the link is closed, not even the poll.
    rig.sim().clearTranscript();
    QTest::qWait(1500);
    QVERIFY(rig.sim().bytesFromDriver().isEmpty());
}

void TestDriverPower::switchOffWithoutSwitchOn_data()
{
    QTest::addColumn<bool>("linkOpen");
    QTest::newRow("nothing open") << false;
    QTest::newRow("link open, generator not switched on") << true;
}

void TestDriverPower::switchOffWithoutSwitchOn()
{
    QFETCH(bool, linkOpen);
    TLDirectTestRig rig;
    QVERIFY(rig.isReady());
    if (linkOpen)
        QVERIFY(rig.driver().openConnection().isSuccess());
    QVERIFY(rig.driver().switchOff().isSuccess());
    QVERIFY(!rig.driver().isPortOpen());
    QVERIFY(rig.payloadsFromDriver().isEmpty());
    QCOMPARE(rig.host().countLog(QStringLiteral("generator switched off")), linkOpen ? 1 : 0);
}

void TestDriverPower::initWithoutCatalogueWarnsButSwitchesOn()
{
    TLDirectTestRig rig;
    QVERIFY(rig.isReady());
    const TLCondition result = rig.driver().initGenerator();
    QVERIFY(result.isWarning());
    QVERIFY(result.text().endsWith(QStringLiteral("Die Datei mit Fehlerinformationen existiert nicht.")));
    QVERIFY(rig.driver().isSwitchedOn());
    QCOMPARE(rig.host().countLog(QStringLiteral("init generator for direct connection")), 1);
}

void TestDriverPower::initWhoseSwitchOnFailsReportsThePort()
{
    TLDirectTestRig rig;
    QVERIFY(rig.isReady());
    rig.writeErrorCatalogue("code;description;details;type\n105;Text A;Text B;Error");
    QSharedPointer<TLGeneratorConfigData> bad(new TLGeneratorConfigData);
    bad->portName = QStringLiteral("/dev/kestrovan-missing");
    rig.driver().setDeviceConfig(bad);
    const TLCondition result = rig.driver().initGenerator();
    QVERIFY(result.isError());
    QCOMPARE(result.text(), QStringLiteral("Fehler beim Öffnen des COM-Ports /dev/kestrovan-missing"));
    QCOMPARE(rig.host().countLog(QStringLiteral("failed to switch on generator - com port error")), 1);
    QVERIFY(!rig.driver().isSwitchedOn());
}

void TestDriverPower::noPowerOnReport()
{
    TLDirectTestRig rig;
    QVERIFY(rig.isReady());
    rig.sim().setPowerOnDelayMs(600000);
    QElapsedTimer timer;
    timer.start();
    const TLCondition result = rig.driver().switchOn();
    QVERIFY(timer.elapsed() > TLGeneratorDriverKestrovan::PowerOnTimeoutMs);
    QVERIFY(result.isError());
    QCOMPARE(result.text(), QStringLiteral("Keine Einschalt-Rückmeldung vom Generator."));
    QVERIFY(!rig.driver().isSwitchedOn());
    QCOMPARE(
        rig.host().countLog(QStringLiteral("failed to switch on generator - no power on acknowledgment")), 1);
    // The link stays open and keeps polling.
    QVERIFY(rig.driver().isPortOpen());
    rig.sim().clearTranscript();
    QVERIFY(rig.waitForPayload("st?", 3000));
}

void TestDriverPower::earlierPowerReportEndsTheWaitAtOnce()
{
    TLDirectTestRig rig;
    QVERIFY(rig.isReady());
    QVERIFY(rig.switchOn());
    // A lost link closes the port and clears the flag, but the last status stays known.
    emit rig.driver().communicationErrorOccurred();
    QTRY_VERIFY_WITH_TIMEOUT(!rig.driver().isSwitchedOn(), 5000);
    QVERIFY(!rig.driver().isPortOpen());
    // The last status said "on"; the next switch-on does not wait for a fresh report.
    rig.sim().setPowerOnDelayMs(600000);
    rig.sim().setPowered(false);
    QVERIFY(rig.driver().switchOn().isSuccess());
    QVERIFY(rig.driver().isSwitchedOn());
}

int main(int argc, char **argv)
{
    TLHostApplication app(argc, argv);
    TestDriverPower test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_driverpower.moc"
