// The demonstration: kestrovan-host without --port and --indirect runs the driver in both modes
// against the built-in simulators, finishes by itself and sums up every step.

#include "TLHostProcess.h"
#include "TLTestMain.h"

#include <QRegularExpression>
#include <QTemporaryDir>

namespace {
// The demonstration takes about ten seconds; this only bounds a hang.
constexpr int DemoTimeoutMs = 120000;
} // namespace

class TestHostDemo : public QObject
{
    Q_OBJECT

private slots:
    void demoRunsBothModesAndSumsUp()
    {
        QTemporaryDir home;
        TLHostProcess host;
        host.process().setWorkingDirectory(home.path());
        QVERIFY(home.isValid() && host.start({}));
        QVERIFY2(host.finish(DemoTimeoutMs), "the demonstration did not finish");
        QCOMPARE(host.exitCode(), 0);
        // Each step is echoed ("> step") and answered on the next line; the summary repeats
        // every step with its answer.
        const QStringList lines = host.outputLines();
        QStringList results;
        for (int i = 0; i + 1 < lines.size(); ++i) {
            if (lines.at(i).startsWith(QLatin1String("> ")))
                results << lines.at(i).mid(2) + QLatin1String(" => ") + lines.at(i + 1);
        }
        for (const char *result :
             {"[simulator] hand switch: prepare and exposure => ok exposure completed",
              "last => ok kv=81 mas=12.5 ", "[host] alarm shown => ok Generatorfehler: 105 Röhrenüberlast",
              "last => ok kv=73 mas=16 ma=320 ms=50 dap=2.4"})
            QVERIFY2(!results.filter(QString::fromUtf8(result)).isEmpty(), result);
        QCOMPARE(lines.last(), QStringLiteral("all %1 steps succeeded").arg(results.size()));
        const int summary = lines.indexOf(QStringLiteral("== summary"));
        QCOMPARE(lines.mid(summary + 2, results.size()).filter(QRegularExpression(" ok( |$)")).size(),
                 results.size());
        QVERIFY(host.errorText().contains(QStringLiteral("ALARM Generatorfehler: 105\\n")));
    }
};

TL_TEST_MAIN(TestHostDemo)
#include "tst_hostdemo.moc"
