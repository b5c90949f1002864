// The demonstration: kestrovan-host without --port and --indirect runs a whole direct and
// indirect run against the built-in simulators and finishes by itself.

#include "TLHostProcess.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {
// The demonstration must finish well under a minute; this only bounds a hang.
constexpr int DemoTimeoutMs = 120000;

// The result line printed right after the echo of a step ("> step").
QString resultOf(const QStringList &lines, const QString &step, int occurrence = 0)
{
    int seen = 0;
    for (int i = 0; i + 1 < lines.size(); ++i) {
        if (lines.at(i) == QStringLiteral("> ") + step && seen++ == occurrence)
            return lines.at(i + 1);
    }
    return QStringLiteral("<step %1 not run>").arg(step);
}
} // namespace

class tst_HostDemo : public QObject
{
    Q_OBJECT

private slots:
    void demoRunsBothModes();
    void demoReportsAFailedStep();
};

void tst_HostDemo::demoRunsBothModes()
{
    QTemporaryDir home;
    QVERIFY(home.isValid());
    TLHostProcess host;
    host.process().setWorkingDirectory(home.path());
    QVERIFY(host.start({}));
    QVERIFY2(host.finish(DemoTimeoutMs), "the demonstration did not finish");
    const QStringList lines = host.outputLines();
    QCOMPARE(host.exitCode(), 0);

    // Direct: the sample catalogue loads without a warning, the exposure is released, and the
    // injected error arrives as the catalogue explains it.
    QCOMPARE(resultOf(lines, QStringLiteral("init")), QStringLiteral("ok"));
    QCOMPARE(resultOf(lines, QStringLiteral("get kv")), QStringLiteral("ok 81"));
    QCOMPARE(resultOf(lines, QStringLiteral("command version")), QStringLiteral("ok V1.2"));
    QVERIFY(resultOf(lines, QStringLiteral("[simulator] hand switch: prepare and exposure"))
                .startsWith(QStringLiteral("ok exposure completed")));
    QVERIFY(resultOf(lines, QStringLiteral("last")).startsWith(QStringLiteral("ok kv=81 mas=12.5 ")));
    QCOMPARE(resultOf(lines, QStringLiteral("[host] alarm shown")),
             QStringLiteral("ok Generatorfehler: 105 Röhrenüberlast"));
    QVERIFY(host.errorText().contains(QStringLiteral("ALARM Generatorfehler: 105\\n")));
    // Indirect: the console's report reaches the host.
    QCOMPARE(resultOf(lines, QStringLiteral("init"), 1), QStringLiteral("ok"));
    QCOMPARE(resultOf(lines, QStringLiteral("last"), 1),
             QStringLiteral("ok kv=73 mas=16 ma=320 ms=50 dap=2.4"));

    const int summary = lines.indexOf(QStringLiteral("== summary"));
    QVERIFY(summary > 0);
    QVERIFY(lines.constLast().startsWith(QStringLiteral("all ")));
    QVERIFY(lines.constLast().endsWith(QStringLiteral(" steps succeeded")));
    // One table row per step, with its result.
    const int steps = lines.filter(QRegularExpression(QStringLiteral("^> "))).size();
    QCOMPARE(lines.size() - summary - 3, steps);
}

void tst_HostDemo::demoReportsAFailedStep()
{
    TLHostProcess host;
    QVERIFY(host.start({QStringLiteral("--detector-ready"), QStringLiteral("no")}));
    QVERIFY2(host.finish(DemoTimeoutMs), "the demonstration did not finish");
    const QStringList lines = host.outputLines();
    QCOMPARE(host.exitCode(), 1);
    QCOMPARE(resultOf(lines, QStringLiteral("[simulator] hand switch: prepare and exposure")).left(30),
             QStringLiteral("error: exposure not released b"));
    QVERIFY(lines.constLast().startsWith(QStringLiteral("1 of ")));
}

QTEST_GUILESS_MAIN(tst_HostDemo)
#include "tst_hostdemo.moc"
