// Sessions captured as in the field (kestrovan-host --trace against the generator simulator)
// and replayed on the desk (kestrovan-sim --replay against kestrovan-host with the driver).

#include "TLHostProcess.h"
#include "TLKestrovanGeneratorSimulator.h"
#include "TLTestMain.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <functional>

namespace {
// Far above the longest session here (about 12 s, most of it the driver's own waits).
constexpr int SessionTimeoutMs = 60000;
// The demonstration's direct session; the hand switch and the generator error happen during
// the sleeps.
const QByteArray DemoScript =
    "init\nset kv 81\nset mas 12.5\nget kv\nget mas\nget ma\nlimits\ncommand version\n"
    "command isDapEnabled\nactivate\nsleep 2000\nlast\nsleep 2500\nswitchOff\n";
constexpr int ActivateLine = 10;
constexpr int LastLine = 12;

// The lines as one text, shown whole when they differ; each run has a pseudo-terminal of its
// own, which hints name.
QString anyPort(QStringList lines)
{
    return lines
        .replaceInStrings(QRegularExpression(QStringLiteral("/dev/pts/[0-9]+")), QStringLiteral("PORT"))
        .join(QLatin1Char('\n'));
}

QDateTime wallClock(const QString &stamp)
{
    return QDateTime::fromString(stamp.left(23), QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
}
} // namespace

class TestReplaySession : public QObject
{
    Q_OBJECT

    QTemporaryDir folder;

    QStringList hostArguments(const QString &port, const QString &trace) const
    {
        return {"--port", port, "--trace", folder.filePath(trace), "--log-level", "warning"};
    }

    // Runs the script against the generator simulator with the trace "field.trace"; act() plays
    // the operator and the generator meanwhile.
    void capture(TLHostProcess &host, const QByteArray &script,
                 const std::function<void(TLKestrovanGeneratorSimulator &)> &act = {})
    {
        TLKestrovanGeneratorSimulator generator;
        generator.model().setDapEnabled(true);
        QVERIFY(generator.start());
        QVERIFY(host.start(hostArguments(generator.slavePath(), "field.trace"), script, bool(act)));
        if (act)
            act(generator);
        host.closeInput();
        QVERIFY(host.finish(SessionTimeoutMs));
    }

    // Replays "field.trace" against the script with the trace "desk.trace"; the replay's lines.
    QStringList replay(TLHostProcess &host, const QByteArray &script, const QString &onDivergence,
                       int exitCode)
    {
        QProcess sim;
        sim.start(KESTROVAN_SIM_PROGRAM,
                  {"--replay", folder.filePath("field.trace"), "--on-divergence", onDivergence});
        const bool named = sim.waitForReadyRead(SessionTimeoutMs) && sim.canReadLine();
        const QString slave = QString::fromLocal8Bit(sim.readLine()).trimmed().section(' ', 1);
        const bool ran = named && host.run(hostArguments(slave, "desk.trace"), script);
        const bool over = sim.waitForFinished(SessionTimeoutMs);
        QStringList lines = QString::fromLocal8Bit(sim.readAllStandardOutput()).split('\n');
        if (!(ran && over && sim.exitCode() == exitCode))
            QTest::qFail(qPrintable(QStringLiteral("replay on %1 ended with %2: %3")
                                        .arg(slave)
                                        .arg(sim.exitCode())
                                        .arg(lines.join('\n') + sim.readAllStandardError())),
                         __FILE__, __LINE__);
        return lines;
    }

    // From the end of the sleep before the setting to the alarm, by the program's time stamps.
    static qint64 giveUpMs(TLHostProcess &host)
    {
        const QDateTime sent = wallClock(host.outputLines(true).value(1));
        const QDateTime alarm = wallClock(host.errorLines(true).filter(" ALARM ").value(0));
        return sent.isValid() && alarm.isValid() ? sent.msecsTo(alarm) : -1;
    }

private slots:
    void initTestCase() { QVERIFY(folder.isValid()); }

    void demoSessionReplaysWithoutDivergence()
    {
        TLHostProcess field;
        capture(field, DemoScript, [&](TLKestrovanGeneratorSimulator &generator) {
            QVERIFY(field.waitForLines(ActivateLine, SessionTimeoutMs));
            QVERIFY(generator.sequence().runExposure());
            QVERIFY(field.waitForLines(LastLine, SessionTimeoutMs));
            generator.model().injectError("105");
        });
        QCOMPARE(field.outputLines().value(LastLine - 1), QString("ok kv=81 mas=12.5 ma=200 ms=100 dap=2.5"));
        QVERIFY(field.errorText().contains("ALARM Generatorfehler: 105"));
        TLHostProcess desk;
        const QStringList lines = replay(desk, DemoScript, "stop", 0);
        QCOMPARE(
            lines
                .filter(QRegularExpression("^handshake: xr(41|81) answered xy(0A|10)0[13] after [0-9.]+ ms "
                                           "\\(recorded after [0-9.]+ ms\\)$"))
                .size(),
            2);
        QCOMPARE(desk.outputLines(), field.outputLines());
        QCOMPARE(anyPort(desk.errorLines()), anyPort(field.errorLines()));
    }

    void giveUpComesAtTheRecordedTime()
    {
        // The generator stops acknowledging after init, before the setting is sent and well
        // before the next status poll.
        TLHostProcess field;
        capture(field, "init\nsleep 300\n", [&](TLKestrovanGeneratorSimulator &generator) {
            QVERIFY(field.waitForLines(2, SessionTimeoutMs));
            generator.line().dropAcknowledgements(-1);
            field.write("set kv 81\n");
        });
        const qint64 recordedMs = giveUpMs(field);
        QVERIFY2(recordedMs > 0, qPrintable(field.errorText()));
        TLHostProcess desk;
        replay(desk, "init\nsleep 300\nset kv 81\n", "stop", 0);
        const qint64 replayedMs = giveUpMs(desk);
        qInfo("given up after %lld ms, recorded %lld ms", replayedMs, recordedMs);
        QVERIFY2(qAbs(replayedMs - recordedMs) <= recordedMs / 10,
                 qPrintable(
                     QStringLiteral("given up after %1 ms, recorded %2 ms").arg(replayedMs).arg(recordedMs)));
        QCOMPARE(anyPort(desk.errorLines()), anyPort(field.errorLines()));
        QCOMPARE(desk.outputLines(), field.outputLines());
    }

    void changedSettingIsOneDivergence()
    {
        TLHostProcess field;
        capture(field, "init\nset kv 81\nget kv\nswitchOff\n");
        TLHostProcess desk;
        const QStringList lines = replay(desk, "init\nset kv 82\nget kv\nswitchOff\n", "continue", 3);
        const int divergence =
            lines.indexOf(QRegularExpression("^divergence 1 .*the driver sent .*kv82\\.$"));
        QVERIFY2(divergence >= 0, qPrintable(lines.join('\n')));
        QVERIFY2(lines.value(divergence + 1)
                     .contains(QRegularExpression("^  the record expected: .* TX .*kv81\\.$")),
                 qPrintable(lines.join('\n')));
        QCOMPARE(lines.filter(QRegularExpression("^divergence ")).size(), 1);
        QVERIFY(lines.contains("  divergences: 1"));
        // The simulator's model acknowledged the new value, and the record answered the rest.
        QCOMPARE(desk.outputLines(), QStringList({"ok", "ok", "ok 81", "ok"}));
    }
};

TL_TEST_MAIN(TestReplaySession)
#include "tst_replaysession.moc"
