#include "TLDirectTestRig.h"

#include <QtTest>

#include <thread>

// Host commands, activation for an acquisition, the reaction to a lost link, and destruction.
class TestDriverLifecycle : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qRegisterMetaType<TLCondition>("TLCondition"); }
    void executeCommandNames_data();
    void executeCommandNames();
    void switchThroughCommands();
    void activationBeforeSwitchOn();
    void activationWithFocusReady();
    void activationWhenGeneratorReportsOff();
    void activationFocusNeverReady();
    void communicationErrorWithPortClosed();
    void destructorWaitsForBusyDevice();
};

void TestDriverLifecycle::executeCommandNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QVariant>("expected");
    QTest::newRow("version") << "version" << QVariant(QStringLiteral("V2.0-sim"));
    QTest::newRow("isDapEnabled") << "isDapEnabled" << QVariant(true);
    QTest::newRow("Version (letter case differs)") << "Version" << QVariant(17);
    QTest::newRow("unknown name") << "reboot" << QVariant(17);
    QTest::newRow("empty name") << "" << QVariant(17);
}

void TestDriverLifecycle::executeCommandNames()
{
    QFETCH(QString, name);
    QFETCH(QVariant, expected);
    TLDirectTestRig rig;
    QVERIFY(rig.isReady());
    rig.sim().setVersion("V2.0-sim");
    rig.sim().setDapEnabled(true);
    QVERIFY(rig.switchOn());
    QTRY_VERIFY_WITH_TIMEOUT(rig.driver().statusDapEnabled(), 5000);
    QVariant value(17);
    QVERIFY(rig.driver().executeCommand(name, value).isSuccess());
    QCOMPARE(value, expected);
}

void TestDriverLifecycle::switchThroughCommands()
{
    TLDirectTestRig rig;
    QVERIFY(rig.isReady());
    QVariant value(3);
    QVERIFY(rig.driver().executeCommand(QStringLiteral("switchOn"), value).isSuccess());
    QVERIFY(rig.driver().isSwitchedOn());
    QCOMPARE(value, QVariant(3));
    QVERIFY(rig.driver().executeCommand(QStringLiteral("switchOff"), value).isSuccess());
    QVERIFY(!rig.driver().isSwitchedOn());
    QVERIFY(rig.payloadsFromDriver().contains("on0"));
}

void TestDriverLifecycle::activationBeforeSwitchOn()
{
    TLDirectTestRig rig;
    QVERIFY(rig.isReady());
    const TLCondition result = rig.driver().activateForAcqusition();
    QVERIFY(result.isError());
    QCOMPARE(result.text(), QStringLiteral("Die Verbindung zum Generator ist nicht hergestellt."));
    QCOMPARE(rig.host().countLog(QStringLiteral("no connection to generator")), 1);
    QVERIFY(rig.sim().bytesFromDriver().isEmpty());
}

void TestDriverLifecycle::activationWithFocusReady()
{
    TLDirectTestRig rig;
    QVERIFY(rig.isReady());
    rig.sim().setFocusReadyDelayMs(300);
    QVERIFY(rig.switchOn());
    rig.sim().clearTranscript();
    QVERIFY(rig.driver().activateForAcqusition().isSuccess());
    QCOMPARE(rig.payloadsFromDriver().first(), QByteArray("rs"));
    QVERIFY(rig.driver().statusFocusReady());
    // Focus already ready: the reset is sent and nothing is awaited.
    QVERIFY(rig.driver().activateForAcqusition().isSuccess());
    QCOMPARE(rig.payloadsFromDriver().count("rs"), 2);
}

void TestDriverLifecycle::activationWhenGeneratorReportsOff()
{
    TLDirectTestRig rig;
    QVERIFY(rig.isReady());
    QVERIFY(rig.switchOn());
    rig.sim().setPowered(false);
    QTRY_VERIFY_WITH_TIMEOUT(!rig.driver().statusGeneratorOn(), 5000);
    rig.sim().clearTranscript();
    const TLCondition result = rig.driver().activateForAcqusition();
    QCOMPARE(result.text(), QStringLiteral("Die Verbindung zum Generator ist nicht hergestellt."));
    QVERIFY(!rig.payloadsFromDriver().contains("rs"));
    QVERIFY(rig.driver().isSwitchedOn());
}

void TestDriverLifecycle::activationFocusNeverReady()
{
    TLDirectTestRig rig;
    QVERIFY(rig.isReady());
    rig.sim().setFocusReadyDelayMs(600000);
    QVERIFY(rig.switchOn());
    rig.host().clearRecords();
    QElapsedTimer timer;
    timer.start();
    const TLCondition result = rig.driver().activateForAcqusition();
    QVERIFY(timer.elapsed() > TLGeneratorDriverKestrovan::FocusReadyTimeoutMs);
    QVERIFY(result.isError());
    QCOMPARE(result.text(), QStringLiteral("Fokus nicht bereit."));
    QVERIFY(rig.driver().isSwitchedOn());
    // The driver writes no line of its own for it (the host may log the error condition).
    for (const TLHostApplication::LogRecord &record : rig.host().logRecords()) {
        if (record.category == QLatin1String("KESTROVAN"))
            QVERIFY2(record.level != LogLevel::Error, qPrintable(record.text));
    }
}

void TestDriverLifecycle::communicationErrorWithPortClosed()
{
    TLDirectTestRig rig;
    QVERIFY(rig.isReady());
    emit rig.driver().communicationErrorOccurred();
    QTRY_COMPARE_WITH_TIMEOUT(rig.device().state(), DeviceState::Error, 2000);
    QCOMPARE(rig.host().countLog(QStringLiteral("serial port closed after error")), 1);
    QVERIFY(!rig.driver().isSwitchedOn());
}

void TestDriverLifecycle::destructorWaitsForBusyDevice()
{
    TLDirectTestRig rig;
    QVERIFY(rig.isReady());
    QVERIFY(rig.switchOn());
    rig.device().setState(DeviceState::Busy);
    rig.sim().clearTranscript();
    static constexpr int BusyForMs = 800;
    std::thread host([&rig] {
        std::this_thread::sleep_for(std::chrono::milliseconds(BusyForMs));
        rig.device().setState(DeviceState::Ready);
    });
    QElapsedTimer timer;
    timer.start();
    rig.destroyDriver();
    const qint64 took = timer.elapsed();
    host.join();
    QVERIFY(took >= BusyForMs - 50);
    // Switched off on the way out.
    QCOMPARE(rig.payloadsFromDriver(), QByteArrayList{"on0"});
}

int main(int argc, char **argv)
{
    TLHostApplication app(argc, argv);
    TestDriverLifecycle test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_driverlifecycle.moc"
