#include "KestrovanTiming.h"
#include "TLDirectTestRig.h"
#include "TLHostCallLog.h"
#include "TLTestMain.h"
#include "TLXRayExposureStateProvider.h"
#include "TLXRaySynchronizer.h"

namespace {
// What a state does to the status poll: nothing looked at, stops it, or starts it.
enum class Poll { Untouched, Stops, Starts };

// A poll that is still running writes within one interval; half an interval more for the load.
constexpr int NoPollWindowMs = Kestrovan::StatusPollIntervalMs + Kestrovan::StatusPollIntervalMs / 2;
constexpr int PollStartLimitMs = 3 * Kestrovan::StatusPollIntervalMs;

QString provider(const char *call)
{
    return QStringLiteral("TLXRayExposureStateProvider::") + call;
}
QString synchronizer(const char *call)
{
    return QStringLiteral("TLXRaySynchronizer::") + call;
}
} // namespace
Q_DECLARE_METATYPE(Poll)

// Each exposure state the generator reports, with the host's answers: the calls on the host's
// singletons, the release answer on the wire (or silence), the log line and the status poll.
class TestProtocolHandshake : public QObject
{
    Q_OBJECT

private slots:
    // The prepare request, with the host ready or not.
    void prepareOn_data()
    {
        columns();
        const QStringList none;
        QTest::newRow("0A01 accepted")
            << QByteArray("0A01") << true << 200 << 0
            << QStringList{provider("isUnlocked()"), synchronizer("waitForDetectorReady(1500)")}
            << QByteArray("xr41") << QStringList{"EXPOSURE: prepare on accepted"} << Poll::Untouched;
        QTest::newRow("0a01 reads as 0A01")
            << QByteArray("0a01") << true << 0 << 0
            << QStringList{provider("isUnlocked()"), synchronizer("waitForDetectorReady(1500)")}
            << QByteArray("xr41") << QStringList{"EXPOSURE: prepare on accepted"} << Poll::Untouched;
        QTest::newRow("0A01 host locked")
            << QByteArray("0A01") << false << 0 << 0 << QStringList{provider("isUnlocked()")} << QByteArray()
            << QStringList{"EXPOSURE: prepare on NOT accepted - system not ready"} << Poll::Untouched;
        QTest::newRow("0A01 detector not ready")
            << QByteArray("0A01") << true << -1 << 0
            << QStringList{provider("isUnlocked()"), synchronizer("waitForDetectorReady(1500)")}
            << QByteArray() << QStringList{"EXPOSURE: prepare on NOT accepted - detector not ready"}
            << Poll::Untouched;
        QTest::newRow("0A00 without the key") << QByteArray("0A00") << true << 0 << 0 << QStringList{}
                                              << QByteArray() << none << Poll::Untouched;
    }
    void prepareOn() { exposureState(); }

    // Prepare and the wait for the exposure key, which stops the poll.
    void prepare_data()
    {
        columns();
        const QStringList none;
        QTest::newRow("0C01") << QByteArray("0C01") << true << 0 << 0
                              << QStringList{provider("setPrepareCheck()")} << QByteArray()
                              << QStringList{"EXPOSURE: prepare state"} << Poll::Untouched;
        QTest::newRow("0C02 without the prepare key") << QByteArray("0C02") << true << 0 << 0 << QStringList{}
                                                      << QByteArray() << none << Poll::Untouched;
        QTest::newRow("0D01") << QByteArray("0D01") << true << 0 << 0
                              << QStringList{provider("setPrepareOk()")} << QByteArray()
                              << QStringList{"EXPOSURE: prepare ready state"} << Poll::Untouched;
        QTest::newRow("0D00") << QByteArray("0D00") << true << 0 << 0 << QStringList{} << QByteArray() << none
                              << Poll::Untouched;
        QTest::newRow("0E01") << QByteArray("0E01") << true << 0 << 0 << QStringList{} << QByteArray()
                              << QStringList{"EXPOSURE: wait for exposure (exposure key off)"}
                              << Poll::Untouched;
        QTest::newRow("0E02 stops the poll")
            << QByteArray("0E02") << true << 0 << 0 << QStringList{synchronizer("exposureButtonPressed()")}
            << QByteArray() << QStringList{"EXPOSURE: wait for exposure (exposure key on)"} << Poll::Stops;
    }
    void prepare() { exposureState(); }

    // The exposure request, with the host's window open or shut, and the exposure itself.
    void exposure_data()
    {
        columns();
        const QStringList none;
        QTest::newRow("1002 window opens")
            << QByteArray("1002") << true << 0 << 300
            << QStringList{synchronizer("waitForOpenXRayWindow(1500)")} << QByteArray("xr81")
            << QStringList{"EXPOSURE: exposure check signal received",
                           "EXPOSURE: exposure check signal accepted"}
            << Poll::Untouched;
        QTest::newRow("1003 window stays shut")
            << QByteArray("1003") << true << 0 << -1
            << QStringList{synchronizer("waitForOpenXRayWindow(1500)")} << QByteArray()
            << QStringList{"EXPOSURE: exposure check signal received",
                           "EXPOSURE: exposure check signal ignored with timeout"}
            << Poll::Untouched;
        QTest::newRow("1001") << QByteArray("1001") << true << 0 << 0 << QStringList{} << QByteArray() << none
                              << Poll::Untouched;
        QTest::newRow("1103") << QByteArray("1103") << true << 0 << 0 << QStringList{} << QByteArray()
                              << QStringList{"EXPOSURE: exposure wait (wait for devices)"} << Poll::Untouched;
        QTest::newRow("1101") << QByteArray("1101") << true << 0 << 0 << QStringList{} << QByteArray() << none
                              << Poll::Untouched;
        QTest::newRow("1203") << QByteArray("1203") << true << 0 << 0
                              << QStringList{synchronizer("setExposureOn(null)"), provider("setExposureOn()")}
                              << QByteArray() << QStringList{"EXPOSURE: exposure on"} << Poll::Untouched;
        QTest::newRow("1201") << QByteArray("1201") << true << 0 << 0 << QStringList{} << QByteArray() << none
                              << Poll::Untouched;
    }
    void exposure() { exposureState(); }

    // The end of an exposure, by itself or by an error, which starts the poll again; states that are no
    // states.
    void exposureEnd_data()
    {
        columns();
        const QStringList none;
        QTest::newRow("1400 without keys resumes the poll")
            << QByteArray("1400") << true << 0 << 0
            << QStringList{synchronizer("setExposureOff(null)"), provider("setExposureOff()"),
                           provider("setPrepareOff()")}
            << QByteArray() << QStringList{"EXPOSURE: exposure off"} << Poll::Starts;
        QTest::newRow("0100 error asks for the code")
            << QByteArray("0100") << true << 0 << 0
            << QStringList{provider("setError()"), synchronizer("setExposureOff(null)"),
                           provider("setExposureOff()"), provider("setPrepareOff()")}
            << QByteArray("rr?") << QStringList{"EXPOSURE: exposure error"} << Poll::Starts;
        QTest::newRow("0003 break") << QByteArray("0003") << true << 0 << 0 << QStringList{} << QByteArray()
                                    << QStringList{"EXPOSURE: break exposure"} << Poll::Untouched;
        QTest::newRow("0F03 is no state of ours") << QByteArray("0F03") << true << 0 << 0 << QStringList{}
                                                  << QByteArray() << none << Poll::Untouched;
        QTest::newRow("014: too short, ignored")
            << QByteArray("014") << true << 0 << 0 << QStringList{} << QByteArray()
            << QStringList{"EXPOSURE: ignored state of fewer than four characters: 014"} << Poll::Untouched;
    }
    void exposureEnd() { exposureState(); }

    void cleanup()
    {
        if (ownRig || QTest::currentTestFailed())
            rig.reset();
    }
    void cleanupTestCase() { rig.reset(); }

private:
    std::unique_ptr<TLDirectTestRig> rig;
    bool ownRig = false;

    static void columns()
    {
        QTest::addColumn<QByteArray>("state");
        QTest::addColumn<bool>("unlocked");
        QTest::addColumn<int>("detectorMs"); // -1: never
        QTest::addColumn<int>("windowMs");
        QTest::addColumn<QStringList>("calls");
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<QStringList>("lines"); // the "EXPOSURE:" lines
        QTest::addColumn<Poll>("poll");
    }

    // The state arrives as the link would deliver it; then the host's calls, the log, the wire.
    void exposureState()
    {
        QFETCH(QByteArray, state);
        QFETCH(bool, unlocked);
        QFETCH(int, detectorMs);
        QFETCH(int, windowMs);
        QFETCH(QStringList, calls);
        QFETCH(QByteArray, sent);
        QFETCH(QStringList, lines);
        QFETCH(Poll, poll);
        // Rows that leave the poll alone share a rig; a row that stops or starts it has its own.
        ownRig = poll != Poll::Untouched;
        if (!rig || ownRig) {
            rig.reset(); // first: the host's singletons are shared
            rig = std::make_unique<TLDirectTestRig>();
            QVERIFY(rig->isReady());
            QVERIFY(rig->driver().openConnection().isSuccess());
        }
        // Polling runs before the states that stop it and not before those that start it.
        if (poll == Poll::Stops)
            rig->driver().startStatusPolling();
        TLXRayExposureStateProvider::instance()->setUnlocked(unlocked);
        const auto answer = [](int ms) { return ms < 0 ? TLHostAnswer::never() : TLHostAnswer::after(ms); };
        TLXRaySynchronizer::instance()->setDetectorReadyAnswer(answer(detectorMs));
        TLXRaySynchronizer::instance()->setXRayWindowAnswer(answer(windowMs));
        rig->sim().line().clearTranscript();
        TLHostCallLog::clear();
        rig->host().clearRecords();

        rig->driver().onMessageReceived(TLKestrovanSimulatedLine::telegram("xy" + state));

        QCOMPARE(TLHostCallLog::calls(), calls);
        QCOMPARE(rig->host().logTexts().filter(QStringLiteral("EXPOSURE:")), lines);
        QVERIFY(rig->waitUntilSent());
        QCOMPARE(rig->payloadsFromDriver(), sent.isEmpty() ? QByteArrayList{} : QByteArrayList{sent});
        rig->sim().line().clearTranscript();
        if (poll == Poll::Starts) {
            QVERIFY(rig->waitForPayload("st?", PollStartLimitMs));
        } else if (poll == Poll::Stops) {
            QTest::qWait(NoPollWindowMs);
            QVERIFY(!rig->payloadsFromDriver(true).contains("st?"));
        }
    }
};

TL_TEST_MAIN(TestProtocolHandshake)
#include "tst_protocolhandshake.moc"
