#include "KestrovanTiming.h"
#include "TLDirectTestRig.h"
#include "TLTestMain.h"

#include <thread>

namespace {
// When the driver is destroyed: a reply on its way, the host busy exposing, the link just failed.
enum class Moment { LateReply, BusyExposing, LinkFailed };
// What happens to the generator's reply.
enum class Fault { WrongCheckByte, Split, NoiseBefore };

// A gap shorter than the link's read wait keeps a split reply in one collection; a longer one
// makes two. Noise sent this long before a query is a collection of its own.
constexpr int GapWithinCollectionMs = 2 * Kestrovan::ReadWaitMs / 5;
constexpr int GapAcrossCollectionsMs = 6 * Kestrovan::ReadWaitMs;
constexpr int NoiseLeadMs = 2 * Kestrovan::ReadWaitMs;
// How long the host stays busy exposing while the destructor waits for it.
constexpr int HostBusyMs = 500;
} // namespace
Q_DECLARE_METATYPE(Moment)
Q_DECLARE_METATYPE(Fault)

// What the host sees when the line or the generator misbehaves: a lost link, a destruction at an
// awkward moment, a generator that stops echoing for a while, damaged or unasked telegrams.
class TestFaults : public QObject
{
    Q_OBJECT

    static constexpr int SettleMs = 5000;

    static bool isLinkFailureText(const QString &text, const QString &port)
    {
        return QStringList{
            QStringLiteral("Es trat ein Fehler bei der Kommunikation mit dem Generator auf."),
            QStringLiteral("Fehler beim Schreiben auf COM-Port %1.").arg(port),
            QStringLiteral("Es konnten nicht alle Daten auf COM-Port %1 gesendet werden.").arg(port),
            QStringLiteral("Timeout oder Fehler beim Senden der Daten auf COM-Port %1.").arg(port)}
            .contains(text);
    }

private slots:
    void linkLoss_data()
    {
        QTest::addColumn<bool>("pulled"); // the cable, or else the echoes stop
        QTest::addColumn<bool>("exposing");
        QTest::addColumn<bool>("poweredOn");
        QTest::newRow("echoes stop while on") << false << false << true;
        QTest::newRow("cable pulled while on") << true << false << true;
        // The status poll rests while the exposure key is held: the host's next call finds out.
        QTest::newRow("cable pulled during an exposure") << true << true << true;
        QTest::newRow("echoes stop while the status says off") << false << false << false;
    }
    void linkLoss()
    {
        QFETCH(bool, pulled);
        QFETCH(bool, exposing);
        QFETCH(bool, poweredOn);
        TLDirectTestRig rig;
        QVERIFY(rig.isReady());
        QVERIFY(rig.switchOn());
        rig.device().setState(DeviceState::Ready);
        if (!poweredOn) {
            rig.sim().model().setPowered(false);
            QTRY_VERIFY_WITH_TIMEOUT(!rig.driver().statusGeneratorOn(), SettleMs);
        }
        if (exposing) {
            rig.sim().sequence().setExposureDurationMs(60000);
            QVERIFY(rig.sim().sequence().runExposure());
            QTRY_COMPARE_WITH_TIMEOUT(rig.host().countLog(QStringLiteral("EXPOSURE: exposure on")), 1,
                                      SettleMs);
        }
        const QString port = rig.sim().slavePath();
        rig.host().clearRecords();
        if (pulled)
            rig.sim().line().hangUp();
        else
            rig.sim().line().dropAcknowledgements(-1);
        // The poll (or, while it rests, the host's setting) meets the fault: a pulled cable fails
        // the next write, unechoed telegrams are given up.
        if (exposing)
            rig.driver().setKV(90);
        QTRY_VERIFY_WITH_TIMEOUT(!rig.driver().isPortOpen(), Kestrovan::GiveUpMs + SettleMs);
        // The link posted the driver's reactions before it closed the port.
        QCoreApplication::sendPostedEvents();
        // Shown only while the generator said it was on; switched off with the port closed in any case.
        const QList<TLHostApplication::AlarmRecord> alarms = rig.host().alarms();
        QCOMPARE(alarms.size(), poweredOn ? 1 : 0);
        if (poweredOn)
            QVERIFY2(isLinkFailureText(alarms.first().condition.text(), port),
                     qPrintable(alarms.first().condition.text()));
        QCOMPARE(rig.device().state(), poweredOn ? DeviceState::Error : DeviceState::Ready);
        QCOMPARE(rig.host().countLog(QStringLiteral("serial port closed after error")), poweredOn ? 1 : 0);
        QVERIFY(!rig.driver().isSwitchedOn());
        // Nothing waits on the dead line: settings are kept for later.
        QElapsedTimer timer;
        timer.start();
        rig.driver().setKV(91);
        TLGeneratorSettings last;
        QVERIFY(rig.driver().lastExposureSettings(last).isSuccess());
        QVERIFY2(timer.elapsed() < 500, qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(rig.driver().kV(), 91.0);
        // Back on a new line (a re-plugged adapter) or the same one with the host's command.
        if (pulled) {
            QVERIFY(rig.sim().start());
            rig.setPortName(rig.sim().slavePath());
        } else {
            rig.sim().line().dropAcknowledgements(0);
        }
        QVariant unused;
        QVERIFY(rig.driver().executeCommand(QStringLiteral("switchOn"), unused).isSuccess());
        rig.sim().line().clearTranscript();
        QVERIFY(rig.waitForPayload("st?", SettleMs));
        QVERIFY(rig.driver().isSwitchedOn());
        QCOMPARE(rig.host().alarms().size(), poweredOn ? 1 : 0);
    }

    void destroy_data()
    {
        QTest::addColumn<Moment>("moment");
        QTest::newRow("late reply") << Moment::LateReply;
        QTest::newRow("busy during an exposure") << Moment::BusyExposing;
        QTest::newRow("right after the link failed") << Moment::LinkFailed;
    }
    void destroy()
    {
        QFETCH(Moment, moment);
        TLDirectTestRig rig;
        QVERIFY(rig.isReady());
        QVERIFY(rig.switchOn());
        rig.device().setState(DeviceState::Ready);
        QVERIFY(rig.quietMoment());
        std::thread host;
        switch (moment) {
        case Moment::LateReply: {
            // The version comes after the query gave up, while the destructor switches off.
            rig.sim().line().setReplyDelayMs(int(Kestrovan::ReplyTimeoutMs) + 300);
            QVariant version;
            QVERIFY(rig.driver().executeCommand(QStringLiteral("version"), version).isSuccess());
            QCOMPARE(version.toString(), QString());
            break;
        }
        case Moment::BusyExposing:
            rig.sim().sequence().setExposureDurationMs(Kestrovan::GiveUpMs);
            QVERIFY(rig.sim().sequence().runExposure());
            QTRY_COMPARE_WITH_TIMEOUT(rig.host().countLog(QStringLiteral("EXPOSURE: exposure on")), 1,
                                      SettleMs);
            rig.device().setState(DeviceState::Busy);
            host = std::thread([&rig] {
                std::this_thread::sleep_for(std::chrono::milliseconds(HostBusyMs));
                rig.device().setState(DeviceState::Ready);
            });
            break;
        case Moment::LinkFailed: {
            // The link has failed and closed its port; the driver's queued reaction has not run.
            rig.sim().line().dropAcknowledgements(-1);
            QElapsedTimer timer;
            timer.start();
            while (rig.driver().isPortOpen() && timer.elapsed() < 2 * qint64(Kestrovan::GiveUpMs))
                QThread::msleep(10);
            break;
        }
        }
        rig.sim().line().clearTranscript();
        QElapsedTimer timer;
        timer.start();
        rig.destroyDriver();
        const qint64 took = timer.elapsed();
        if (host.joinable())
            host.join();
        QCoreApplication::sendPostedEvents();
        QVERIFY2(took < Kestrovan::GiveUpMs, qPrintable(QString::number(took)));
        QCOMPARE(rig.sim().line().countTelegramsFromDriver("on0"), moment == Moment::LinkFailed ? 0 : 1);
        if (moment == Moment::BusyExposing)
            QVERIFY(took >= HostBusyMs * 9 / 10); // the host started its clock a moment earlier
        QCOMPARE(rig.host().countLog(QStringLiteral("serial port closed after error")), 0);
    }

    void silenceIsBridged()
    {
        // Seven seconds without echoes while the host sets kV: the setting is written every half
        // second until it gets through; the host only waits longer.
        TLDirectTestRig rig;
        QVERIFY(rig.isReady());
        QVERIFY(rig.switchOn());
        rig.device().setState(DeviceState::Ready);
        QVERIFY(rig.quietMoment());
        rig.host().clearRecords();
        rig.sim().line().dropAcknowledgementsFor(7000);
        QElapsedTimer timer;
        timer.start();
        rig.driver().setKV(81);
        QVERIFY(timer.elapsed() >= 6900);
        const int copies = rig.sim().line().countTelegramsFromDriver("kv81");
        QVERIFY2(copies >= 12 && copies <= 16, qPrintable(QString::number(copies)));
        QCOMPARE(rig.sim().model().value("kv"), QByteArray("81"));
        QCOMPARE(rig.payloadsFromDriver().mid(copies), (QByteArrayList{"kv?", "as?", "ma?", "ms?"}));
        QCoreApplication::sendPostedEvents();
        QVERIFY(rig.host().alarms().isEmpty());
        QCOMPARE(rig.device().state(), DeviceState::Ready);
        QVERIFY(rig.driver().isSwitchedOn() && rig.driver().isPortOpen());
    }

    void damagedReply_data()
    {
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<int>("gapMs"); // between the two parts of a split reply
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("unknown");
        QTest::addColumn<int>("repeats"); // of the reply, by the generator
        // A damaged check byte is not echoed: the generator's repeat brings the reply.
        QTest::newRow("wrong check byte") << Fault::WrongCheckByte << 0 << "V9.9"
                                          << "" << 1;
        QTest::newRow("split within one collection") << Fault::Split << GapWithinCollectionMs << "V9.9"
                                                     << "" << 0;
        // The head waits for its tail across collections, within the acknowledgement window.
        QTest::newRow("split across collections") << Fault::Split << GapAcrossCollectionsMs << "V9.9"
                                                  << "" << 0;
        QTest::newRow("noise in a burst before") << Fault::NoiseBefore << 0 << "V9.9"
                                                 << "" << 0;
    }
    void damagedReply()
    {
        QFETCH(Fault, fault);
        QFETCH(int, gapMs);
        QFETCH(QString, version);
        QFETCH(QString, unknown);
        QFETCH(int, repeats);
        TLDirectTestRig rig;
        QVERIFY(rig.isReady());
        rig.sim().model().setVersion("V9.9");
        QVERIFY(rig.switchOn());
        QVERIFY(rig.quietMoment());
        rig.host().clearRecords();
        switch (fault) {
        case Fault::WrongCheckByte:
            rig.sim().line().corruptNextReply();
            break;
        case Fault::Split:
            rig.sim().line().splitNextReply(gapMs);
            break;
        case Fault::NoiseBefore:
            rig.sim().line().sendRaw("noise 12 ?");
            QTest::qWait(NoiseLeadMs);
            break;
        }
        QVariant value;
        QElapsedTimer timer;
        timer.start();
        QVERIFY(rig.driver().executeCommand(QStringLiteral("version"), value).isSuccess());
        QCOMPARE(value.toString(), version);
        QCOMPARE(timer.elapsed() < qint64(Kestrovan::ReplyTimeoutMs), !version.isEmpty());
        // Had the reply's echo not satisfied the generator, it would write the reply again.
        QVERIFY(rig.sim().line().waitForIdle(SettleMs));
        QCOMPARE(rig.host().countLog(QStringLiteral("received: vsV9.9")), version.isEmpty() ? 0 : 1);
        QCOMPARE(rig.host().logTexts().filter(QStringLiteral("unknown command: ")),
                 unknown.isEmpty() ? QStringList{} : QStringList{unknown});
        QCOMPARE(rig.sim().line().repeatedWrites(), repeats);
        QVERIFY(rig.host().alarms().isEmpty());
        // The line still works.
        rig.driver().setMs(40);
        QCOMPARE(rig.sim().model().value("ms"), QByteArray("40"));
    }

    void unaskedTelegramInAckWindow()
    {
        // While setMA(300) waits for its echo, the generator reports kV 99 in the same burst. The
        // setting is taken at the first write; the report is delivered after it, once, and before
        // the reply to the follow-up query puts the generator's 70 back.
        TLDirectTestRig rig;
        QVERIFY(rig.isReady());
        QVERIFY(rig.switchOn());
        QVERIFY(rig.quietMoment());
        rig.host().clearRecords();
        rig.sim().line().injectInAckWindow("kv99");
        rig.driver().setMA(300);
        QCOMPARE(rig.sim().line().countTelegramsFromDriver("ma300"), 1);
        QCOMPARE(rig.host().logTexts().filter(QStringLiteral("value changed: kv")),
                 (QStringList{"value changed: kv (70 -> 99)", "value changed: kv (99 -> 70)"}));
        QCOMPARE(rig.sim().line().bytesFromDriver().count(TLKestrovanSimulatedLine::telegram("kv99").back()),
                 1);
        QCOMPARE(rig.driver().mA(), 300.0);
    }
};

TL_TEST_MAIN(TestFaults)
#include "tst_faults.moc"
