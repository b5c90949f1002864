#include "TLDirectTestRig.h"
#include "TLHostCallLog.h"
#include "TLTestMain.h"
#include "TLXRayExposureStateProvider.h"
#include "TLXRaySynchronizer.h"

// Each exposure state the generator reports, with the host's answers: the calls on the host's
// singletons, the release answer on the wire (or silence), the log line and the status poll.
class TestProtocolHandshake : public QObject
{
    Q_OBJECT

private slots:
    void exposureState_data()
    {
        QTest::addColumn<QByteArray>("state");
        QTest::addColumn<bool>("unlocked");
        QTest::addColumn<int>("detectorMs"); // -1: never
        QTest::addColumn<int>("windowMs");
        QTest::addColumn<QStringList>("calls"); // P: state provider, S: synchroniser
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<QStringList>("lines"); // the "EXPOSURE:" lines
        QTest::addColumn<int>("polling");       // after the state: -1 not looked at, 0 stopped, 1 running
        const QStringList none;
        QTest::newRow("0A01 accepted")
            << QByteArray("0A01") << true << 200 << 0
            << QStringList{"P:isUnlocked()", "S:waitForDetectorReady(1500)"} << QByteArray("xr41")
            << QStringList{"EXPOSURE: prepare on accepted"} << -1;
        QTest::newRow("0a01 reads as 0A01")
            << QByteArray("0a01") << true << 0 << 0
            << QStringList{"P:isUnlocked()", "S:waitForDetectorReady(1500)"} << QByteArray("xr41")
            << QStringList{"EXPOSURE: prepare on accepted"} << -1;
        QTest::newRow("0A01 host locked")
            << QByteArray("0A01") << false << 0 << 0 << QStringList{"P:isUnlocked()"} << QByteArray()
            << QStringList{"EXPOSURE: prepare on NOT accepted - system not ready"} << -1;
        QTest::newRow("0A01 detector not ready")
            << QByteArray("0A01") << true << -1 << 0
            << QStringList{"P:isUnlocked()", "S:waitForDetectorReady(1500)"} << QByteArray()
            << QStringList{"EXPOSURE: prepare on NOT accepted - detector not ready"} << -1;
        QTest::newRow("0A00 without the key")
            << QByteArray("0A00") << true << 0 << 0 << QStringList{} << QByteArray() << none << -1;
        QTest::newRow("0C01") << QByteArray("0C01") << true << 0 << 0 << QStringList{"P:setPrepareCheck()"}
                              << QByteArray() << QStringList{"EXPOSURE: prepare state"} << -1;
        QTest::newRow("0C02 without the prepare key")
            << QByteArray("0C02") << true << 0 << 0 << QStringList{} << QByteArray() << none << -1;
        QTest::newRow("0D01") << QByteArray("0D01") << true << 0 << 0 << QStringList{"P:setPrepareOk()"}
                              << QByteArray() << QStringList{"EXPOSURE: prepare ready state"} << -1;
        QTest::newRow("0D00") << QByteArray("0D00") << true << 0 << 0 << QStringList{} << QByteArray() << none
                              << -1;
        QTest::newRow("0E01") << QByteArray("0E01") << true << 0 << 0 << QStringList{} << QByteArray()
                              << QStringList{"EXPOSURE: wait for exposure (exposure key off)"} << -1;
        QTest::newRow("0E02 stops the poll")
            << QByteArray("0E02") << true << 0 << 0 << QStringList{"S:exposureButtonPressed()"}
            << QByteArray() << QStringList{"EXPOSURE: wait for exposure (exposure key on)"} << 0;
        QTest::newRow("1002 window opens")
            << QByteArray("1002") << true << 0 << 300 << QStringList{"S:waitForOpenXRayWindow(1500)"}
            << QByteArray("xr81")
            << QStringList{"EXPOSURE: exposure check signal received",
                           "EXPOSURE: exposure check signal accepted"}
            << -1;
        QTest::newRow("1003 window stays shut")
            << QByteArray("1003") << true << 0 << -1 << QStringList{"S:waitForOpenXRayWindow(1500)"}
            << QByteArray()
            << QStringList{"EXPOSURE: exposure check signal received",
                           "EXPOSURE: exposure check signal ignored with timeout"}
            << -1;
        QTest::newRow("1001") << QByteArray("1001") << true << 0 << 0 << QStringList{} << QByteArray() << none
                              << -1;
        QTest::newRow("1103") << QByteArray("1103") << true << 0 << 0 << QStringList{} << QByteArray()
                              << QStringList{"EXPOSURE: exposure wait (wait for devices)"} << -1;
        QTest::newRow("1101") << QByteArray("1101") << true << 0 << 0 << QStringList{} << QByteArray() << none
                              << -1;
        QTest::newRow("1203") << QByteArray("1203") << true << 0 << 0
                              << QStringList{"S:setExposureOn(null)", "P:setExposureOn()"} << QByteArray()
                              << QStringList{"EXPOSURE: exposure on"} << -1;
        QTest::newRow("1201") << QByteArray("1201") << true << 0 << 0 << QStringList{} << QByteArray() << none
                              << -1;
        QTest::newRow("1400 without keys resumes the poll")
            << QByteArray("1400") << true << 0 << 0
            << QStringList{"S:setExposureOff(null)", "P:setExposureOff()", "P:setPrepareOff()"}
            << QByteArray() << QStringList{"EXPOSURE: exposure off"} << 1;
        QTest::newRow("0100 error asks for the code")
            << QByteArray("0100") << true << 0 << 0
            << QStringList{"P:setError()", "S:setExposureOff(null)", "P:setExposureOff()",
                           "P:setPrepareOff()"}
            << QByteArray("rr?") << QStringList{"EXPOSURE: exposure error"} << 1;
        QTest::newRow("0003 break") << QByteArray("0003") << true << 0 << 0 << QStringList{} << QByteArray()
                                    << QStringList{"EXPOSURE: break exposure"} << -1;
        QTest::newRow("0F03 is no state of ours")
            << QByteArray("0F03") << true << 0 << 0 << QStringList{} << QByteArray() << none << -1;
        QTest::newRow("014: too short, ignored")
            << QByteArray("014") << true << 0 << 0 << QStringList{} << QByteArray()
            << QStringList{"EXPOSURE: ignored state of fewer than four characters: 014"} << -1;
    }
    void exposureState()
    {
        QFETCH(QByteArray, state);
        QFETCH(bool, unlocked);
        QFETCH(int, detectorMs);
        QFETCH(int, windowMs);
        QFETCH(QStringList, calls);
        QFETCH(QByteArray, sent);
        QFETCH(QStringList, lines);
        QFETCH(int, polling);
        TLDirectTestRig rig;
        QVERIFY(rig.isReady());
        QVERIFY(rig.driver().openConnection().isSuccess());
        // Polling runs before the states that stop it and not before those that start it.
        if (polling == 0)
            rig.driver().startStatusPolling();
        TLXRayExposureStateProvider::instance()->setUnlocked(unlocked);
        const auto answer = [](int ms) { return ms < 0 ? TLHostAnswer::never() : TLHostAnswer::after(ms); };
        TLXRaySynchronizer::instance()->setDetectorReadyAnswer(answer(detectorMs));
        TLXRaySynchronizer::instance()->setXRayWindowAnswer(answer(windowMs));
        rig.sim().line().clearTranscript();
        TLHostCallLog::clear();
        rig.host().clearRecords();

        rig.driver().onMessageReceived(TLKestrovanSimulatedLine::telegram("xy" + state));

        QStringList expected;
        for (const QString &call : calls)
            expected << (call.startsWith('P') ? QStringLiteral("TLXRayExposureStateProvider::")
                                              : QStringLiteral("TLXRaySynchronizer::"))
                            + call.mid(2);
        QCOMPARE(TLHostCallLog::calls(), expected);
        QCOMPARE(rig.host().logTexts().filter(QStringLiteral("EXPOSURE:")), lines);
        QTest::qWait(polling < 0 ? 300 : 1500);
        QCOMPARE(rig.payloadsFromDriver(), sent.isEmpty() ? QByteArrayList{} : QByteArrayList{sent});
        if (polling >= 0) {
            rig.sim().line().clearTranscript();
            QTest::qWait(1200);
            QCOMPARE(rig.payloadsFromDriver(true).contains("st?"), polling == 1);
        }
    }
};

TL_TEST_MAIN(TestProtocolHandshake)
#include "tst_protocolhandshake.moc"
