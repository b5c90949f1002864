// kestrovan-host used wrongly: status 2 and a message before anything runs, or error lines for
// bad commands; never a crash.

#include "TLHostProcess.h"
#include "TLTestMain.h"

#include <QRegularExpression>
#include <QTemporaryDir>

class TestHostUsage : public QObject
{
    Q_OBJECT

    QTemporaryDir folder;
    QString file(const char *name) const { return folder.filePath(QLatin1String(name)); }
    QString writeConfig(const QByteArray &content) const
    {
        QFile config(file("host.ini"));
        return config.open(QIODevice::WriteOnly) && config.write(content) == content.size()
                   ? config.fileName()
                   : QString();
    }

private slots:
    void badUsageStopsBeforeRunning_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");
        const QString dir = folder.path();
        const auto row = [](const char *name, const QStringList &arguments, const char *message) {
            QTest::newRow(name) << arguments << QString(message);
        };
        row("unknown option", {"--bogus"}, "Unknown option 'bogus'");
        row("both modes", {"--port", "/dev/null", "--indirect", dir},
            "--port and --indirect exclude each other");
        row("log level", {"--indirect", dir, "--log-level", "loud"}, "--log-level must be one of");
        row("negative delay", {"--indirect", dir, "--window-open", "-5"},
            "--window-open must be yes, no or a delay");
        row("two target codes", {"--indirect", dir, "--target-codes", "1,2"},
            "--target-codes needs three numbers");
        row("option twice", {"--indirect", dir, "--indirect", dir}, "--indirect given more than once");
        row("missing plugin", {"--indirect", dir, "--plugin", file("none.so")}, "does not exist");
        row("not a driver", {"--indirect", dir, "--plugin", KESTROVAN_TLCORE_LIBRARY},
            "exports no \"driver\"");
        row("not a library", {"--indirect", dir, "--plugin", file("host.ini")},
            "cannot load the driver library");
        row("unknown language", {"--indirect", dir, "--language", "xx"},
            "no translation for language \"xx\"");
        row("missing script", {"--indirect", dir, file("none.txt")}, "cannot read the script");
        row("script without a mode", {"-"}, "a script needs --port or --indirect");
        row("unknown key in the file", {"--config", writeConfig("indirect=/tmp\nspeed=fast\n")},
            "unknown key \"speed\"");
        row("missing file", {"--config", file("none.ini")}, "does not exist");
        row("folder that is a file", {"--indirect", file("host.ini")}, "is a file, not a folder");
        row("log file in no folder", {"--indirect", dir, "--log-file", file("none/host.log")},
            "cannot write the log file");
    }
    void badUsageStopsBeforeRunning()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        TLHostProcess host;
        QVERIFY(host.run(arguments, "init\n"));
        QVERIFY(!host.crashed());
        QCOMPARE(host.exitCode(), 2);
        QVERIFY2(host.errorText().contains(message), qPrintable(host.errorText()));
        QCOMPARE(host.outputLines(), QStringList()); // nothing ran
    }

    void badCommandsGiveErrorLines_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QStringList>("lines");
        // Indirect mode never talks to the generator.
        const QString indirect = QStringLiteral("in indirect mode the console software sets the generator");
        QTest::newRow("unknown command and value")
            << QByteArray("frobnicate\nget speed\nget kv\n")
            << QStringList{
                   "error: unknown command \"frobnicate\" (help lists the commands)",
                   "error: unknown value \"speed\" (one of kv mas ma ms density focus aec mode target)",
                   "warning: kv 0 stored, not read: " + indirect};
        const QByteArray wrong(
            "set kv seventy\nset focus 1.5\nset ms 1e999\nset kv\nblock-queries maybe\ndevice-state 9\n");
        QTest::newRow("no numbers, wrong arguments")
            << wrong << QStringList{"error: kv needs a number, not \"seventy\"",
                                    "error: focus needs a whole number, not \"1.5\"",
                                    "error: ms needs a number, not \"1e999\"",
                                    "error: usage: set NAME VALUE",
                                    "error: usage: block-queries on|off",
                                    "error: device state 9 is none of 0..4"};
        QTest::newRow("stored values, then quit")
            << QByteArray(
                   "set kv 70.5\nset mode 2\nget kv\nget mode\ndevice-state 3\ndevice-state\nquit\nget kv\n")
            << QStringList{"warning: kv 70.5 stored, not sent: " + indirect,
                           "warning: mode 2 stored, not sent: " + indirect,
                           "warning: kv 70.5 stored, not read: " + indirect,
                           "warning: mode 2 stored, not read: " + indirect,
                           "ok",
                           "ok 3",
                           "ok"};
    }
    void badCommandsGiveErrorLines()
    {
        QFETCH(QByteArray, script);
        QFETCH(QStringList, lines);
        // Indirect mode before init: the driver stores values and sends nothing.
        TLHostProcess host;
        QVERIFY(host.run({QStringLiteral("--indirect"), folder.path()}, script));
        QVERIFY(!host.crashed());
        QCOMPARE(host.outputLines(), lines);
        QCOMPARE(host.exitCode(), lines.filter(QStringLiteral("error:")).isEmpty() ? 0 : 1);
    }

    // The program's version and the plug-in's (a plug-in too old to tell says "unknown").
    void versionNamesTheDriver_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("driverLine"); // a pattern; empty: no such line
        QTest::addColumn<int>("exitCode");
        QTest::newRow("the built driver")
            << QStringList{"--version"}
            << "^driver (\\d+\\.\\d+\\.\\d+\\S*|unknown) \\(.*kestrovandriver.*\\)$" << 0;
        QTest::newRow("no driver") << QStringList{"--version", "--plugin", KESTROVAN_TLCORE_LIBRARY}
                                   << QString() << 1;
    }
    void versionNamesTheDriver()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, driverLine);
        QFETCH(int, exitCode);
        TLHostProcess host;
        QVERIFY(host.run(arguments));
        QCOMPARE(host.exitCode(), exitCode);
        const QStringList lines = host.outputLines();
        QCOMPARE(lines.size(), driverLine.isEmpty() ? 1 : 2);
        QVERIFY(lines.first().startsWith(QLatin1String("kestrovan-host ")));
        if (!driverLine.isEmpty())
            QVERIFY2(QRegularExpression(driverLine).match(lines.last()).hasMatch(), qPrintable(lines.last()));
    }
};

TL_TEST_MAIN(TestHostUsage)
#include "tst_hostusage.moc"
