#include "TLGeneratorConfigData.h"
#include "TLGeneratorDriverKestrovan.h"
#include "TLHostSystemSettings.h"
#include "TLKestrovanConsoleSimulator.h"
#include "TLKestrovanIndirectCommunicator.h"
#include "TLTestMain.h"

#include <QDir>
#include <QTemporaryDir>

#include <thread>

namespace {
// The console software writes its trigger file this long into the driver's wait.
constexpr int ConsoleWritesAfterMs = 200;

// The values at that nesting level, the root element <r> counted as the first.
QByteArray nested(int levels, const QByteArray &open, const QByteArray &close)
{
    return "<r>" + open.repeated(levels - 2) + "<kv>70</kv><ma>250</ma>" + close.repeated(levels - 2)
           + "</r>";
}
} // namespace

// Indirect mode: the parameter file, the trigger files and the exposure report in the console
// software's folder, through the communicator and through the driver.
class TestIndirect : public QObject
{
    Q_OBJECT

    QTemporaryDir folder, work;
    TLKestrovanIndirectCommunicator link;

    QString in(const QString &name) const { return folder.filePath(name); }
    static void put(const QString &path, const QByteArray &bytes)
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }
    static QByteArray read(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }
    TLHostApplication *host() const { return TLHostApplication::host(); }

private slots:
    void init()
    {
        for (const QString &name :
             QDir(folder.path()).entryList(QDir::Files | QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot))
            QVERIFY(QFileInfo(in(name)).isDir() ? QDir(in(name)).removeRecursively()
                                                : QFile::remove(in(name)));
        host()->systemSettings().setWorkingDirectory(work.path());
        host()->clearRecords();
        QVERIFY(link.init(folder.path()).isSuccess());
    }

    void initFails_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("line");
        QTest::newRow("empty") << ""
                               << "Es ist kein Kommunikationsverzeichnis angegeben."
                               << "communication path not set";
        QTest::newRow("missing") << "/nonexistent/kv"
                                 << "Das Kommunikationsverzeichnis existiert nicht."
                                 << "communication path does not exist (/nonexistent/kv)";
        QTest::newRow("a file") << "/etc/hostname"
                                << "Das Kommunikationsverzeichnis existiert nicht."
                                << "communication path does not exist (/etc/hostname)";
    }
    void initFails()
    {
        QFETCH(QString, path);
        QFETCH(QString, text);
        QFETCH(QString, line);
        host()->clearRecords();
        TLKestrovanIndirectCommunicator other;
        const TLCondition result = other.init(path);
        QVERIFY(result.isError());
        QCOMPARE(result.text(), text);
        QCOMPARE(result.details(), path);
        QCOMPARE(host()->countLog(line), 1);
    }

    void activate()
    {
        put(in("EDVRAD.par"), "old");
        QVERIFY(link.activate(QStringLiteral("ab\u20ac9")).isSuccess());
        // Latin-1 with "?" for what it cannot hold, nothing else; made in the working directory.
        QCOMPARE(read(in("EDVRAD.par")), QByteArray("RADID=ab?9"));
        QCOMPARE(read(work.filePath("EDVRAD.par")), QByteArray("RADID=ab?9"));
        QCOMPARE(host()->countLog("creating parameter file successful (" + work.filePath("EDVRAD.par") + ")"),
                 1);
        QCOMPARE(host()->countLog("copy file EDVRAD.par successful (" + in("EDVRAD.par") + ")"), 1);
        QCOMPARE(host()->countLog(QStringLiteral("current trigger file: ")), 1);
        // An empty code writes nothing and is only a warning.
        const TLCondition empty = link.activate(QString());
        QVERIFY(empty.isWarning());
        QCOMPARE(
            empty.text(),
            QStringLiteral("Der Procedure Code für den Generator fehlt.\n"
                           "Bitte nehmen Sie die Einstellungen am Bedienpult des Generators manuell vor."));
        QCOMPARE(host()->countLog(QStringLiteral("no procedure code")), 1);
        QCOMPARE(read(in("EDVRAD.par")), QByteArray("RADID=ab?9"));
        // Two trigger files, whatever the case of their extension: a warning naming both.
        put(in("b.TRG"), "");
        put(in("a.trg"), "");
        const TLCondition two = link.activate(QStringLiteral("X1"));
        QVERIFY(two.isWarning());
        QCOMPARE(two.details(), folder.path());
        QCOMPARE(host()->countLog("more than one trigger files in folder (a.trg;b.TRG)"), 1);
        QVERIFY(QFile::remove(in("b.TRG")));
        QVERIFY(link.activate(QStringLiteral("X1")).isSuccess());
        QCOMPARE(host()->countLog(QStringLiteral("current trigger file: a.trg")), 1);
        // The working directory cannot take the file; then the folder vanished.
        host()->systemSettings().setWorkingDirectory(work.filePath("absent"));
        const TLCondition unwritable = link.activate(QStringLiteral("X2"));
        QCOMPARE(unwritable.text(), QStringLiteral("Fehler bei der Erstellung der Parameterdatei."));
        QCOMPARE(unwritable.details(), work.filePath("absent/EDVRAD.par"));
        host()->systemSettings().setWorkingDirectory(work.path());
        TLKestrovanIndirectCommunicator gone;
        QVERIFY(gone.init(in("sub")).isError());
        QVERIFY(gone.activate(QStringLiteral("X3")).isError());
    }

    void triggerFiles()
    {
        for (const char *name : {"b.trg", "B.trg", "a.TrG", ".hidden.trg", "c.trg.bak", "note.txt"})
            put(in(name), "");
        QDir(folder.path()).mkdir(QStringLiteral("dir.trg"));
        QCOMPARE(link.triggerFiles(), (QStringList{"B.trg", "a.TrG", "b.trg"}));
        QCOMPARE(link.firstTriggerFile(), QStringLiteral("B.trg"));
    }

    void waitForNewTriggerFile()
    {
        put(in("b.trg"), "");
        QVERIFY(link.activate(QStringLiteral("1")).isSuccess());
        // A name sorting after the remembered one changes nothing: false after the time.
        put(in("c.trg"), "");
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!link.waitForNewTriggerFile(500));
        QVERIFY(timer.elapsed() > 500);
        QCOMPARE(host()->countLog(QStringLiteral("no new trigger file found")), 1);
        // One that appears meanwhile and sorts first ends the wait.
        std::thread console([this] {
            std::this_thread::sleep_for(std::chrono::milliseconds(ConsoleWritesAfterMs));
            put(in("a.trg"), "");
        });
        const bool found = link.waitForNewTriggerFile(3000);
        console.join();
        QVERIFY(found);
        QCOMPARE(host()->countLog(QStringLiteral("found new trigger file: a.trg")), 1);
        // A folder that holds none any more counts as changed, also on a second wait.
        for (const char *name : {"a.trg", "b.trg", "c.trg"})
            QFile::remove(in(name));
        QVERIFY(link.waitForNewTriggerFile(100));
        QVERIFY(link.waitForNewTriggerFile(100));
        QCOMPARE(host()->countLog(QStringLiteral("found new trigger file: ")), 2);
    }

    // What the console software really writes, and the few files that are refused because they
    // would cost the host its stack, time or memory.
    void report_data()
    {
        QTest::addColumn<QByteArray>("xml");
        QTest::addColumn<QList<double>>("values"); // kV, mAs, mA, ms, dose (0: unset)
        QTest::addColumn<QString>("line");
        const QString ok = QStringLiteral("reading file GEN50RFT_A.xml successful");
        const QString refused = QStringLiteral("failed to process the file GEN50RFT_A.xml");
        const QList<double> none{0, 0, 0, 0, 0}, kvAndMa{70, 0, 250, 0, 0};
        QTest::newRow("all five") << QByteArray(
            "<r><kv>70</kv><mAs>12.5</mAs><ma>250</ma><ms>50</ms><mGy_cm2>2.5</mGy_cm2></r>")
                                  << QList<double>{70, 12.5, 250, 50, 2.5} << ok;
        QTest::newRow("first in document order, at any depth; white space")
            << QByteArray("<r><a><b><kv> 81 </kv></b></a><kv>90</kv><x:ms>1</x:ms><mGy_cm2>0</mGy_cm2></r>")
            << QList<double>{81, 0, 0, 0, 0} << ok;
        QTest::newRow("case and comma") << QByteArray("<r><mA>250</mA><mAs>12,5</mAs></r>") << none << ok;
        QTest::newRow("not well-formed") << QByteArray("<r><kv>70</kv>") << none << refused;
        QTest::newRow("missing") << QByteArray() << none << "failed to open the file GEN50RFT_A.xml";
        QTest::newRow("DOCTYPE without internal subset") << QByteArray(
            "<?xml version=\"1.0\"?>\n<!DOCTYPE report>\n<report><kv>70</kv><ma>250</ma></report>")
                                                         << kvAndMa << ok;
        QTest::newRow("Latin-1 bytes without an encoding declaration")
            << QByteArray("<report><!-- R\xe4ntgen --><name>M\xfcller</name><kv>70</kv><ma>250</ma></report>")
            << kvAndMa << ok;
        QTest::newRow("undeclared entity")
            << QByteArray("<report><name>a&nbsp;b</name><kv>70</kv><ma>250</ma></report>") << kvAndMa << ok;
        QTest::newRow("version 1.1") << QByteArray(
            "<?xml version=\"1.1\"?><report><kv>70</kv><ma>250</ma></report>")
                                     << kvAndMa << ok;
        QTest::newRow("duplicate attributes")
            << QByteArray("<report a=\"1\" a=\"2\"><kv u=\"kV\" u=\"V\">70</kv><ma>250</ma></report>")
            << kvAndMa << ok;
        QTest::newRow("unknown encoding name") << QByteArray(
            "<?xml version=\"1.0\" encoding=\"x-console\"?><report><kv>70</kv><ma>250</ma></report>")
                                               << kvAndMa << ok;
        QTest::newRow("internal subset without entities")
            << QByteArray("<!DOCTYPE r [<!-- <!ENTITY x 'y'> it's --><!ATTLIST r a CDATA \"x>]y\">]>"
                          "<r><kv>70</kv><ma>250</ma></r>")
            << kvAndMa << ok;
        // Tags in comments, CDATA sections and processing instructions do not count...
        QTest::newRow("256 levels") << nested(256, "<n><!-- <x> --><![CDATA[<y>]]><?p <z>?>", "</n>")
                                    << kvAndMa << ok;
        // ... and a "/>" in a quoted value does not close the element.
        QTest::newRow("257 levels") << nested(257, "<n a='/>'>", "</n >") << none << refused;
        QTest::newRow("deep nesting in UTF-7")
            << "<?xml version=\"1.0\" encoding=\"UTF-7\"?>" + nested(300, "+ADw-n+AD4-", "+ADw-/n+AD4-")
            << none << refused;
        // "<!--->" does not end the comment: the quote after it must not hide the nesting.
        QTest::newRow("deep nesting after a comment that starts with a dash")
            << "<!---><x a=\" -->" + nested(300, "<n>", "</n>") << none << refused;
        QTest::newRow("entity declaration")
            << QByteArray("<!DOCTYPE r [<!ENTITY v \"70\">]><r><kv>&v;</kv><ma>250</ma></r>") << none
            << refused;
        const QByteArray head = "<r><kv>70</kv><ma>250</ma>", tail = "</r>";
        QTest::newRow("1 MiB exactly")
            << head + QByteArray(1024 * 1024 - head.size() - tail.size(), ' ') + tail << kvAndMa << ok;
        QTest::newRow("more than 1 MiB") << head + QByteArray(1024 * 1024, ' ') + tail << none << refused;
    }
    void report()
    {
        QFETCH(QByteArray, xml);
        QFETCH(QList<double>, values);
        QFETCH(QString, line);
        if (!xml.isEmpty())
            put(in("GEN50RFT_A.xml"), xml);
        host()->clearRecords();
        const TLGeneratorSettings s = link.readExposureReport();
        QCOMPARE((QList<double>{s.kV, s.mAs, s.mA, s.ms,
                                s.dap.isSet() ? double(s.dap.value(DAPValueUnit::mGy_cm2)) : 0.0}),
                 values);
        QCOMPARE(host()->logTexts(), QStringList{line});
    }

    // An empty folder text names the current directory, as QDir takes it.
    void emptyFolderListsTheCurrentDirectory()
    {
        QTemporaryDir current;
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(current.path()));
        QFile trigger(QStringLiteral("x.trg"));
        QVERIFY(trigger.open(QIODevice::WriteOnly));
        TLKestrovanIndirectCommunicator communicator;
        QVERIFY(communicator.init(QString()).isError());
        const QStringList listed = communicator.triggerFiles();
        QVERIFY(QDir::setCurrent(previous));
        QCOMPARE(listed, QStringList(QStringLiteral("x.trg")));
    }

    void driverAgainstTheConsole()
    {
        TLGeneratorDriverKestrovan driver;
        driver.setDirectConnection(false);
        TLGeneratorSettings settings;
        QVERIFY(driver.activateForAcqusition().isError());
        QVERIFY(driver.lastExposureSettings(settings).isError());
        QSharedPointer<TLGeneratorConfigData> config(new TLGeneratorConfigData);
        config->communicationFolder = folder.path();
        driver.setDeviceConfig(config);
        driver.setProcedureCodes(TLProcedureCodes(QString(), QStringLiteral("K42")));
        QVERIFY(driver.initGenerator().isSuccess());
        QVERIFY(driver.hasIndirectCommunicator());
        driver.setKV(77);
        QCOMPARE(driver.kV(), 77.0);
        TLKestrovanConsoleSimulator console;
        console.setExposure(70, 12.5, 250, 50, 1.8);
        QVERIFY(console.start(folder.path()));
        // No report for the parameter file already there; the new one makes an exposure.
        QVERIFY(driver.activateForAcqusition().isSuccess());
        QCOMPARE(host()->countLog(QStringLiteral(
                     "activate generator for acquisition in indirect connection mode (code: K42)")),
                 1);
        QVERIFY(driver.lastExposureSettings(settings).isSuccess());
        QCOMPARE(console.lastProcedureCode(), QStringLiteral("K42"));
        QCOMPARE(settings.kV, 70.0);
        QCOMPARE(settings.dap.value(DAPValueUnit::mGy_cm2), 1.8f);
        QCOMPARE(host()->countLog(QStringLiteral("query last exposure settings in indirect connection mode")),
                 2);
        // Without a new trigger file the report is not read, even though it is there.
        console.stop();
        QVERIFY(driver.activateForAcqusition().isSuccess());
        QVERIFY(driver.lastExposureSettings(settings).isSuccess());
        QCOMPARE(settings.kV, TLGeneratorSettings().kV);
    }
};

TL_TEST_MAIN(TestIndirect)
#include "tst_indirect.moc"
