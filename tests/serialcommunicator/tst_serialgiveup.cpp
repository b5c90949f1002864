#include "TLLinkRecorder.h"
#include "TLTestMain.h"

// A telegram that is never echoed is written again every 500 ms for 8 s; then the link fails
// with the last write's error, or with the general one when the writes went through.
class TestSerialGiveUp : public QObject
{
    Q_OBJECT

private slots:
    void givesUp_data()
    {
        QTest::addColumn<bool>("hungUp");
        QTest::newRow("no echo") << false;
        QTest::newRow("far end hung up") << true;
    }
    void givesUp()
    {
        QFETCH(bool, hungUp);
        TLKestrovanGeneratorSimulator sim;
        QVERIFY(sim.start());
        const QString port = sim.slavePath();
        TLLinkRecorder rec(port);
        // As a protocol handler might: queue a telegram from the error report. It must not block
        // the link, and it is never written, as the link has failed.
        rec.sendOnError = TLKestrovanSimulatedLine::telegram("on0");
        QVERIFY(rec.start());
        sim.line().dropAcknowledgements(-1);
        if (hungUp)
            sim.line().hangUp();
        QElapsedTimer clock;
        clock.start();
        rec.link->send(TLKestrovanSimulatedLine::telegram("st?"), true);
        const qint64 waited = clock.elapsed();
        QVERIFY2(waited >= 7900 && waited < 9500, qPrintable(QString::number(waited)));
        const TLCondition failed = rec.link->lastCondition();
        const QStringList texts =
            hungUp
                ? QStringList{QStringLiteral("Fehler beim Schreiben auf COM-Port %1.").arg(port),
                              QStringLiteral("Es konnten nicht alle Daten auf COM-Port %1 gesendet werden.")
                                  .arg(port),
                              QStringLiteral("Timeout oder Fehler beim Senden der Daten auf COM-Port %1.")
                                  .arg(port)}
                : QStringList{
                    QStringLiteral("Es trat ein Fehler bei der Kommunikation mit dem Generator auf.")};
        QVERIFY2(failed.isError() && texts.contains(failed.text()), qPrintable(failed.text()));
        QCOMPARE(failed.details().isEmpty(), !hungUp);
        QVERIFY(rec.link->wait(3000));
        QCOMPARE(rec.link->state(), TLKestrovanSerialCommunicator::Closed);
        QCOMPARE(rec.errors(), QList<TLCondition>{failed});
        // The last copy left half a second before the give-up: the simulator has it.
        if (!hungUp) {
            const int copies = sim.line().countTelegramsFromDriver("st?");
            QVERIFY2(copies >= 14 && copies <= 17, qPrintable(QString::number(copies)));
            QCOMPARE(sim.line().countTelegramsFromDriver("on0"), 0);
        }
    }
};

TL_TEST_MAIN(TestSerialGiveUp)
#include "tst_serialgiveup.moc"
