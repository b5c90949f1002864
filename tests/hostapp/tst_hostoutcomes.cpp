// kestrovan-host says what really happened: alarms while it waits for the next line, results
// that tell a value only stored from one sent, hints beside the driver's texts, and an end
// that says what it waits for and gives way to a second signal. Each run against the generator
// simulator on a pseudo-terminal, with a log file that must hold every result line.

#include "TLHostProcess.h"
#include "TLKestrovanGeneratorSimulator.h"
#include "TLTestMain.h"

#include <QRegularExpression>
#include <QTemporaryDir>

namespace {
// Ten times what the driver needs for a switch-on; a give-up alone takes 8 s.
constexpr int CommandTimeoutMs = 30000;

// What the test does to the running program after the first part of its script.
enum class Event { None, GeneratorError, GeneratorSilent, TerminateTwiceWhileBusy };
} // namespace
Q_DECLARE_METATYPE(Event)

class TestHostOutcomes : public QObject
{
    Q_OBJECT

    TLKestrovanGeneratorSimulator sim;
    QTemporaryDir data;

    void act(TLHostProcess &host, Event event)
    {
        if (event == Event::None)
            return;
        QVERIFY2(host.waitForLine(QStringLiteral("ok"), CommandTimeoutMs), qPrintable(host.errorText()));
        switch (event) {
        case Event::GeneratorError:
            sim.model().injectError("105");
            // Nothing more is written to the program until its alarm shows.
            QVERIFY2(host.waitForError(QStringLiteral("ALARM Generatorfehler: 105"), CommandTimeoutMs),
                     qPrintable(host.errorText()));
            break;
        case Event::GeneratorSilent:
            sim.line().dropAcknowledgements(-1);
            break;
        case Event::TerminateTwiceWhileBusy:
            QVERIFY(host.waitForError(QStringLiteral("waiting for the host device to leave state 1"),
                                      CommandTimeoutMs));
            host.process().terminate();
            QVERIFY(
                host.waitForError(QStringLiteral("stopping after the command at hand"), CommandTimeoutMs));
            host.process().terminate();
            break;
        case Event::None:
            break;
        }
    }

private slots:
    void initTestCase()
    {
        QFile catalogue(data.filePath(QStringLiteral("kestrovan/errors.csv")));
        QVERIFY(sim.start() && QDir(data.path()).mkpath(QStringLiteral("kestrovan"))
                && catalogue.open(QIODevice::WriteOnly));
        catalogue.write("Code;Beschreibung;Details;Typ\n105;Röhrenüberlast;Abkühlzeit abwarten.;Error");
    }

    void cleanup() { sim.line().dropAcknowledgements(0); }

    void resultsSayWhatHappened_data()
    {
        QTest::addColumn<QString>("port"); // empty: the simulator's
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<Event>("event");
        QTest::addColumn<QByteArray>("scriptAfter");
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<QString>("errorText"); // %1: the port
        QTest::addColumn<int>("exitCode");

        QTest::newRow("alarm before the next line")
            << QString() << QByteArray("init\n") << Event::GeneratorError << QByteArray("quit\n")
            << QStringList{"ok", "ok"} << "ALARM Generatorfehler: 105" << 0;
        const QString none = QStringLiteral("/dev/kestrovan-none");
        QTest::newRow("no such port")
            << none << QByteArray("init\nget kv\nset kv 90\nlast\ncommand version\n") << Event::None
            << QByteArray()
            << QStringList{QStringLiteral(
                               "error: Fehler beim Öffnen des COM-Ports %1 (No such file or directory); "
                               "the driver reported ERROR \"failed to switch on generator - com port error\"")
                               .arg(none),
                           "warning: kv 0 stored, not read: the generator is not switched on",
                           "warning: kv 90 stored, not sent: the generator is not switched on",
                           QStringLiteral(
                               "warning: no new exposure: kv=0 mas=0 ma=0 ms=0 dap=0; the driver reported "
                               "WARNING \"no reply for the last exposure's kV, mAs, mA, ms\""),
                           "warning: no version: the generator is not switched on"}
            << "hint: /dev/kestrovan-none does not exist" << 1;
        QTest::newRow("generator stops answering")
            << QString() << QByteArray("init\n") << Event::GeneratorSilent
            << QByteArray("set kv 90\nget kv\n")
            << QStringList{"ok",
                           QStringLiteral(
                               "warning: kv 90 not acknowledged: the generator stopped answering; the "
                               "driver reported ALARM \"Es trat ein Fehler bei der Kommunikation mit "
                               "dem Generator auf.\""),
                           QStringLiteral("warning: kv 0 stored, not read: the link to the generator is down "
                                          "(switchOn connects again)")}
            << "hint: the generator on %1 stopped answering" << 0;
        QTest::newRow("second SIGTERM while busy")
            << QString() << QByteArray("init\ndevice-state 1\nquit\n") << Event::TerminateTwiceWhileBusy
            << QByteArray() << QStringList{"ok", "ok", "ok"} << "ended at once" << 143;
    }
    void resultsSayWhatHappened()
    {
        QFETCH(QString, port);
        QFETCH(QByteArray, script);
        QFETCH(Event, event);
        QFETCH(QByteArray, scriptAfter);
        QFETCH(QStringList, lines);
        QFETCH(QString, errorText);
        QFETCH(int, exitCode);
        if (port.isEmpty())
            port = sim.slavePath();
        const QString log = data.filePath(QStringLiteral("host.log"));
        TLHostProcess host;
        QVERIFY(
            host.start({"--port", port, "--data-dir", data.path(), "--log-file", log, "-"}, script, true));
        act(host, event);
        host.write(scriptAfter);
        host.closeInput();
        QVERIFY(host.finish());

        QVERIFY(!host.crashed());
        QCOMPARE(host.outputLines(), lines);
        QCOMPARE(host.exitCode(), exitCode);
        QVERIFY2(host.errorText().contains(QString(errorText).replace(QLatin1String("%1"), port)),
                 qPrintable(host.errorText()));
        // Every result is stamped, and the log file holds it.
        QFile file(log);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString logText = QString::fromUtf8(file.readAll());
        for (const QString &line : host.outputLines(true)) {
            QVERIFY2(
                QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{6} "))
                    .match(line)
                    .hasMatch(),
                qPrintable(line));
            QVERIFY2(logText.contains(line), qPrintable(line));
        }
    }
};

TL_TEST_MAIN(TestHostOutcomes)
#include "tst_hostoutcomes.moc"
