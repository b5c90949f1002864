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
        rig.sim().model().setPowerOnDelayMs(600000);
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
        rig.sim().line().clearTranscript();
        QVERIFY(rig.waitForPayload("st?", 2000));
    }

    void powerOnCommandNeverEchoed()
    {
        TLDirectTestRig rig;
        QVERIFY(rig.isReady());
        rig.sim().line().dropAcknowledgements(-1);
        const TLCondition result = rig.driver().switchOn();
        QCOMPARE(result.text(),
                 QStringLiteral("Es trat ein Fehler bei der Kommunikation mit dem Generator auf."));
        QCOMPARE(rig.host().countLog(
                     QStringLiteral("failed to switch on generator - failed to send power on command")),
                 1);
        QVERIFY(!rig.driver().isSwitchedOn());
    }

    void powerOffCommandNeverEchoed()
    {
        // Logged, and the link closed all the same.
        TLDirectTestRig rig;
        QVERIFY(rig.isReady());
        QVERIFY(rig.switchOn());
        QVERIFY(rig.quietMoment()); // the power-off command is the telegram that fails
        rig.sim().line().dropAcknowledgements(-1);
        QVERIFY(rig.driver().switchOff().isSuccess());
        QCOMPARE(rig.host().countLog(
                     QStringLiteral("failed to switch off generator - failed to send power off command")),
                 1);
        QVERIFY(!rig.driver().isPortOpen() && !rig.driver().isSwitchedOn());
    }

    void focusNeverReady()
    {
        TLDirectTestRig rig;
        QVERIFY(rig.isReady());
        rig.sim().model().setFocusReadyDelayMs(600000);
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
        rig.sim().model().setDapEnabled(true);
        QVERIFY(rig.switchOn());
        QTRY_VERIFY_WITH_TIMEOUT(rig.driver().statusDapEnabled(), 3000);
        rig.sim().model().setLastExposure("70", "10", "200", "100", "0");
        rig.sim().line().clearTranscript();
        QElapsedTimer timer;
        timer.start();
        TLGeneratorSettings settings;
        QVERIFY(rig.driver().lastExposureSettings(settings).isSuccess());
        QVERIFY(timer.elapsed() > TLGeneratorDriverKestrovan::DoseTimeoutMs);
        QVERIFY(!settings.dap.isSet());
        QCOMPARE(settings.ms, 50.0);
        // Asked again and again while it stays 0, a quarter second (and a round trip) apart.
        QList<qint64> asked;
        for (const auto &entry : rig.sim().line().transcript()) {
            if (entry.direction == TLKestrovanSimulatedLine::Direction::FromDriver
                && entry.bytes.contains("xg?"))
                asked << entry.elapsedUs / 1000;
        }
        QVERIFY2(asked.size() >= 6, qPrintable(QString::number(asked.size())));
        for (int i = 1; i < asked.size(); ++i)
            QVERIFY2(asked[i] - asked[i - 1] >= 245 && asked[i] - asked[i - 1] < 500,
                     qPrintable(QString::number(asked[i] - asked[i - 1])));
    }
};

TL_TEST_MAIN(TestDriverTimeouts)
#include "tst_drivertimeouts.moc"
