#include "TLDirectTestRig.h"
#include "TLHostCallLog.h"
#include "TLXRayExposureStateProvider.h"
#include "TLXRaySynchronizer.h"

#include <QtTest>

// The exposure handshake between the generator's hand switch and the host's synchroniser.
class TestDriverExposure : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qRegisterMetaType<TLCondition>("TLCondition"); }
    void roadOfOneExposure();
    void refusalsSendNothing_data();
    void refusalsSendNothing();
    void lowerCaseStateDigits();
    void exposureOffWithoutKeysResumesPolling();
    void exposureErrorPath();
};

namespace {
const QString Sync = QStringLiteral("TLXRaySynchronizer::");
const QString Provider = QStringLiteral("TLXRayExposureStateProvider::");
} // namespace

void TestDriverExposure::roadOfOneExposure()
{
    TLDirectTestRig rig;
    QVERIFY(rig.isReady());
    QVERIFY(rig.switchOn());
    // Long enough an exposure that a running status poll would show in it.
    rig.sim().setExposureDurationMs(2500);
    rig.sim().clearTranscript();
    TLHostCallLog::clear();
    rig.host().clearRecords();

    QVERIFY(rig.sim().runExposure());
    QVERIFY(rig.sim().waitForExposureDone(20000));
    QCOMPARE(rig.sim().exposureOutcome(), TLKestrovanGeneratorSimulator::ExposureOutcome::Completed);

    const QStringList expectedCalls{Provider + QStringLiteral("isUnlocked()"),
                                    Sync + QStringLiteral("waitForDetectorReady(1500)"),
                                    Provider + QStringLiteral("setPrepareCheck()"),
                                    Provider + QStringLiteral("setPrepareOk()"),
                                    Sync + QStringLiteral("exposureButtonPressed()"),
                                    Sync + QStringLiteral("waitForOpenXRayWindow(1500)"),
                                    Sync + QStringLiteral("setExposureOn(null)"),
                                    Provider + QStringLiteral("setExposureOn()"),
                                    Sync + QStringLiteral("setExposureOff(null)"),
                                    Provider + QStringLiteral("setExposureOff()"),
                                    Provider + QStringLiteral("setPrepareOff()")};
    QTRY_COMPARE_WITH_TIMEOUT(TLHostCallLog::calls(), expectedCalls, 5000);

    // The two release answers, byte for byte, and nothing else of the handshake.
    QCOMPARE(rig.payloadsFromDriver(), (QByteArrayList{"xr41", "xr81"}));
    const QList<QByteArray> sent = rig.sim().telegramsFromDriver();
    QVERIFY(sent.contains(QByteArray::fromHex("787234318F")));
    QVERIFY(sent.contains(QByteArray::fromHex("7872383183")));

    // No status poll while the exposure key was held; polling resumes at exposure off.
    const QByteArrayList all = rig.payloadsFromDriver(true);
    const int released = all.indexOf("xr81");
    QVERIFY(released >= 0);
    const QStringList lines = rig.host().logTexts();
    QVERIFY(lines.contains(QStringLiteral("EXPOSURE: prepare on accepted")));
    QVERIFY(lines.contains(QStringLiteral("EXPOSURE: exposure check signal accepted")));
    QVERIFY(lines.contains(
        QStringLiteral("current generator settings: mode 1, 70 kv, 20 mAs, 200 mA, 100 ms, focus 1, aec 0")));
    qint64 keyHeldAt = -1;
    qint64 offAt = -1;
    for (const TLKestrovanGeneratorSimulator::TranscriptEntry &entry : rig.sim().transcript()) {
        if (entry.direction != TLKestrovanGeneratorSimulator::Direction::ToDriver)
            continue;
        if (keyHeldAt < 0 && entry.bytes.contains("xy0E03"))
            keyHeldAt = entry.elapsedUs;
        if (offAt < 0 && entry.bytes.contains("xy1400"))
            offAt = entry.elapsedUs;
    }
    QVERIFY(keyHeldAt >= 0 && offAt > keyHeldAt);
    for (const TLKestrovanGeneratorSimulator::TranscriptEntry &entry : rig.sim().transcript()) {
        if (entry.direction == TLKestrovanGeneratorSimulator::Direction::FromDriver
            && entry.elapsedUs > keyHeldAt + 100000 && entry.elapsedUs < offAt)
            QVERIFY2(!entry.bytes.contains("st?"), "status polled while the exposure key was held");
    }
    rig.sim().clearTranscript();
    QVERIFY(rig.waitForPayload("st?", 3000));
}

void TestDriverExposure::refusalsSendNothing_data()
{
    QTest::addColumn<bool>("unlocked");
    QTest::addColumn<bool>("detectorReady");
    QTest::addColumn<bool>("windowOpens");
    QTest::addColumn<QString>("line");
    QTest::addColumn<QByteArrayList>("released");
    QTest::newRow("host locked") << false << true << true
                                 << "EXPOSURE: prepare on NOT accepted - system not ready"
                                 << QByteArrayList{};
    QTest::newRow("detector not ready")
        << true << false << true << "EXPOSURE: prepare on NOT accepted - detector not ready"
        << QByteArrayList{};
    QTest::newRow("window never opens")
        << true << true << false << "EXPOSURE: exposure check signal ignored with timeout"
        << QByteArrayList{"xr41"};
}

void TestDriverExposure::refusalsSendNothing()
{
    QFETCH(bool, unlocked);
    QFETCH(bool, detectorReady);
    QFETCH(bool, windowOpens);
    QFETCH(QString, line);
    QFETCH(QByteArrayList, released);

    TLDirectTestRig rig;
    QVERIFY(rig.isReady());
    QVERIFY(rig.switchOn());
    TLXRayExposureStateProvider::instance()->setUnlocked(unlocked);
    TLXRaySynchronizer::instance()->setDetectorReadyAnswer(detectorReady ? TLHostAnswer::atOnce()
                                                                         : TLHostAnswer::never());
    TLXRaySynchronizer::instance()->setXRayWindowAnswer(windowOpens ? TLHostAnswer::after(200)
                                                                    : TLHostAnswer::never());
    rig.sim().setReleaseTimeoutMs(2500);
    rig.sim().clearTranscript();
    rig.host().clearRecords();

    QVERIFY(rig.sim().runExposure());
    QVERIFY(rig.sim().waitForExposureDone(20000));
    QCOMPARE(rig.sim().exposureOutcome(), TLKestrovanGeneratorSimulator::ExposureOutcome::NotReleased);
    QTRY_COMPARE_WITH_TIMEOUT(rig.host().countLog(line), 1, 5000);
    QCOMPARE(rig.payloadsFromDriver(), released);
    // The generator's break is only logged.
    QTRY_COMPARE_WITH_TIMEOUT(rig.host().countLog(QStringLiteral("EXPOSURE: break exposure")), 1, 5000);
}

void TestDriverExposure::lowerCaseStateDigits()
{
    TLDirectTestRig rig;
    QVERIFY(rig.isReady());
    QVERIFY(rig.switchOn());
    rig.sim().clearTranscript();
    rig.sim().sendTelegram("xy0a01");
    QVERIFY(rig.waitForPayload("xr41", 5000));
    QVERIFY(rig.host().logTexts().contains(QStringLiteral("xray state:        10")));
}

void TestDriverExposure::exposureOffWithoutKeysResumesPolling()
{
    TLDirectTestRig rig;
    QVERIFY(rig.isReady());
    QVERIFY(rig.switchOn());
    TLHostCallLog::clear();
    rig.sim().sendTelegram("xy0E03");
    QTRY_VERIFY_WITH_TIMEOUT(
        TLHostCallLog::calls().contains(Sync + QStringLiteral("exposureButtonPressed()")), 5000);
    // Polling has stopped: wait out a few poll periods without a status query.
    QTest::qWait(300);
    rig.sim().clearTranscript();
    QTest::qWait(2500);
    QVERIFY(!rig.payloadsFromDriver(true).contains("st?"));
    rig.sim().sendTelegram("xy1400");
    QVERIFY(rig.waitForPayload("st?", 5000));
    QVERIFY(TLHostCallLog::calls().contains(Provider + QStringLiteral("setPrepareOff()")));
    QCOMPARE(rig.host().countLog(QStringLiteral("EXPOSURE: exposure off")), 1);
}

void TestDriverExposure::exposureErrorPath()
{
    TLDirectTestRig rig;
    QVERIFY(rig.isReady());
    QVERIFY(rig.switchOn());
    rig.sim().clearTranscript();
    TLHostCallLog::clear();
    rig.sim().sendTelegram("xy0100");
    QVERIFY(rig.waitForPayload("rr?", 5000));
    const QStringList expected{
        Provider + QStringLiteral("setError()"), Sync + QStringLiteral("setExposureOff(null)"),
        Provider + QStringLiteral("setExposureOff()"), Provider + QStringLiteral("setPrepareOff()")};
    QTRY_COMPARE_WITH_TIMEOUT(TLHostCallLog::calls(), expected, 5000);
    QCOMPARE(rig.host().countLog(QStringLiteral("EXPOSURE: exposure error")), 1);
}

int main(int argc, char **argv)
{
    TLHostApplication app(argc, argv);
    TestDriverExposure test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_driverexposure.moc"
