#include "TLDirectTestRig.h"

#include <QThread>
#include <QtTest>

// Generator error codes reaching the alarm, the automatic reset, and a lost link.
class TestDriverErrors : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qRegisterMetaType<TLCondition>("TLCondition"); }
    void alarmsAreThrottledPerCode();
    void resetFollowsAReport();
    void linkLossWhilePoweredOn();
    void linkLossWhilePoweredOff();

private:
    static const QByteArray Catalogue;
};

const QByteArray TestDriverErrors::Catalogue = "code;description;details;type\n105;Röhre zu heiß;Abkühlen "
                                               "lassen;Error\n7;Tür offen;Tür schließen;Warning";

void TestDriverErrors::alarmsAreThrottledPerCode()
{
    TLDirectTestRig rig;
    QVERIFY(rig.isReady());
    rig.writeErrorCatalogue(Catalogue);
    QVERIFY(rig.driver().initGenerator().isSuccess());
    rig.host().clearRecords();

    rig.sim().sendTelegram("rr105");
    QTRY_COMPARE_WITH_TIMEOUT(rig.host().alarms().size(), 1, 5000);
    const TLHostApplication::AlarmRecord first = rig.host().alarms().first();
    QVERIFY(first.condition.isError());
    QCOMPARE(first.condition.text(), QStringLiteral("Generatorfehler: 105\n") + QString(83, QLatin1Char(' '))
                                         + QStringLiteral("\nRöhre zu heiß"));
    QCOMPARE(first.condition.details(), QStringLiteral("Abkühlen lassen"));
    QCOMPARE(first.text, QString());
    QCOMPARE(first.flag, false);

    // The same code again within 5 s: no second alarm. Another code: its own alarm.
    rig.sim().sendTelegram("rr105");
    rig.sim().sendTelegram("rr7");
    QTRY_COMPARE_WITH_TIMEOUT(rig.host().alarms().size(), 2, 5000);
    QTest::qWait(500);
    QCOMPARE(rig.host().alarms().size(), 2);
    QVERIFY(rig.host().alarms().at(1).condition.isWarning());
    QCOMPARE(rig.host().countLog(QStringLiteral("handle error: 105")), 1);

    // An unknown code still reaches the user.
    rig.sim().sendTelegram("rr42");
    QTRY_COMPARE_WITH_TIMEOUT(rig.host().alarms().size(), 3, 5000);
    QCOMPARE(rig.host().alarms().at(2).condition.text(), QStringLiteral("Generatorfehler: 42"));

    // After more than 5 s of silence about it, 105 is shown again.
    QTest::qWait(int(TLKestrovanProtocol::ErrorRepeatMs) + 800);
    rig.sim().sendTelegram("rr105");
    QTRY_COMPARE_WITH_TIMEOUT(rig.host().alarms().size(), 4, 5000);
    QCOMPARE(rig.host().countLog(QStringLiteral("handle error: 105")), 2);
}

void TestDriverErrors::resetFollowsAReport()
{
    TLDirectTestRig rig;
    QVERIFY(rig.isReady());
    rig.writeErrorCatalogue(Catalogue);
    QVERIFY(rig.driver().initGenerator().isSuccess());
    rig.sim().clearTranscript();
    rig.sim().injectError("105");
    QTRY_COMPARE_WITH_TIMEOUT(rig.host().alarms().size(), 1, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(rig.host().countLog(QStringLiteral("reset error")), 1, 6000);
    QVERIFY(rig.waitForPayload("rs", 3000));
    // The reset telegram, then the error code asked for again, byte for byte.
    QTRY_VERIFY_WITH_TIMEOUT(rig.payloadsFromDriver().count("rr?") >= 2, 3000);
    const QList<QByteArray> sent = rig.sim().telegramsFromDriver();
    const int reset = sent.indexOf(QByteArray::fromHex("727381"));
    QVERIFY(reset >= 0);
    QVERIFY(sent.indexOf(QByteArray::fromHex("72723FBF"), reset) > reset);
    // One report, one reset: later polls send none.
    QTest::qWait(3500);
    QCOMPARE(rig.payloadsFromDriver().count("rs"), 1);
    QCOMPARE(rig.host().countLog(QStringLiteral("reset error")), 1);
}

void TestDriverErrors::linkLossWhilePoweredOn()
{
    TLDirectTestRig rig;
    QVERIFY(rig.isReady());
    QVERIFY(rig.switchOn());
    QThread *stateThread = nullptr;
    QObject::connect(
        &rig.device(), &TLAbstractDevice::stateChanged, &rig.device(),
        [&](int) { stateThread = QThread::currentThread(); }, Qt::DirectConnection);
    rig.sim().dropAcknowledgements(-1);
    QTRY_COMPARE_WITH_TIMEOUT(rig.device().state(), DeviceState::Error, 15000);
    QCOMPARE(stateThread, QThread::currentThread());
    QVERIFY(!rig.driver().isSwitchedOn());
    QVERIFY(!rig.driver().isPortOpen());
    QCOMPARE(rig.host().alarms().size(), 1);
    QCOMPARE(rig.host().alarms().first().condition.text(),
             QStringLiteral("Es trat ein Fehler bei der Kommunikation mit dem Generator auf."));
    QCOMPARE(rig.host().countLog(QStringLiteral("serial port closed after error")), 1);

    // A later switch-on recovers on a fresh link.
    rig.sim().dropAcknowledgements(0);
    QVERIFY(rig.switchOn());
    QVERIFY(rig.driver().isPortOpen());
}

void TestDriverErrors::linkLossWhilePoweredOff()
{
    TLDirectTestRig rig;
    QVERIFY(rig.isReady());
    rig.device().setState(DeviceState::Ready);
    QVERIFY(rig.driver().openConnection().isSuccess());
    rig.driver().startStatusPolling();
    QTRY_COMPARE_WITH_TIMEOUT(rig.driver().currentValue(Status1, false, false), QStringLiteral("0"), 5000);
    rig.sim().dropAcknowledgements(-1);
    QTRY_VERIFY_WITH_TIMEOUT(!rig.driver().isPortOpen(), 15000);
    QTest::qWait(300);
    QVERIFY(rig.host().alarms().isEmpty());
    QCOMPARE(rig.device().state(), DeviceState::Ready);
    QCOMPARE(rig.host().countLog(QStringLiteral("serial port closed after error")), 0);
}

int main(int argc, char **argv)
{
    TLHostApplication app(argc, argv);
    TestDriverErrors test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_drivererrors.moc"
