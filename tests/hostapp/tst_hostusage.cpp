// Bad usage of kestrovan-host: a clear message and status 2, or an error line and status 1,
// never a crash.

#include "TLHostProcess.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class tst_HostUsage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void badUsageStopsBeforeRunning_data();
    void badUsageStopsBeforeRunning();
    void badCommandsGiveErrorLines_data();
    void badCommandsGiveErrorLines();
    void warningIsNoFailure();
    void helpListsTheOptions();

private:
    QTemporaryDir folder;
};

void tst_HostUsage::initTestCase()
{
    QVERIFY(folder.isValid());
    QVERIFY(QFile::exists(TLHostProcess::program()));
}

void tst_HostUsage::badUsageStopsBeforeRunning_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");

    const QString dir = folder.path();
    const QString ini = folder.filePath(QStringLiteral("bad.ini"));
    QFile config(ini);
    if (config.open(QIODevice::WriteOnly))
        config.write("indirect=/tmp\nspeed=fast\n");

    QTest::newRow("unknown option") << QStringList({QStringLiteral("--bogus")})
                                    << QStringLiteral("Unknown option 'bogus'");
    QTest::newRow("both modes") << QStringList(
        {QStringLiteral("--port"), QStringLiteral("/dev/null"), QStringLiteral("--indirect"), dir})
                                << QStringLiteral("--port and --indirect exclude each other");
    QTest::newRow("log level") << QStringList(
        {QStringLiteral("--indirect"), dir, QStringLiteral("--log-level"), QStringLiteral("loud")})
                               << QStringLiteral("--log-level must be one of");
    QTest::newRow("detector answer") << QStringList(
        {QStringLiteral("--indirect"), dir, QStringLiteral("--detector-ready"), QStringLiteral("maybe")})
                                     << QStringLiteral("--detector-ready must be yes, no or a delay");
    QTest::newRow("negative window delay") << QStringList(
        {QStringLiteral("--indirect"), dir, QStringLiteral("--window-open"), QStringLiteral("-5")})
                                           << QStringLiteral("--window-open must be yes, no or a delay");
    QTest::newRow("two target codes") << QStringList(
        {QStringLiteral("--indirect"), dir, QStringLiteral("--target-codes"), QStringLiteral("1,2")})
                                      << QStringLiteral("--target-codes needs three numbers");
    QTest::newRow("target code too big") << QStringList(
        {QStringLiteral("--indirect"), dir, QStringLiteral("--target-codes"), QStringLiteral("1,2,256")})
                                         << QStringLiteral("--target-codes needs three numbers");
    QTest::newRow("missing plugin") << QStringList({QStringLiteral("--indirect"), dir,
                                                    QStringLiteral("--plugin"),
                                                    folder.filePath(QStringLiteral("none.so"))})
                                    << QStringLiteral("does not exist");
    QTest::newRow("not a driver") << QStringList({QStringLiteral("--indirect"), dir,
                                                  QStringLiteral("--plugin"),
                                                  QStringLiteral(KESTROVAN_TLCORE_LIBRARY)})
                                  << QStringLiteral("exports no \"driver\"");
    QTest::newRow("not a library") << QStringList(
        {QStringLiteral("--indirect"), dir, QStringLiteral("--plugin"), ini})
                                   << QStringLiteral("cannot load the driver library");
    QTest::newRow("unknown language") << QStringList(
        {QStringLiteral("--indirect"), dir, QStringLiteral("--language"), QStringLiteral("xx")})
                                      << QStringLiteral("no translation for language \"xx\"");
    QTest::newRow("missing script") << QStringList(
        {QStringLiteral("--indirect"), dir, folder.filePath(QStringLiteral("none.txt"))})
                                    << QStringLiteral("cannot read the script");
    QTest::newRow("script without a mode")
        << QStringList({QStringLiteral("-")}) << QStringLiteral("a script needs --port or --indirect");
    QTest::newRow("unknown key in the file")
        << QStringList({QStringLiteral("--config"), ini}) << QStringLiteral("unknown key \"speed\"");
    QTest::newRow("missing file") << QStringList(
        {QStringLiteral("--config"), folder.filePath(QStringLiteral("none.ini"))})
                                  << QStringLiteral("does not exist");
}

void tst_HostUsage::badUsageStopsBeforeRunning()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);

    TLHostProcess host;
    QVERIFY(host.run(arguments, "init\n"));
    QVERIFY(!host.crashed());
    QCOMPARE(host.exitCode(), 2);
    QVERIFY2(host.errorText().contains(message), qPrintable(host.errorText()));
    // Nothing ran: no result line.
    QCOMPARE(host.outputLines(), QStringList());
}

void tst_HostUsage::badCommandsGiveErrorLines_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QStringList>("lines");

    QTest::newRow("unknown command")
        << QByteArray("frobnicate\nget kv\n")
        << QStringList({QStringLiteral("error: unknown command \"frobnicate\" (help lists the commands)"),
                        QStringLiteral("ok 0")});
    QTest::newRow("value is no number")
        << QByteArray("set kv seventy\nset focus 1.5\nset ms 1e999\nget kv\n")
        << QStringList({QStringLiteral("error: kv needs a number, not \"seventy\""),
                        QStringLiteral("error: focus needs a whole number, not \"1.5\""),
                        QStringLiteral("error: ms needs a number, not \"1e999\""), QStringLiteral("ok 0")});
    QTest::newRow("unknown value name")
        << QByteArray("get speed\nset speed 3\n")
        << QStringList(
               {QStringLiteral(
                    "error: unknown value \"speed\" (one of kv mas ma ms density focus aec mode target)"),
                QStringLiteral(
                    "error: unknown value \"speed\" (one of kv mas ma ms density focus aec mode target)")});
    QTest::newRow("wrong argument counts")
        << QByteArray("set kv\nget\ninit now\nblock-queries maybe\nsleep\ndevice-state 9\n")
        << QStringList({QStringLiteral("error: usage: set NAME VALUE"),
                        QStringLiteral("error: usage: get NAME"), QStringLiteral("error: usage: init"),
                        QStringLiteral("error: usage: block-queries on|off"),
                        QStringLiteral("error: usage: sleep MS"),
                        QStringLiteral("error: device state 9 is none of 0..4")});
    QTest::newRow("stored values and quit")
        << QByteArray(
               "set kv 70.5\nset mode 2\nget kv\nget mode\ndevice-state 3\ndevice-state\nquit\nget kv\n")
        << QStringList({QStringLiteral("ok"), QStringLiteral("ok"), QStringLiteral("ok 70.5"),
                        QStringLiteral("ok 2"), QStringLiteral("ok"), QStringLiteral("ok 3"),
                        QStringLiteral("ok")});
}

void tst_HostUsage::badCommandsGiveErrorLines()
{
    QFETCH(QByteArray, script);
    QFETCH(QStringList, lines);

    // Indirect mode before init: the driver stores values and sends nothing, so these run fast.
    TLHostProcess host;
    QVERIFY(host.run({QStringLiteral("--indirect"), folder.path()}, script));
    QVERIFY(!host.crashed());
    QCOMPARE(host.outputLines(), lines);
    QCOMPARE(host.exitCode(), lines.filter(QStringLiteral("error:")).isEmpty() ? 0 : 1);
}

void tst_HostUsage::warningIsNoFailure()
{
    // A folder with two trigger files makes activate warn, not fail.
    QTemporaryDir exchange;
    QVERIFY(exchange.isValid());
    for (const char *name : {"A.trg", "B.trg"}) {
        QFile trigger(exchange.filePath(QLatin1String(name)));
        QVERIFY(trigger.open(QIODevice::WriteOnly));
    }
    TLHostProcess host;
    QVERIFY(host.run({QStringLiteral("--indirect"), exchange.path(), QStringLiteral("--procedure-code"),
                      QStringLiteral("X1"), QStringLiteral("--working-dir"), folder.path()},
                     "init\nactivate\n"));
    QCOMPARE(host.outputLines().value(1),
             QStringLiteral("warning: Im Kommunikationsverzeichnis sind mehrere Trigger-Dateien vorhanden.\\n"
                            "Bitte prüfen Sie das Verzeichnis. (%1)")
                 .arg(exchange.path()));
    QCOMPARE(host.exitCode(), 0);
}

void tst_HostUsage::helpListsTheOptions()
{
    TLHostProcess host;
    QVERIFY(host.run({QStringLiteral("--help")}));
    QCOMPARE(host.exitCode(), 0);
    const QString help = host.outputLines().join(QLatin1Char('\n'));
    for (const char *option :
         {"--port", "--indirect", "--target-codes", "--data-dir", "--device-folder", "--working-dir",
          "--procedure-code", "--locked", "--detector-ready", "--window-open", "--log-level", "--plugin",
          "--trace", "--language", "--config"})
        QVERIFY2(help.contains(QLatin1String(option)), option);
}

QTEST_GUILESS_MAIN(tst_HostUsage)
#include "tst_hostusage.moc"
