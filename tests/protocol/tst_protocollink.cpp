#include "KestrovanTiming.h"
#include "TLDirectTestRig.h"
#include "TLTestMain.h"

// Requests over a link to the generator simulator, and the generator's error codes on their way
// to the host's alarm, with the automatic reset.
class TestProtocolLink : public QObject
{
    Q_OBJECT

private slots:
    void requests()
    {
        TLDirectTestRig rig;
        QVERIFY(rig.isReady());
        QVERIFY(rig.driver().openConnection().isSuccess());
        QVERIFY(rig.driver().isPortOpen());
        TLGeneratorDriverKestrovan &d = rig.driver();
        QVERIFY(d.query(Kestrovan::Status1, false).isSuccess());
        QVERIFY(rig.waitForPayload("st?", 3000));
        QCOMPARE(rig.sim().line().telegramsFromDriver().first().toHex(' '), QByteArray("73 74 3f b8"));
        QCOMPARE(rig.host().countLog(QStringLiteral("query:    st?")), 1);
        // A command's value is the current one at once, before any reply.
        QVERIFY(d.sendCommand(Kestrovan::KV, QStringLiteral("70,5"), true).isSuccess());
        QCOMPARE(d.currentValue(Kestrovan::KV, false, false), QStringLiteral("70.5"));
        QCOMPARE(rig.sim().model().value("kv"), QByteArray("70.5"));
        QCOMPARE(rig.host().countLog(QStringLiteral("command:  kv70.5")), 1);
        // A value too long for a telegram never reaches the wire, nor the store.
        QVERIFY(d.sendCommand(Kestrovan::KV, QString(40, QLatin1Char('1')), true).isError());
        QCOMPARE(d.currentValue(Kestrovan::KV, false, false), QStringLiteral("70.5"));
        // Replies that come back before the caller waits, or repeat the stored text, still end
        // the wait, and a repeated text is no change.
        QByteArrayList expected{"kv70.5"};
        int fullWaits = 0;
        for (int i = 0; i < 30; ++i) {
            QElapsedTimer timer;
            timer.start();
            QVERIFY(d.query(i % 2 ? Kestrovan::MA : Kestrovan::KV, true).isSuccess());
            fullWaits += timer.elapsed() >= qint64(Kestrovan::ReplyTimeoutMs) ? 1 : 0;
            expected << (i % 2 ? "ma?" : "kv?");
        }
        QCOMPARE(fullWaits, 0);
        QCOMPARE(rig.payloadsFromDriver(), expected);
        QCOMPARE(rig.host().logTexts().filter(QStringLiteral("value changed")),
                 QStringList{"value changed: ma ( -> 200)"});
        // No reply: no error after the full wait; the empty entry stands, the late reply lands.
        rig.sim().line().setReplyDelayMs(4500);
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(d.currentValue(Kestrovan::Version, true, true), QString());
        QVERIFY(timer.elapsed() >= qint64(Kestrovan::ReplyTimeoutMs) - 20);
        QCOMPARE(d.currentValue(Kestrovan::Version, true, true), QString());
        QCOMPARE(rig.payloadsFromDriver().count("vs?"), 1);
        QTRY_COMPARE_WITH_TIMEOUT(d.currentValue(Kestrovan::Version, true, true), QStringLiteral("V1.2"),
                                  5000);
    }

    void errorBitQueriesTheCode()
    {
        TLDirectTestRig rig;
        QVERIFY(rig.isReady());
        QVERIFY(rig.driver().openConnection().isSuccess());
        rig.driver().startStatusPolling();
        QTRY_COMPARE_WITH_TIMEOUT(rig.driver().currentValue(Kestrovan::Status1, false, false),
                                  QStringLiteral("0"), 3000);
        QVERIFY(!rig.payloadsFromDriver().contains("rr?"));
        rig.sim().model().injectError("105");
        QVERIFY(rig.waitForPayload("rr?", 3000));
        QTRY_COMPARE_WITH_TIMEOUT(rig.host().countLog(QStringLiteral("handle error: 105")), 1, 3000);
    }

    void freshLinkAfterAFailedOpening()
    {
        TLDirectTestRig rig;
        QVERIFY(rig.isReady());
        rig.setPortName(QStringLiteral("/dev/kestrovan-no-such-port"));
        const TLCondition failed = rig.driver().openConnection();
        QCOMPARE(failed.text(),
                 QStringLiteral("Fehler beim Öffnen des COM-Ports /dev/kestrovan-no-such-port"));
        QVERIFY(!rig.driver().isPortOpen());
        rig.setPortName(rig.sim().slavePath());
        QVERIFY(rig.driver().openConnection().isSuccess());
        QVERIFY(rig.driver().query(Kestrovan::KV, true).isSuccess());
        QCOMPARE(rig.payloadsFromDriver(), QByteArrayList{"kv?"});
    }

    void errorCodesReachTheAlarm()
    {
        TLDirectTestRig rig;
        QVERIFY(rig.isReady());
        rig.writeErrorCatalogue("code;description;details;type\n105;Röhre zu heiß;Abkühlen "
                                "lassen;Error\n7;Tür;offen;Warning\n0;Keine Störung;-;Warning");
        QVERIFY(rig.driver().initGenerator().isSuccess());
        rig.sim().line().clearTranscript();
        rig.host().clearRecords();
        TLGeneratorDriverKestrovan &d = rig.driver();
        // One code in several spellings is one code; a code that is no number is shown as it came.
        d.handleError("105");
        d.handleError("0105");
        d.handleError("+105");
        QList<TLHostApplication::AlarmRecord> alarms = rig.host().alarms();
        QCOMPARE(alarms.size(), 1);
        QCOMPARE(alarms[0].condition.text(), QStringLiteral("Generatorfehler: 105\n") + QString(83, ' ')
                                                 + QStringLiteral("\nRöhre zu heiß"));
        QCOMPARE(alarms[0].condition.details(), QStringLiteral("Abkühlen lassen"));
        QVERIFY(alarms[0].condition.isError());
        QCOMPARE(alarms[0].text, QString());
        QCOMPARE(alarms[0].flag, false);
        // Codes that come faster than one alarm a second are shown together when it is over.
        d.handleError("7");
        d.handleError("E5");
        QCOMPARE(rig.host().alarms().size(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(rig.host().alarms().size(), 2,
                                  int(TLKestrovanProtocol::AlarmIntervalMs) * 3);
        alarms = rig.host().alarms();
        QCOMPARE(alarms[1].condition.text(), QStringLiteral("Generatorfehler: 7, E5"));
        QVERIFY(alarms[1].condition.isError());
        QVERIFY(alarms[1].condition.details().endsWith(QStringLiteral("\nTür\n\nGeneratorfehler: E5")));
        QCOMPARE(rig.host().countLog(QStringLiteral("handle error: 105")), 1);
        // The first poll more than 2 s after the alarm resets the generator and asks again.
        QTRY_COMPARE_WITH_TIMEOUT(rig.host().countLog(QStringLiteral("reset error")), 1, 4000);
        QVERIFY(rig.waitForPayload("rr?", 2000));
        const QByteArray wire = rig.sim().line().bytesFromDriver();
        QVERIFY(wire.indexOf(QByteArray::fromHex("727381")) >= 0);
        QVERIFY(wire.indexOf(QByteArray::fromHex("727381")) < wire.indexOf(QByteArray::fromHex("72723FBF")));
        // 105 goes on arriving: no second alarm until 5 s of silence about it have passed.
        d.handleError("105");
        QCOMPARE(rig.host().alarms().size(), 2);
        QTest::qWait(int(TLKestrovanProtocol::ErrorRepeatMs) + 100);
        QCOMPARE(rig.payloadsFromDriver().count("rs"), 1);
        d.handleError("105");
        QCOMPARE(rig.host().alarms().size(), 3);
        QCOMPARE(rig.host().countLog(QStringLiteral("handle error: 105")), 2);
        // A storm of other codes fills the memory of codes seen; 105, seen just now, stays in it.
        for (int code = 1000; code < 1000 + TLKestrovanProtocol::ErrorMemoryEntries; ++code)
            d.handleError(QByteArray::number(code));
        d.handleError("105");
        QTRY_COMPARE_WITH_TIMEOUT(rig.host().alarms().size(), 4,
                                  int(TLKestrovanProtocol::AlarmIntervalMs) * 3);
        const QString storm = rig.host().alarms().at(3).condition.text();
        QVERIFY(storm.endsWith(QStringLiteral(", 1255")));
        QVERIFY(!storm.contains(QStringLiteral(" 105,")));
    }

    void linkFailureIsShownOnlyWhilePoweredOn_data()
    {
        QTest::addColumn<QByteArray>("status");
        QTest::addColumn<bool>("shown");
        QTest::newRow("no status known") << QByteArray() << false;
        QTest::newRow("st 1024: off") << QByteArray("st1024") << false;
        QTest::newRow("st 4096: on") << QByteArray("st4096") << true;
    }
    void linkFailureIsShownOnlyWhilePoweredOn()
    {
        QFETCH(QByteArray, status);
        QFETCH(bool, shown);
        TLHostApplication::host()->clearRecords();
        TLKestrovanProtocol *protocol = new TLGeneratorDriverKestrovan;
        if (!status.isEmpty())
            protocol->onMessageReceived(TLKestrovanSimulatedLine::telegram(status));
        QSignalSpy lost(protocol, &TLKestrovanProtocol::communicationErrorOccurred);
        protocol->onCommunicationErrorOccurred(TLCondition::error(QStringLiteral("line gone")));
        QCOMPARE(lost.count(), shown ? 1 : 0);
        const QList<TLHostApplication::AlarmRecord> alarms = TLHostApplication::host()->alarms();
        QCOMPARE(alarms.size(), shown ? 1 : 0);
        if (shown)
            QCOMPARE(alarms.first().condition.text(), QStringLiteral("line gone"));
        delete protocol;
    }
};

TL_TEST_MAIN(TestProtocolLink)
#include "tst_protocollink.moc"
