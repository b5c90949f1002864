#include "TLDirectTestRig.h"
#include "TLTestMain.h"

// The driver's own time limits, waited out: a generator that never reports power on, a focus
// that never gets ready, and a dose that stays 0.
class TestDriverTimeouts : public QObject
{
    Q_OBJECT

private slots:
    void noPowerOnReport()
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
            rig.host().countLog(QStringLiteral("failed to switch on generator - no power on acknowledgment")),
            1);
        // The link stays open and keeps polling.
        rig.sim().clearTranscript();
        QVERIFY(rig.waitForPayload("st?", 2000));
    }

    void focusNeverReady()
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
        // The driver writes no line of its own for it.
        for (const TLHostApplication::LogRecord &record : rig.host().logRecords())
            QVERIFY2(record.category != QLatin1String("KESTROVAN") || record.level != LogLevel::Error,
                     qPrintable(record.text));
    }

    void doseStaysZero()
    {
        TLDirectTestRig rig;
        QVERIFY(rig.isReady());
        rig.sim().setDapEnabled(true);
        QVERIFY(rig.switchOn());
        QTRY_VERIFY_WITH_TIMEOUT(rig.driver().statusDapEnabled(), 3000);
        rig.sim().setLastExposure("70", "10", "200", "100", "0");
        rig.sim().clearTranscript();
        QElapsedTimer timer;
        timer.start();
        TLGeneratorSettings settings;
        QVERIFY(rig.driver().lastExposureSettings(settings).isSuccess());
        QVERIFY(timer.elapsed() > TLGeneratorDriverKestrovan::DoseTimeoutMs);
        QVERIFY(!settings.dap.isSet());
        QCOMPARE(settings.ms, 50.0);
        const int asked = rig.payloadsFromDriver().count("xg?");
        QVERIFY2(asked >= 10 && asked <= 14, qPrintable(QString::number(asked)));
    }
};

TL_TEST_MAIN(TestDriverTimeouts)
#include "tst_drivertimeouts.moc"
