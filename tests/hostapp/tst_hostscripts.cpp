// kestrovan-host running a script in each mode: direct against the generator simulator on a
// pseudo-terminal (with the wire trace), indirect against the console simulator in a folder.

#include "TLHostProcess.h"
#include "TLKestrovanConsoleSimulator.h"
#include "TLKestrovanGeneratorSimulator.h"
#include "TLTestMain.h"

#include <QTemporaryDir>

// Ten times what the driver needs for these steps.
constexpr int CommandTimeoutMs = 30000;
constexpr int ExposureTimeoutMs = 20000;

class TestHostScripts : public QObject
{
    Q_OBJECT

    TLKestrovanGeneratorSimulator sim;
    QTemporaryDir data; // the host's data folder, with the error catalogue

    QStringList directArguments() const
    {
        return {"--port", sim.slavePath(), "--data-dir", data.path(), "--log-level", "warning"};
    }

private slots:
    void initTestCase()
    {
        sim.model().setDapEnabled(true);
        sim.model().setVersion("V7.3");
        QFile catalogue(data.filePath(QStringLiteral("kestrovan/errors.csv")));
        QVERIFY(sim.start() && QDir(data.path()).mkpath(QStringLiteral("kestrovan"))
                && catalogue.open(QIODevice::WriteOnly));
        catalogue.write("Code;Beschreibung;Details;Typ\n105;Röhrenüberlast;Abkühlzeit abwarten.;Error");
    }

    void directScriptWithAnExposure()
    {
        TLHostProcess host;
        QVERIFY(host.start(directArguments(), "init\nset kv 81\nget kv\n", true));
        QVERIFY2(host.waitForLine(QStringLiteral("ok 81"), CommandTimeoutMs), qPrintable(host.errorText()));
        // The hand switch at the generator, while the program waits for its next command.
        QVERIFY(sim.sequence().runExposure());
        QVERIFY(sim.sequence().waitForExposureDone(ExposureTimeoutMs));
        QCOMPARE(sim.sequence().exposureOutcome(), TLKestrovanExposureSequence::Outcome::Completed);
        host.write("last\ncommand version\ncommand isDapEnabled\nlimits\nswitchOff\n");
        host.closeInput();
        QVERIFY(host.finish());
        QCOMPARE(
            host.outputLines(),
            (QStringList{"ok", "ok", "ok 81", "ok kv=81 mas=20 ma=200 ms=100 dap=2.5", "ok V7.3", "ok true",
                         "ok kv=40..150 mas=0.5..600 ma=1..800 ms=1..6000 density=-8..8", "ok"}));
        QCOMPARE(host.exitCode(), 0);
        QVERIFY(sim.line().countTelegramsFromDriver("on0") >= 1); // switched off on the line
    }

    void traceRecordsEveryByteBothWays()
    {
        const QString trace = data.filePath(QStringLiteral("line.trace"));
        sim.line().clearTranscript();
        TLHostProcess host;
        QVERIFY(host.run(directArguments() << QStringLiteral("--trace") << trace,
                         "init\nset kv 70\nswitchOff\n"));
        QCOMPARE(host.exitCode(), 0);
        sim.stop();
        QFile file(trace);
        QVERIFY(file.open(QIODevice::ReadOnly));
        // "<time> <offset> TX|RX <count> | <hex> | <text>", and "#" lines with events.
        QByteArray toPort;
        QByteArray fromPort;
        for (const QByteArray &line : file.readAll().split('\n')) {
            const QList<QByteArray> fields = line.split('|');
            if (!line.startsWith('#') && fields.size() >= 3)
                (fields.at(0).contains(" TX ") ? toPort : fromPort) += QByteArray::fromHex(fields.at(1));
        }
        QVERIFY(toPort.contains(TLKestrovanSimulatedLine::telegram("kv70")));
        QCOMPARE(toPort, sim.line().bytesFromDriver());
        QCOMPARE(fromPort, sim.line().bytesToDriver());
    }

    void indirectScript_data()
    {
        QTest::addColumn<QString>("folder"); // below the console's folder
        QTest::addColumn<QByteArray>("config");
        QTest::addColumn<QStringList>("lines"); // %1: the folder
        QTest::newRow("exposure at the console")
            << QString() << QByteArray()
            << QStringList{"ok", "ok", "ok kv=66 mas=8.5 ma=400 ms=21.25 dap=0.75"};
        // The file is read, and the command line wins over it.
        QTest::newRow("no folder, in English from the file")
            << "missing" << QByteArray("language=en\nindirect=/elsewhere\n")
            << QStringList{
                   "error: The communication folder does not exist. (%1); the driver reported ERROR "
                   "\"communication path does not exist (%1)\"",
                   "warning: The procedure code for the generator is missing.\\nPlease make the settings "
                   "manually at the generator's console.; the driver reported WARNING \"no procedure code\"",
                   "warning: no new exposure: kv=0 mas=0 ma=0 ms=0 dap=0; the driver reported WARNING \"no "
                   "new "
                   "trigger file found\""};
    }
    void indirectScript()
    {
        QFETCH(QString, folder);
        QFETCH(QByteArray, config);
        QFETCH(QStringList, lines);
        TLKestrovanConsoleSimulator console;
        console.setExposure(66.0, 8.5, 400.0, 21.25, 0.75);
        QVERIFY(console.start(data.path()));
        folder = data.filePath(folder);
        QStringList arguments{"--indirect", folder, "--working-dir", data.filePath("kestrovan")};
        QFile file(data.filePath(QStringLiteral("host.ini")));
        if (!config.isEmpty() && file.open(QIODevice::WriteOnly) && file.write(config) == config.size())
            arguments << QStringLiteral("--config") << file.fileName();
        else
            arguments << QStringLiteral("--procedure-code") << QStringLiteral("PA12");
        file.close();
        TLHostProcess host;
        QVERIFY(host.run(arguments, "init\nactivate\nlast\n"));
        QCOMPARE(host.outputLines(), lines.replaceInStrings(QStringLiteral("%1"), folder));
        QCOMPARE(host.exitCode(), lines.filter(QStringLiteral("error:")).isEmpty() ? 0 : 1);
        QCOMPARE(console.lastProcedureCode(), QString(config.isEmpty() ? "PA12" : ""));
    }
};

TL_TEST_MAIN(TestHostScripts)
#include "tst_hostscripts.moc"
