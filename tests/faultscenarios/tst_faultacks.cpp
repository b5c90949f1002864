#include "TLDirectTestRig.h"
#include "TLSignalTally.h"

#include <QElapsedTimer>
#include <QtTest>

// The generator stops acknowledging for a while, right as the host changes a setting.
class TestFaultAcknowledgements : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qRegisterMetaType<TLCondition>("TLCondition"); }
    void shortSilenceIsBridged();
    void longSilenceFailsTheLink();

private:
    // Lets the status poll of the current second pass, so that the silence meets the setting
    // and not a poll telegram that happens to be on its way.
    static bool afterStatusPoll(TLDirectTestRig &rig);
};

namespace {
// The link writes a telegram again when no echo came within this window, and gives up after
// the give-up time since its first write.
constexpr int AckWindowMs = 500;
constexpr int GiveUpMs = 8000;
// Generous limits for things that happen within a poll or two.
constexpr int SettleMs = 5000;
const QString LinkErrorText =
    QStringLiteral("Es trat ein Fehler bei der Kommunikation mit dem Generator auf.");
} // namespace

bool TestFaultAcknowledgements::afterStatusPoll(TLDirectTestRig &rig)
{
    rig.sim().clearTranscript();
    return rig.waitForPayload("qs?", SettleMs);
}

void TestFaultAcknowledgements::shortSilenceIsBridged()
{
    // What the host sees: setKV() takes about 7 s longer than usual and then returns as always;
    // no alarm, the device keeps its state, the link stays open. Nothing is lost: the telegram
    // went out again every half second (the generator saw every copy), got through once the
    // generator listened again, was taken over exactly then, and the follow-up queries ran.
    static constexpr int SilenceMs = 7000;
    TLDirectTestRig rig;
    QVERIFY(rig.isReady());
    QVERIFY(rig.switchOn());
    rig.device().setState(DeviceState::Ready);
    TLSignalTally linkErrors;
    linkErrors.watch(&rig.driver(), &TLKestrovanProtocol::communicationErrorOccurred);
    rig.host().clearRecords();
    QVERIFY(afterStatusPoll(rig));

    const int droppedBefore = rig.sim().droppedAcknowledgements();
    rig.sim().dropAcknowledgementsFor(SilenceMs);
    QElapsedTimer timer;
    timer.start();
    rig.driver().setKV(81);
    const qint64 took = timer.elapsed();

    const int copies = rig.sim().countTelegramsFromDriver("kv81");
    const int dropped = rig.sim().droppedAcknowledgements() - droppedBefore;
    qInfo("setKV took %lld ms, %d copies written, %d unanswered", took, copies, dropped);
    // Every copy but the last went unanswered; the last one was echoed.
    QCOMPARE(copies, dropped + 1);
    QVERIFY2(copies >= SilenceMs / 1000 && copies <= SilenceMs / AckWindowMs + 2,
             qPrintable(QString::number(copies)));
    // The setter came back only once the echo had come.
    QVERIFY2(took >= SilenceMs - 100, qPrintable(QString::number(took)));
    QCOMPARE(rig.sim().value("kv"), QByteArray("81"));
    QCOMPARE(rig.driver().kV(), 81.0);

    // The follow-up queries went out after the setting.
    const QByteArray line = rig.sim().bytesFromDriver();
    const int last = line.lastIndexOf(TLKestrovanGeneratorSimulator::telegram("kv81"));
    for (const QByteArray query : {"kv?", "as?", "ma?", "ms?"})
        QVERIFY2(line.indexOf(TLKestrovanGeneratorSimulator::telegram(query), last) > last,
                 query.constData());

    QTest::qWait(300); // a queued link error would arrive now
    QVERIFY(rig.host().alarms().isEmpty());
    QCOMPARE(linkErrors.total(), 0);
    QCOMPARE(rig.device().state(), DeviceState::Ready);
    QVERIFY(rig.driver().isPortOpen());
    QVERIFY(rig.driver().isSwitchedOn());
    QCOMPARE(rig.host().countLog(QStringLiteral("serial port closed after error")), 0);
}

void TestFaultAcknowledgements::longSilenceFailsTheLink()
{
    // What the host sees: setKV() returns after the 8 s of repeats (and its follow-up queries,
    // which a dead link can no longer answer), one alarm "Es trat ein Fehler bei der
    // Kommunikation mit dem Generator auf.", the device in state 4 and the driver switched off
    // with its port closed. A later "switchOn" opens a fresh link: switched on, polling again,
    // and the kV value is the generator's one (the setting that never arrived is not
    // pretended to have been taken over).
    static constexpr int SilenceMs = 9000;
    TLDirectTestRig rig;
    QVERIFY(rig.isReady());
    QVERIFY(rig.switchOn());
    rig.device().setState(DeviceState::Ready);
    TLSignalTally linkErrors;
    linkErrors.watch(&rig.driver(), &TLKestrovanProtocol::communicationErrorOccurred);
    rig.host().clearRecords();
    const QByteArray generatorKv = rig.sim().value("kv");
    QVERIFY(afterStatusPoll(rig));

    const int droppedBefore = rig.sim().droppedAcknowledgements();
    rig.sim().dropAcknowledgementsFor(SilenceMs);
    QElapsedTimer timer;
    timer.start();
    rig.driver().setKV(82);
    qInfo("setKV on a failing link took %lld ms", timer.elapsed());

    const int copies = rig.sim().countTelegramsFromDriver("kv82");
    // Written again and again, never echoed, then given up.
    QCOMPARE(rig.sim().droppedAcknowledgements() - droppedBefore, copies);
    // The follow-up queries met a failed link: queued there, never written.
    QCOMPARE(rig.sim().countTelegramsFromDriver("kv?"), 0);
    QVERIFY2(copies >= GiveUpMs / 1000 && copies <= GiveUpMs / AckWindowMs + 2,
             qPrintable(QString::number(copies)));
    QCOMPARE(rig.sim().value("kv"), generatorKv);

    // The link's failure reached the host once, and the port was closed in the main thread.
    QVERIFY(!rig.driver().isPortOpen());
    QTRY_COMPARE_WITH_TIMEOUT(rig.device().state(), DeviceState::Error, SettleMs);
    QCOMPARE(linkErrors.total(), 1);
    QCOMPARE(rig.host().alarms().size(), 1);
    QCOMPARE(rig.host().alarms().first().condition.text(), LinkErrorText);
    QVERIFY(rig.host().alarms().first().condition.isError());
    QVERIFY(!rig.driver().isSwitchedOn());
    QCOMPARE(rig.host().countLog(QStringLiteral("serial port closed after error")), 1);

    // Recovery through the host's command, once the generator listens again.
    QTRY_VERIFY_WITH_TIMEOUT(timer.elapsed() > SilenceMs, SilenceMs + SettleMs);
    QVariant unused;
    const TLCondition switched = rig.driver().executeCommand(QStringLiteral("switchOn"), unused);
    QVERIFY2(switched.isSuccess(), qPrintable(switched.text()));
    QVERIFY(rig.driver().isSwitchedOn());
    QVERIFY(rig.driver().isPortOpen());
    rig.sim().clearTranscript();
    QVERIFY(rig.waitForPayload("st?", SettleMs));
    QCOMPARE(rig.driver().kV(), generatorKv.toDouble());
    QCOMPARE(rig.host().alarms().size(), 1);
}

int main(int argc, char **argv)
{
    TLHostApplication app(argc, argv);
    TestFaultAcknowledgements test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_faultacks.moc"
