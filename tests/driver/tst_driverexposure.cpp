#include "TLDirectTestRig.h"
#include "TLHostCallLog.h"
#include "TLTestMain.h"

// The road of one exposure, from the generator's hand switch through the host's synchroniser.
class TestDriverExposure : public QObject
{
    Q_OBJECT

private slots:
    void roadOfOneExposure()
    {
        TLDirectTestRig rig;
        QVERIFY(rig.isReady());
        QVERIFY(rig.switchOn());
        // Long enough an exposure that a running status poll would show in it.
        rig.sim().sequence().setExposureDurationMs(2500);
        rig.sim().line().setPacing(true);
        rig.sim().line().clearTranscript();
        TLHostCallLog::clear();
        rig.host().clearRecords();
        QVERIFY(rig.sim().sequence().runExposure());
        QVERIFY(rig.sim().sequence().waitForExposureDone(20000));
        QCOMPARE(rig.sim().sequence().exposureOutcome(), TLKestrovanExposureSequence::Outcome::Completed);
        const QString p = QStringLiteral("TLXRayExposureStateProvider::"),
                      s = QStringLiteral("TLXRaySynchronizer::");
        QTRY_COMPARE_WITH_TIMEOUT(
            TLHostCallLog::calls(),
            (QStringList{p + "isUnlocked()", s + "waitForDetectorReady(1500)", p + "setPrepareCheck()",
                         p + "setPrepareOk()", s + "exposureButtonPressed()",
                         s + "waitForOpenXRayWindow(1500)", s + "setExposureOn(null)", p + "setExposureOn()",
                         s + "setExposureOff(null)", p + "setExposureOff()", p + "setPrepareOff()"}),
            3000);
        QCOMPARE(rig.payloadsFromDriver(), (QByteArrayList{"xr41", "xr81"}));
        QVERIFY(rig.host().logTexts().contains(QStringLiteral(
            "current generator settings: mode 1, 70 kv, 20 mAs, 200 mA, 100 ms, focus 1, aec 0")));
        // No status poll while the exposure key was held; polling resumes at exposure off.
        qint64 keyHeldAt = -1, offAt = -1;
        for (const auto &entry : rig.sim().line().transcript()) {
            if (keyHeldAt < 0 && entry.bytes.contains("xy0E03"))
                keyHeldAt = entry.elapsedUs;
            if (offAt < 0 && entry.bytes.contains("xy1400"))
                offAt = entry.elapsedUs;
            if (keyHeldAt >= 0 && offAt < 0 && entry.elapsedUs > keyHeldAt + 100000)
                QVERIFY2(!entry.bytes.contains("st?"), "status polled while the exposure key was held");
        }
        QVERIFY(keyHeldAt >= 0 && offAt > keyHeldAt + 2000000);
        rig.sim().line().clearTranscript();
        QVERIFY(rig.waitForPayload("st?", 2000));
        // The values of the exposure, as the generator reports them afterwards.
        TLGeneratorSettings last;
        QVERIFY(rig.driver().lastExposureSettings(last).isSuccess());
        QCOMPARE(last.kV, 70.0);
        QCOMPARE(last.ms, 100.0);
    }
};

TL_TEST_MAIN(TestDriverExposure)
#include "tst_driverexposure.moc"
