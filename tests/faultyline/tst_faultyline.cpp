#include "KestrovanTiming.h"
#include "TLDirectTestRig.h"
#include "TLHostCallLog.h"
#include "TLTestMain.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>

#include <atomic>
#include <thread>

Q_DECLARE_METATYPE(TLKestrovanSimulatedLine::Flood)

namespace {
// Far longer than a setting and two polls take on a flooded line, also under ThreadSanitizer,
// where a flood at full speed costs several times the CPU it costs a plain build.
constexpr int GuardMs = 30000;
} // namespace

// A faulty line, end to end: each case fails on a driver that believes the line too much.
class TestFaultyLine : public QObject
{
    Q_OBJECT

private slots:
    void floodDoesNotStarveTheDriver_data()
    {
        QTest::addColumn<TLKestrovanSimulatedLine::Flood>("flood");
        QTest::newRow("good telegrams at line rate") << TLKestrovanSimulatedLine::Flood::Telegrams;
        QTest::newRow("noise at line rate") << TLKestrovanSimulatedLine::Flood::Noise;
        QTest::newRow("bytes that never end a telegram") << TLKestrovanSimulatedLine::Flood::Unterminated;
        QTest::newRow("random bytes at full speed") << TLKestrovanSimulatedLine::Flood::FullSpeed;
    }
    void floodDoesNotStarveTheDriver()
    {
        // While the flood goes on, a setting gets through, the poll keeps coming, and the noise
        // is logged in summary, not piece by piece.
        QFETCH(TLKestrovanSimulatedLine::Flood, flood);
        TLDirectTestRig rig;
        QVERIFY(rig.isReady());
        QVERIFY(rig.switchOn());
        QVERIFY(rig.quietMoment());
        rig.host().clearRecords();
        QElapsedTimer flooded;
        flooded.start();
        rig.sim().line().setFlood(flood);
        // A driver that the flood starves must still let this test end: the flood stops itself.
        std::atomic<bool> done{false};
        std::thread guard([&] {
            QDeadlineTimer deadline(GuardMs);
            while (!done && !deadline.hasExpired())
                QThread::msleep(10);
            rig.sim().line().setFlood(TLKestrovanSimulatedLine::Flood::Off);
        });
        rig.driver().setKV(91);
        rig.sim().line().clearTranscript();
        const bool polled = rig.waitForPayload("st?", 2 * Kestrovan::StatusPollIntervalMs)
                            && rig.waitForPayload("st?", 2 * Kestrovan::StatusPollIntervalMs);
        const TLKestrovanSimulatedLine::Flood during = rig.sim().line().flood();
        done = true;
        guard.join();
        QVERIFY(polled);
        QCOMPARE(during, flood);
        QCOMPARE(rig.sim().model().value("kv"), QByteArray("91"));
        QVERIFY(rig.driver().isSwitchedOn());
        // Less than a line a second, however long the flood took on this machine.
        const int seconds = int(flooded.elapsed() / 1000) + 1;
        QVERIFY(rig.host().logTexts().filter(QStringLiteral("unknown command")).size() <= seconds);
        QVERIFY(rig.host().logTexts().filter(QStringLiteral("noise on the line")).size() <= seconds);
    }

    void exposureOffSplitByAPause()
    {
        // The generator's "exposure off" is split by a pause: the driver must still see it,
        // once, and poll again.
        TLDirectTestRig rig;
        QVERIFY(rig.isReady());
        QVERIFY(rig.switchOn());
        rig.sim().line().splitTelegrams(80, "xy14");
        TLHostCallLog::clear();
        QVERIFY(rig.sim().sequence().runExposure());
        QVERIFY(rig.sim().sequence().waitForExposureDone(10000));
        QTRY_COMPARE_WITH_TIMEOUT(
            TLHostCallLog::calls().count(QStringLiteral("TLXRayExposureStateProvider::setExposureOff()")), 1,
            2 * Kestrovan::AckWindowMs);
        rig.sim().line().clearTranscript();
        QVERIFY(rig.waitForPayload("st?", 2 * Kestrovan::StatusPollIntervalMs));
        QCOMPARE(rig.host().logTexts().filter(QStringLiteral("unknown command")), QStringList());
        // Put back together, not brought again by the generator's repeat.
        QCOMPARE(rig.sim().line().repeatedWrites(), 0);
    }

    void breakAfterTheExposureKeyRestartsPolling()
    {
        // The operator presses both keys, so polling stops, and lets go before the exposure.
        TLDirectTestRig rig;
        QVERIFY(rig.isReady());
        QVERIFY(rig.switchOn());
        rig.sim().sequence().setHoldAtExposureKey(true);
        QVERIFY(rig.sim().sequence().runExposure());
        QTRY_VERIFY_WITH_TIMEOUT(rig.sim().line().exposureStates().contains("0E03"), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(!rig.driver().linkHealth().value(QStringLiteral("polling")).toBool(), 2000);
        rig.sim().sequence().releaseKeys();
        QVERIFY(rig.sim().sequence().waitForExposureDone(5000));
        rig.sim().line().clearTranscript();
        QVERIFY(rig.waitForPayload("st?", 2 * Kestrovan::StatusPollIntervalMs));
        QVERIFY(rig.driver().linkHealth().value(QStringLiteral("polling")).toBool());
    }

    void lastExposureValuesAreThisExposuresOrNone()
    {
        // The first exposure's values are read; the second's replies come after the queries
        // gave up, and the first's values must not stand in for them.
        TLDirectTestRig rig;
        QVERIFY(rig.isReady());
        QVERIFY(rig.switchOn());
        TLGeneratorSettings last;
        QVERIFY(rig.sim().sequence().runExposure());
        QVERIFY(rig.sim().sequence().waitForExposureDone(10000));
        QVERIFY(rig.driver().lastExposureSettings(last).isSuccess());
        QCOMPARE(last.kV, 70.0);
        rig.driver().setKV(90);
        QVERIFY(rig.sim().sequence().runExposure());
        QVERIFY(rig.sim().sequence().waitForExposureDone(10000));
        rig.sim().line().setReplyDelayMs(Kestrovan::ReplyTimeoutMs + 300);
        rig.host().clearRecords();
        QVERIFY(rig.driver().lastExposureSettings(last).isSuccess());
        QCOMPARE(last.kV, 0.0);
        QCOMPARE(last.mAs, 0.0);
        QCOMPARE(last.mA, 0.0);
        QCOMPARE(last.ms, 0.0);
        QCOMPARE(rig.host().countLog(QStringLiteral("no reply for the last exposure's kV, mAs, mA, ms")), 1);
        QTRY_COMPARE_WITH_TIMEOUT(rig.driver().linkHealth().value(QStringLiteral("lateReplies")).toInt(), 4,
                                  2 * Kestrovan::ReplyTimeoutMs);
    }

    void secondSwitchOnKeepsItsLink()
    {
        // The first switch-on gives up on a generator that ignores it; the host tries again at
        // once, before its event loop has seen the failure, and this time the generator answers.
        TLDirectTestRig rig;
        QVERIFY(rig.isReady());
        rig.sim().line().dropAcknowledgementsFor(Kestrovan::GiveUpMs + 500);
        QVERIFY(!rig.driver().switchOn().isSuccess());
        QVERIFY(rig.driver().switchOn().isSuccess());
        // The stale failure is handled now, and must leave the new link alone.
        QTest::qWait(3000);
        QVERIFY(rig.driver().isSwitchedOn());
        QVERIFY(rig.driver().isPortOpen());
        QVERIFY(rig.driver().linkHealth().value(QStringLiteral("polling")).toBool());
        rig.sim().line().clearTranscript();
        QVERIFY(rig.waitForPayload("st?", 2 * Kestrovan::StatusPollIntervalMs));
    }

    void healthCountsWhatTheLineDid()
    {
        TLDirectTestRig rig;
        QVERIFY(rig.isReady());
        QCOMPARE(rig.driver().linkHealth().value(QStringLiteral("statusAgeMs")).toInt(), -1);
        QVERIFY(rig.switchOn());
        // Polls alone for a while: the status age follows them, not the replies of switching on.
        for (int poll = 0; poll < 3; ++poll)
            QVERIFY(rig.quietMoment());
        QVERIFY(rig.driver().linkHealth().value(QStringLiteral("statusAgeMs")).toInt()
                < Kestrovan::StatusPollIntervalMs);
        rig.sim().line().corruptNextReply();
        rig.sim().line().dropAcknowledgements(1);
        QVariant version;
        QVERIFY(rig.driver().executeCommand(QStringLiteral("version"), version).isSuccess());
        QVERIFY(rig.sim().line().waitForIdle(2000));
        QVariant health;
        QVERIFY(rig.driver().executeCommand(QStringLiteral("linkHealth"), health).isSuccess());
        const QVariantMap counters = health.toMap();
        QCOMPARE(counters.value(QStringLiteral("damagedTelegrams")).toInt(), 1);
        QCOMPARE(counters.value(QStringLiteral("telegramsWrittenAgain")).toInt(), 1);
        QCOMPARE(counters.value(QStringLiteral("giveUps")).toInt(), 0);
        QVERIFY(counters.value(QStringLiteral("noiseBytes")).toInt() > 0);
        QVERIFY(counters.value(QStringLiteral("ackDelayMaxMs")).toInt() >= Kestrovan::AckWindowMs);
        QVERIFY(counters.value(QStringLiteral("statusAgeMs")).toInt() < 2 * Kestrovan::StatusPollIntervalMs);
        QVERIFY(counters.value(QStringLiteral("polling")).toBool());
        QTRY_COMPARE_WITH_TIMEOUT(
            rig.host().logTexts().filter(QStringLiteral("noise on the line: 1 damaged")).size(), 1, 2000);
        QVERIFY(rig.driver().switchOff().isSuccess());
        QCOMPARE(rig.host().logTexts().filter(QStringLiteral("link health: ")).size(), 1);
        QVERIFY(!rig.driver().linkHealth().value(QStringLiteral("polling")).toBool());
    }
};

TL_TEST_MAIN(TestFaultyLine)
#include "tst_faultyline.moc"
