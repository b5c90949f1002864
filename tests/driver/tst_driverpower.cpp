#include "KestrovanTiming.h"
#include "TLDirectTestRig.h"
#include "TLTestMain.h"

#include <thread>

namespace {
// A poll still running would write within one interval; half an interval more for the load.
constexpr int NoPollWindowMs = Kestrovan::StatusPollIntervalMs + Kestrovan::StatusPollIntervalMs / 2;
// How long the host's device stays busy while the destructor waits for it.
constexpr int HostBusyMs = 800;
} // namespace

// Switching on and off, initialisation, the host's commands, activation for an acquisition, a
// lost link and destruction.
class TestDriverPower : public QObject
{
    Q_OBJECT

private slots:
    void startUp_data()
    {
        QTest::addColumn<bool>("blockQueries");
        QTest::addColumn<QByteArray>("focus"); // the generator's
        QTest::addColumn<QByteArrayList>("expected");
        const QByteArrayList current{"fc?", "dc?", "em?", "kv?", "ma?", "ms?", "as?", "af?", "ad?"};
        QTest::newRow("with follow-up queries")
            << false << QByteArray("1")
            << QByteArrayList{"on1"} + current + QByteArrayList{"fc1", "fc?", "as?", "ma?", "dc01", "dc?"}
                   + current;
        // Blocked: the focus is still read (asked for and awaited, as nothing is known) and sent back.
        QTest::newRow("queries blocked")
            << true << QByteArray("2") << QByteArrayList{"on1", "fc?", "fc2", "dc01"};
    }
    void startUp()
    {
        QFETCH(bool, blockQueries);
        QFETCH(QByteArray, focus);
        QFETCH(QByteArrayList, expected);
        TLDirectTestRig rig;
        QVERIFY(rig.isReady());
        rig.sim().model().setValue("fc", focus);
        rig.driver().setBlockQueries(blockQueries);
        QVariant unchanged(3);
        QVERIFY(rig.driver().executeCommand(QStringLiteral("switchOn"), unchanged).isSuccess());
        QVERIFY(rig.driver().isSwitchedOn());
        QCOMPARE(unchanged, QVariant(3));
        QCOMPARE(rig.payloadsFromDriver(), expected);
        QCOMPARE(rig.sim().line().telegramsFromDriver().first().toHex(' '), QByteArray("6f 6e 31 b0"));
        int last = -1;
        for (const char *milestone : {"generator switched on", "query init values finished",
                                      "set focus for activation", "set target device (table)"}) {
            const int at = rig.host().logTexts().indexOf(QLatin1String(milestone));
            QVERIFY2(at > last, milestone);
            last = at;
        }
        // The status poll runs from the power-on command on; a second switch-on sends nothing.
        QVERIFY(rig.waitForPayload("st?", 2000));
        rig.sim().line().clearTranscript();
        QVERIFY(rig.driver().switchOn().isSuccess());
        QVERIFY(rig.payloadsFromDriver().isEmpty());
        // Switching off sends the power-off command and closes the link: nothing leaves after it.
        QVERIFY(rig.driver().executeCommand(QStringLiteral("switchOff"), unchanged).isSuccess());
        QCOMPARE(rig.payloadsFromDriver(), QByteArrayList{"on0"});
        QVERIFY(!rig.driver().isPortOpen() && !rig.driver().isSwitchedOn());
        QCOMPARE(rig.host().countLog(QStringLiteral("generator switched off")), 1);
        rig.sim().line().clearTranscript();
        QTest::qWait(NoPollWindowMs);
        QVERIFY(rig.sim().line().bytesFromDriver().isEmpty());
    }

    void switchOffWithoutSwitchOn_data()
    {
        QTest::addColumn<bool>("linkOpen");
        QTest::newRow("nothing open") << false;
        QTest::newRow("link open, not switched on") << true;
    }
    void switchOffWithoutSwitchOn()
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

    void initGenerator_data()
    {
        QTest::addColumn<QByteArray>("catalogue");
        QTest::addColumn<bool>("portExists");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("switchedOn");
        QTest::newRow("all well") << QByteArray("code;d;d;t\n1;a;b;Error") << true << QString() << true;
        QTest::newRow("no catalogue: its warning, switched on anyway")
            << QByteArray() << true << "Die Datei mit Fehlerinformationen existiert nicht." << true;
        QTest::newRow("no port: the port's error wins")
            << QByteArray() << false << "Fehler beim Öffnen des COM-Ports /dev/kestrovan-missing" << false;
    }
    void initGenerator()
    {
        QFETCH(QByteArray, catalogue);
        QFETCH(bool, portExists);
        QFETCH(QString, text);
        QFETCH(bool, switchedOn);
        TLDirectTestRig rig;
        QVERIFY(rig.isReady());
        if (!catalogue.isEmpty())
            rig.writeErrorCatalogue(catalogue);
        if (!portExists)
            rig.setPortName(QStringLiteral("/dev/kestrovan-missing"));
        const TLCondition result = rig.driver().initGenerator();
        QVERIFY2(result.text().endsWith(text), qPrintable(result.text()));
        QCOMPARE(result.isSuccess(), text.isEmpty());
        QCOMPARE(result.isWarning(), switchedOn && !text.isEmpty());
        QCOMPARE(rig.driver().isSwitchedOn(), switchedOn);
        QCOMPARE(rig.host().countLog(QStringLiteral("init generator for direct connection")), 1);
        QCOMPARE(rig.host().countLog(QStringLiteral("failed to switch on generator - com port error")),
                 portExists ? 0 : 1);
    }

    void executeCommand_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QVariant>("expected");
        QTest::newRow("version") << "version" << QVariant(QStringLiteral("V2.0-sim"));
        QTest::newRow("isDapEnabled") << "isDapEnabled" << QVariant(true);
        QTest::newRow("Version: letter case counts") << "Version" << QVariant(17);
        QTest::newRow("unknown name") << "reboot" << QVariant(17);
    }
    void executeCommand()
    {
        QFETCH(QString, name);
        QFETCH(QVariant, expected);
        TLDirectTestRig rig;
        QVERIFY(rig.isReady());
        rig.sim().model().setVersion("V2.0-sim");
        rig.sim().model().setDapEnabled(true);
        // The commands need an open link and a known status word 2, not a switched-on generator.
        QVERIFY(rig.driver().openConnection().isSuccess());
        QVERIFY(rig.driver().query(Kestrovan::Status2, true).isSuccess());
        QVERIFY(rig.driver().statusDapEnabled());
        QVariant value(17);
        QVERIFY(rig.driver().executeCommand(name, value).isSuccess());
        QCOMPARE(value, expected);
    }

    void activation()
    {
        TLDirectTestRig rig;
        QVERIFY(rig.isReady());
        const QString notConnected = QStringLiteral("Die Verbindung zum Generator ist nicht hergestellt.");
        QCOMPARE(rig.driver().activateForAcqusition().text(), notConnected);
        QCOMPARE(rig.host().countLog(QStringLiteral("no connection to generator")), 1);
        QVERIFY(rig.sim().line().bytesFromDriver().isEmpty());
        rig.sim().model().setFocusReadyDelayMs(300);
        QVERIFY(rig.switchOn());
        rig.sim().line().clearTranscript();
        QElapsedTimer timer;
        timer.start();
        QVERIFY(rig.driver().activateForAcqusition().isSuccess());
        QVERIFY(timer.elapsed() >= 300);
        QCOMPARE(rig.payloadsFromDriver(), QByteArrayList{"rs"});
        QVERIFY(rig.driver().statusFocusReady());
        // Focus already ready: the reset is sent and nothing is awaited.
        timer.restart();
        QVERIFY(rig.driver().activateForAcqusition().isSuccess());
        QVERIFY(timer.elapsed() < 250);
        QCOMPARE(rig.payloadsFromDriver(), (QByteArrayList{"rs", "rs"}));
        // Switched off at the generator's panel: refused, nothing sent, still switched on.
        rig.sim().model().setPowered(false);
        QTRY_VERIFY_WITH_TIMEOUT(!rig.driver().statusGeneratorOn(), 3000);
        QCOMPARE(rig.driver().activateForAcqusition().text(), notConnected);
        QCOMPARE(rig.payloadsFromDriver(), (QByteArrayList{"rs", "rs"}));
        QVERIFY(rig.driver().isSwitchedOn());
    }

    void lostLink()
    {
        QThread *stateThread = nullptr; // outlives the rig, whose end sets the state once more
        TLDirectTestRig rig;
        QVERIFY(rig.isReady());
        // With the port already closed the flag is still cleared and the device marked.
        emit rig.driver().communicationErrorOccurred();
        QTRY_COMPARE_WITH_TIMEOUT(rig.device().state(), DeviceState::Error, 2000);
        QCOMPARE(rig.host().countLog(QStringLiteral("serial port closed after error")), 1);
        QVERIFY(rig.switchOn());
        rig.device().setState(DeviceState::Ready);
        connect(
            &rig.device(), &TLAbstractDevice::stateChanged, &rig.device(),
            [&](int) { stateThread = QThread::currentThread(); }, Qt::DirectConnection);
        // A failure of the link now current, as the link reports it.
        rig.driver().onCommunicationErrorOccurred(TLCondition::error(QStringLiteral("cable")));
        QTRY_VERIFY_WITH_TIMEOUT(!rig.driver().isSwitchedOn(), 3000);
        QVERIFY(!rig.driver().isPortOpen());
        QCOMPARE(stateThread, QThread::currentThread());
        // The last status stays known: the next switch-on does not wait for a new report.
        rig.sim().model().setPowerOnDelayMs(600000);
        rig.sim().model().setPowered(false);
        QVERIFY(rig.switchOn());
    }

    void destructorWaitsForABusyDevice()
    {
        TLDirectTestRig rig;
        QVERIFY(rig.isReady());
        QVERIFY(rig.switchOn());
        rig.device().setState(DeviceState::Busy);
        rig.sim().line().clearTranscript();
        std::thread host([&rig] {
            std::this_thread::sleep_for(std::chrono::milliseconds(HostBusyMs));
            rig.device().setState(DeviceState::Ready);
        });
        QElapsedTimer timer;
        timer.start();
        rig.destroyDriver();
        const qint64 took = timer.elapsed();
        host.join();
        QVERIFY(took >= HostBusyMs * 9 / 10); // the host started its clock a moment earlier
        QCOMPARE(rig.payloadsFromDriver(), QByteArrayList{"on0"});
    }
};

TL_TEST_MAIN(TestDriverPower)
#include "tst_driverpower.moc"
