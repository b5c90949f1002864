#include "TLDirectTestRig.h"

#include <QtTest>

// A generator that keeps reporting its error code.
class TestFaultErrors : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qRegisterMetaType<TLCondition>("TLCondition"); }
    void codeRepeatedEverySecond();
    void twoCodesTakeTurns();

private:
    static bool switchOnQuietly(TLDirectTestRig &rig);
};

namespace {
constexpr int SettleMs = 5000;
constexpr int RepeatPauseMs = 1000;
constexpr int Repeats = 12;
constexpr int ErrorRepeatMs = int(TLKestrovanProtocol::ErrorRepeatMs);
constexpr int ErrorResetDelayMs = int(TLKestrovanProtocol::ErrorResetDelayMs);
constexpr int PollMs = int(TLKestrovanProtocol::StatusPollIntervalMs);
} // namespace

bool TestFaultErrors::switchOnQuietly(TLDirectTestRig &rig)
{
    if (!rig.switchOn())
        return false;
    rig.host().clearRecords();
    rig.sim().clearTranscript();
    return true;
}

void TestFaultErrors::codeRepeatedEverySecond()
{
    // The generator reports code 105 every second (a minute in the field, twelve seconds
    // here). A code is shown again only after more than 5 s without it, so what the host sees
    // is one alarm for the whole run, and one automatic reset ("rs", followed by a query of
    // the code) about 2 s after it: one report, one reset. Every report reaches the driver,
    // none twice. After more than 5 s of quiet the same code is news again: a second alarm
    // and a second reset.
    TLDirectTestRig rig;
    QVERIFY(rig.isReady());
    QVERIFY(switchOnQuietly(rig));

    for (int i = 0; i < Repeats; ++i) {
        rig.sim().sendTelegram("rr105");
        QTest::qWait(RepeatPauseMs);
    }
    QVERIFY(rig.sim().waitForIdle(SettleMs));
    QTest::qWait(RepeatPauseMs);
    QCOMPARE(rig.host().countLog(QStringLiteral("received: rr105")), Repeats);
    QCOMPARE(rig.host().alarms().size(), 1);
    QCOMPARE(rig.host().alarms().first().condition.text(), QStringLiteral("Generatorfehler: 105"));
    QCOMPARE(rig.host().countLog(QStringLiteral("handle error: 105")), 1);
    QCOMPARE(rig.host().countLog(QStringLiteral("reset error")), 1);
    QCOMPARE(rig.sim().countTelegramsFromDriver("rs"), 1);
    // The reset is followed by a question for the code.
    const QByteArray line = rig.sim().bytesFromDriver();
    const int reset = line.indexOf(TLKestrovanGeneratorSimulator::telegram("rs"));
    QVERIFY(line.indexOf(TLKestrovanGeneratorSimulator::telegram("rr?"), reset) > reset);

    // Quiet for longer than the repeat time: the next report is shown again, and reset again.
    QTest::qWait(ErrorRepeatMs + 500);
    rig.sim().sendTelegram("rr105");
    QTRY_COMPARE_WITH_TIMEOUT(rig.host().alarms().size(), 2, SettleMs);
    QTRY_COMPARE_WITH_TIMEOUT(rig.host().countLog(QStringLiteral("reset error")), 2,
                              ErrorResetDelayMs + PollMs + SettleMs);
    QTest::qWait(PollMs * 2);
    QCOMPARE(rig.host().countLog(QStringLiteral("handle error: 105")), 2);
    QCOMPARE(rig.sim().countTelegramsFromDriver("rs"), 2);
    QCOMPARE(rig.host().countLog(QStringLiteral("received: rr105")), Repeats + 1);
    QVERIFY(rig.driver().isPortOpen());
}

void TestFaultErrors::twoCodesTakeTurns()
{
    // Codes 105 and 7 take turns every half second for six seconds. What the host sees: one
    // alarm per code; and a single reset, since the second report followed the first closely
    // and the reset is due 2 s after the latest report, after which neither code is news.
    static constexpr int TurnMs = 500;
    static constexpr int Turns = 12;
    TLDirectTestRig rig;
    QVERIFY(rig.isReady());
    QVERIFY(switchOnQuietly(rig));

    for (int i = 0; i < Turns; ++i) {
        rig.sim().sendTelegram(i % 2 ? "rr7" : "rr105");
        QTest::qWait(TurnMs);
    }
    QVERIFY(rig.sim().waitForIdle(SettleMs));
    QTest::qWait(ErrorResetDelayMs + 2 * PollMs);
    QCOMPARE(rig.host().countLog(QStringLiteral("received: rr105")), Turns / 2);
    QCOMPARE(rig.host().countLog(QStringLiteral("received: rr7")), Turns / 2);
    QCOMPARE(rig.host().alarms().size(), 2);
    QCOMPARE(rig.host().countLog(QStringLiteral("handle error: 105")), 1);
    QCOMPARE(rig.host().countLog(QStringLiteral("handle error: 7")), 1);
    QCOMPARE(rig.host().countLog(QStringLiteral("reset error")), 1);
    QCOMPARE(rig.sim().countTelegramsFromDriver("rs"), 1);
}

int main(int argc, char **argv)
{
    TLHostApplication app(argc, argv);
    TestFaultErrors test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_faulterrors.moc"
