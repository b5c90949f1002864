#include "TLKestrovanConsoleSimulator.h"
#include "TLKestrovanIndirectCommunicator.h"

#include "TLFileSystemHelper.h"
#include "TLHostApplication.h"
#include "TLHostSystemSettings.h"

#include <QDir>
#include <QElapsedTimer>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <thread>

#include <sys/stat.h>

namespace {
const QString ParameterFile = QStringLiteral("EDVRAD.par");
const QString ReportFile = QStringLiteral("GEN50RFT_A.xml");
const QString EmptyCodeWarning =
    QStringLiteral("Der Procedure Code für den Generator fehlt.\n"
                   "Bitte nehmen Sie die Einstellungen am Bedienpult des Generators manuell vor.");
const QString SeveralTriggersWarning =
    QStringLiteral("Im Kommunikationsverzeichnis sind mehrere Trigger-Dateien vorhanden.\n"
                   "Bitte prüfen Sie das Verzeichnis.");
const QString ParameterFileError = QStringLiteral("Fehler bei der Erstellung der Parameterdatei.");
const QString ProcessFailure = QStringLiteral("ERROR failed to process the file GEN50RFT_A.xml");
const QString ReadSuccess = QStringLiteral("NOTICE reading file GEN50RFT_A.xml successful");

void writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    QCOMPARE(file.write(bytes), qint64(bytes.size()));
}

QByteArray readBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// The driver's log lines as "LEVEL text".
QStringList driverLog()
{
    QStringList lines;
    for (const TLHostApplication::LogRecord &record : TLHostApplication::host()->logRecords()) {
        if (record.category == QLatin1String("KESTROVAN"))
            lines << QString::fromLatin1(logLevelName(record.level)) + QLatin1Char(' ') + record.text;
    }
    return lines;
}

QString lastDriverLine()
{
    const QStringList lines = driverLog();
    return lines.isEmpty() ? QString() : lines.last();
}

QByteArray report(const QByteArray &body)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<report>" + body + "</report>\n";
}

// A document whose first bytes hold a complete exposure: only a guard before parsing can
// keep the reader from returning its values.
void writeLargeReport(const QString &path, qint64 minimumBytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("<report><kv>70</kv>");
    const QByteArray chunk = QByteArray("<x>1</x>").repeated(128 * 1024);
    while (file.size() < minimumBytes)
        QCOMPARE(file.write(chunk), qint64(chunk.size()));
    file.write("</report>");
}
} // namespace

// Without a host application there is no context: nothing may crash.
class TestIndirectCommunicatorWithoutHost : public QObject
{
    Q_OBJECT
private slots:
    void everyOperationFailsQuietly()
    {
        QTemporaryDir folder;
        TLKestrovanIndirectCommunicator communicator;
        QVERIFY(communicator.init(QString()).isError());
        QVERIFY(communicator.init(folder.path()).isSuccess());
        const TLCondition activated = communicator.activate(QStringLiteral("AB12"));
        QVERIFY(activated.isError());
        QCOMPARE(activated.text(), ParameterFileError);
        QVERIFY(!QFile::exists(folder.filePath(ParameterFile)));
        QVERIFY(!communicator.waitForNewTriggerFile(20));
        QVERIFY(communicator.readExposureReport() == TLGeneratorSettings());
    }
};

class TestIndirectCommunicator : public QObject
{
    Q_OBJECT
private:
    std::unique_ptr<QTemporaryDir> folder;  // the communication folder
    std::unique_ptr<QTemporaryDir> working; // the host's working directory
    std::unique_ptr<TLKestrovanIndirectCommunicator> communicator;

    QString inFolder(const QString &name) const { return folder->filePath(name); }
    void touch(const QString &name) { writeBytes(inFolder(name), QByteArray()); }
    // Activates with one given trigger file in the folder (or none).
    void activateWith(const QString &trigger)
    {
        if (!trigger.isEmpty())
            touch(trigger);
        QVERIFY(communicator->activate(QStringLiteral("CODE")).isSuccess());
        QCOMPARE(lastDriverLine(), QStringLiteral("INFO current trigger file: ") + trigger);
        TLHostApplication::host()->clearRecords();
    }

private slots:
    void init()
    {
        folder.reset(new QTemporaryDir);
        working.reset(new QTemporaryDir);
        QVERIFY(folder->isValid() && working->isValid());
        TLHostApplication::host()->systemSettings().setWorkingDirectory(working->path());
        communicator.reset(new TLKestrovanIndirectCommunicator);
        QVERIFY(communicator->init(folder->path()).isSuccess());
        TLHostApplication::host()->clearRecords();
    }

    // ---- init ----

    void initFails_data()
    {
        QTest::addColumn<QString>("which");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("logLine");
        QTest::newRow("empty text") << ""
                                    << "Es ist kein Kommunikationsverzeichnis angegeben."
                                    << "ERROR communication path not set";
        QTest::newRow("path of a file") << "file"
                                        << "Das Kommunikationsverzeichnis existiert nicht."
                                        << "ERROR communication path does not exist (%1)";
        QTest::newRow("missing folder") << "missing"
                                        << "Das Kommunikationsverzeichnis existiert nicht."
                                        << "ERROR communication path does not exist (%1)";
    }
    void initFails()
    {
        QFETCH(QString, which);
        QFETCH(QString, text);
        QFETCH(QString, logLine);
        QString path;
        if (which == QLatin1String("file")) {
            path = inFolder(QStringLiteral("plain.txt"));
            touch(QStringLiteral("plain.txt"));
        } else if (which == QLatin1String("missing")) {
            path = inFolder(QStringLiteral("no/such/folder"));
        }
        TLKestrovanIndirectCommunicator fresh;
        const TLCondition result = fresh.init(path);
        QVERIFY(result.isError());
        QCOMPARE(result.text(), text);
        QCOMPARE(result.details(), path);
        QCOMPARE(driverLog(),
                 QStringList(logLine.contains(QLatin1String("%1")) ? logLine.arg(path) : logLine));
    }

    void initKeepsAFolderThatAppearsLater()
    {
        const QString later = inFolder(QStringLiteral("later"));
        TLKestrovanIndirectCommunicator fresh;
        QVERIFY(fresh.init(later).isError());
        QVERIFY(QDir().mkpath(later));
        QVERIFY(fresh.activate(QStringLiteral("AB12")).isSuccess());
        QCOMPARE(readBytes(later + QStringLiteral("/EDVRAD.par")), QByteArray("RADID=AB12"));
    }

    // ---- parameter file ----

    void createParameterFile_data()
    {
        QTest::addColumn<QString>("code");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("four characters, ten bytes") << "AB12" << QByteArray("RADID=AB12");
        QTest::newRow("blank inside") << "A B" << QByteArray("RADID=A B");
        QTest::newRow("Latin-1 letter") << QStringLiteral("Ä1") << QByteArray("RADID=\xC4") + "1";
        QTest::newRow("euro sign") << QStringLiteral("€5") << QByteArray("RADID=?5");
        QTest::newRow("outside the BMP") << QString::fromUcs4(U"\U0001F600x") << QByteArray("RADID=?x");
    }
    void createParameterFile()
    {
        QFETCH(QString, code);
        QFETCH(QByteArray, bytes);
        const QString path = working->filePath(ParameterFile);
        writeBytes(path, "RADID=A MUCH LONGER OLD CODE\n");
        QVERIFY(communicator->createParameterFile(path, code).isSuccess());
        QCOMPARE(readBytes(path), bytes);
        QCOMPARE(driverLog(),
                 QStringList(QStringLiteral("NOTICE creating parameter file successful (%1)").arg(path)));
    }

    void activateWritesAndCopiesTheParameterFile()
    {
        touch(QStringLiteral("x.trg"));
        writeBytes(inFolder(ParameterFile), "RADID=OLD-AND-LONGER");
        QVERIFY(communicator->activate(QStringLiteral("AB12")).isSuccess());
        const QString local = working->filePath(ParameterFile);
        const QString target = inFolder(ParameterFile);
        QCOMPARE(readBytes(target), QByteArray("RADID=AB12"));
        QCOMPARE(readBytes(local), QByteArray("RADID=AB12"));
        QCOMPARE(driverLog(),
                 QStringList({QStringLiteral("NOTICE creating parameter file successful (%1)").arg(local),
                              QStringLiteral("NOTICE copy file EDVRAD.par successful (%1)").arg(target),
                              QStringLiteral("INFO current trigger file: x.trg")}));
    }

    void activateWithEmptyCodeWritesNothing()
    {
        activateWith(QStringLiteral("m.trg"));
        writeBytes(inFolder(ParameterFile), "RADID=EARLIER");
        QFile::remove(working->filePath(ParameterFile));
        touch(QStringLiteral("a.trg"));

        const TLCondition result = communicator->activate(QString());
        QVERIFY(result.isWarning());
        QCOMPARE(result.text(), EmptyCodeWarning);
        QCOMPARE(result.details(), QString());
        QCOMPARE(driverLog(), QStringList(QStringLiteral("WARNING no procedure code")));
        QCOMPARE(readBytes(inFolder(ParameterFile)), QByteArray("RADID=EARLIER"));
        QVERIFY(!QFile::exists(working->filePath(ParameterFile)));
        // Still "m.trg" remembered: the "a.trg" in front of it is new.
        QVERIFY(communicator->waitForNewTriggerFile(0));
    }

    void activateWithSeveralTriggerFiles_data()
    {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QString>("joined");
        QTest::newRow("extensions differ in case") << QStringList{"b.trg", "a.TRG"} << "a.TRG;b.trg";
        QTest::newRow("capitals sort first") << QStringList{"a.TRG", "B.trg"} << "B.trg;a.TRG";
        QTest::newRow("three") << QStringList{"t3.trg", "t1.trg", "t2.trg"} << "t1.trg;t2.trg;t3.trg";
    }
    void activateWithSeveralTriggerFiles()
    {
        QFETCH(QStringList, names);
        QFETCH(QString, joined);
        activateWith(QStringLiteral("zz.trg"));
        QFile::remove(inFolder(QStringLiteral("zz.trg")));
        for (const QString &name : names)
            touch(name);
        const TLCondition result = communicator->activate(QStringLiteral("AB12"));
        QVERIFY(result.isWarning());
        QCOMPARE(result.text(), SeveralTriggersWarning);
        QCOMPARE(result.details(), folder->path());
        QCOMPARE(lastDriverLine(),
                 QStringLiteral("WARNING more than one trigger files in folder (%1)").arg(joined));
        QCOMPARE(readBytes(inFolder(ParameterFile)), QByteArray("RADID=AB12"));
        // "zz.trg" is still the remembered one, so the first name now present is new.
        QVERIFY(communicator->waitForNewTriggerFile(0));
    }

    void activateWithUnwritableWorkingDirectory()
    {
        // Below a regular file nothing can be created, not even by root.
        writeBytes(working->filePath(QStringLiteral("file")), "x");
        const QString unusable = working->filePath(QStringLiteral("file/sub"));
        TLHostApplication::host()->systemSettings().setWorkingDirectory(unusable);
        const QString local = unusable + QStringLiteral("/EDVRAD.par");
        const TLCondition result = communicator->activate(QStringLiteral("AB12"));
        QVERIFY(result.isError());
        QCOMPARE(result.text(), ParameterFileError);
        QCOMPARE(result.details(), local);
        QCOMPARE(driverLog(), QStringList(QStringLiteral("ERROR failed to create file ") + local));
        QVERIFY(!QFile::exists(inFolder(ParameterFile)));
    }

    void activateAfterTheFolderVanished()
    {
        const QString path = folder->path();
        QVERIFY(QDir(path).removeRecursively());
        const TLCondition result = communicator->activate(QStringLiteral("AB12"));
        QVERIFY(result.isError());
        const QString local = working->filePath(ParameterFile);
        // Passed up exactly as the copy reported it, with no log line of our own.
        QVERIFY(result == TLFileSystemHelper::copyFile(local, path + QStringLiteral("/EDVRAD.par"), true));
        QCOMPARE(driverLog(),
                 QStringList(QStringLiteral("NOTICE creating parameter file successful (%1)").arg(local)));
    }

    // ---- trigger files ----

    void triggerFiles_data()
    {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QStringList>("folders");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("none") << QStringList() << QStringList() << QStringList();
        QTest::newRow("case-sensitive name order")
            << QStringList{"b.trg", "a.trg", "B.trg", "A.trg"} << QStringList()
            << QStringList{"A.trg", "B.trg", "a.trg", "b.trg"};
        QTest::newRow("extension in any case") << QStringList{"z.trg", "x.TRG", "y.Trg"} << QStringList()
                                               << QStringList{"x.TRG", "y.Trg", "z.trg"};
        QTest::newRow("similar names do not match")
            << QStringList{"a.trg.bak", "a.trgx", "atrg", "a.tr", "a.trg~", "ok.trg"} << QStringList()
            << QStringList{"ok.trg"};
        QTest::newRow("hidden files and folders do not count")
            << QStringList{".hidden.trg", ".trg"} << QStringList{"folder.trg"} << QStringList();
        QTest::newRow("blanks and non-ASCII letters")
            << QStringList{QStringLiteral("Ärger.trg"), "zebra.trg", "my trigger.trg", " lead.trg",
                           QStringLiteral("été.trg")}
            << QStringList()
            << QStringList{" lead.trg", "my trigger.trg", "zebra.trg", QStringLiteral("Ärger.trg"),
                           QStringLiteral("été.trg")};
    }
    void triggerFiles()
    {
        QFETCH(QStringList, files);
        QFETCH(QStringList, folders);
        QFETCH(QStringList, expected);
        for (const QString &name : files)
            touch(name);
        for (const QString &name : folders)
            QVERIFY(QDir(folder->path()).mkdir(name));
        QCOMPARE(communicator->triggerFiles(), expected);
        QCOMPARE(communicator->firstTriggerFile(), expected.value(0));
    }

    void triggerFilesOfAMissingFolder()
    {
        TLKestrovanIndirectCommunicator fresh;
        fresh.init(inFolder(QStringLiteral("missing")));
        QCOMPARE(fresh.triggerFiles(), QStringList());
        QCOMPARE(fresh.firstTriggerFile(), QString());
    }

    void triggerFileAmongTenThousandOthers()
    {
        for (int i = 0; i < 10000; ++i)
            touch(QStringLiteral("image_%1.dat").arg(i, 5, 10, QLatin1Char('0')));
        activateWith(QStringLiteral("x.trg"));
        QCOMPARE(communicator->triggerFiles(), QStringList(QStringLiteral("x.trg")));
        QVERIFY(!communicator->waitForNewTriggerFile(100));
        touch(QStringLiteral("a.trg"));
        QVERIFY(communicator->waitForNewTriggerFile(3000));
        QCOMPARE(lastDriverLine(), QStringLiteral("INFO found new trigger file: a.trg"));
    }

    // ---- waiting for a new trigger file ----

    void waitEndsTrue_data()
    {
        QTest::addColumn<QString>("remembered");
        QTest::addColumn<QString>("change"); // "create NAME", "remove NAME", "rename OLD NEW"
        QTest::addColumn<QString>("found");
        QTest::newRow("none remembered, one created") << ""
                                                      << "create n.trg"
                                                      << "n.trg";
        QTest::newRow("new one sorts first") << "m.trg"
                                             << "create a.trg"
                                             << "a.trg";
        QTest::newRow("remembered one vanished") << "m.trg"
                                                 << "remove m.trg"
                                                 << "";
        QTest::newRow("only the case changed") << "a.trg"
                                               << "rename a.trg A.trg"
                                               << "A.trg";
    }
    void waitEndsTrue()
    {
        QFETCH(QString, remembered);
        QFETCH(QString, change);
        QFETCH(QString, found);
        activateWith(remembered);
        const QStringList step = change.split(QLatin1Char(' '));
        if (step[0] == QLatin1String("create"))
            touch(step[1]);
        else if (step[0] == QLatin1String("remove"))
            QVERIFY(QFile::remove(inFolder(step[1])));
        else
            QVERIFY(QFile::rename(inFolder(step[1]), inFolder(step[2])));
        // Twice: the wait does not change what activation remembered.
        for (int i = 0; i < 2; ++i) {
            QVERIFY(communicator->waitForNewTriggerFile(3000));
            QCOMPARE(lastDriverLine(), QStringLiteral("INFO found new trigger file: ") + found);
        }
    }

    void waitSeesATriggerFileThatAppearsMeanwhile()
    {
        activateWith(QStringLiteral("m.trg"));
        std::thread console([this] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            QSaveFile file(inFolder(QStringLiteral("a.trg")));
            if (file.open(QIODevice::WriteOnly))
                file.commit();
        });
        const bool found = communicator->waitForNewTriggerFile(10000);
        console.join();
        QVERIFY(found);
        QCOMPARE(lastDriverLine(), QStringLiteral("INFO found new trigger file: a.trg"));
    }

    void waitSeesTheFolderVanishMeanwhile()
    {
        activateWith(QStringLiteral("m.trg"));
        const QString path = folder->path();
        std::thread console([path] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            QDir(path).removeRecursively();
        });
        const bool found = communicator->waitForNewTriggerFile(10000);
        console.join();
        QVERIFY(found);
        QCOMPARE(lastDriverLine(), QStringLiteral("INFO found new trigger file: "));
    }

    void waitEndsFalse_data()
    {
        QTest::addColumn<QString>("remembered");
        QTest::addColumn<QString>("later");
        QTest::newRow("new one sorts after the remembered one") << "b.trg"
                                                                << "c.trg";
        QTest::newRow("nothing ever there") << ""
                                            << "";
    }
    void waitEndsFalse()
    {
        QFETCH(QString, remembered);
        QFETCH(QString, later);
        activateWith(remembered);
        if (!later.isEmpty())
            touch(later);
        constexpr qint32 TimeoutMs = 300;
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!communicator->waitForNewTriggerFile(TimeoutMs));
        QVERIFY(timer.elapsed() >= TimeoutMs);
        QCOMPARE(driverLog(), QStringList(QStringLiteral("WARNING no new trigger file found")));
    }

    // ---- exposure report ----

    void readExposureReport_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<double>("kV");
        QTest::addColumn<double>("mAs");
        QTest::addColumn<double>("mA");
        QTest::addColumn<double>("ms");
        QTest::addColumn<float>("dap"); // 0: unset
        QTest::addColumn<QString>("logLine");

        QTest::newRow("five values below the root")
            << report("<kv>70</kv><mAs>12.5</mAs><ma>250</ma><ms>50</ms><mGy_cm2>1.8</mGy_cm2>") << 70.0
            << 12.5 << 250.0 << 50.0 << 1.8f << ReadSuccess;
        QTest::newRow("any depth, scattered")
            << report("<a><b><c><ms>50</ms></c></b><mAs>12.5</mAs></a><d><e><f><g><kv>70</kv></g></f></e></d>"
                      "<h><ma>250</ma><i><mGy_cm2>1.8</mGy_cm2></i></h>")
            << 70.0 << 12.5 << 250.0 << 50.0 << 1.8f << ReadSuccess;
        QTest::newRow("first in document order lies deeper")
            << report("<a><b><kv>81</kv></b></a><kv>60</kv>") << 81.0 << 0.0 << 0.0 << 0.0 << 0.0f
            << ReadSuccess;
        QTest::newRow("first in document order lies higher")
            << report("<kv>60</kv><a><b><kv>81</kv></b></a>") << 60.0 << 0.0 << 0.0 << 0.0 << 0.0f
            << ReadSuccess;
        QTest::newRow("tags differing in case are not found")
            << report("<KV>70</KV><mas>12.5</mas><mA>250</mA><MS>50</MS><mgy_cm2>1.8</mgy_cm2>") << 0.0 << 0.0
            << 0.0 << 0.0 << 0.0f << ReadSuccess;
        QTest::newRow("prefixed tags are not found")
            << report("<g:kv xmlns:g=\"urn:g\">70</g:kv><g:ma xmlns:g=\"urn:g\">250</g:ma>") << 0.0 << 0.0
            << 0.0 << 0.0 << 0.0f << ReadSuccess;
        QTest::newRow("undeclared prefix is no reason to refuse")
            << report("<x:kv>1</x:kv><kv>70</kv>") << 70.0 << 0.0 << 0.0 << 0.0 << 0.0f << ReadSuccess;
        QTest::newRow("the root itself does not count")
            << QByteArray("<kv>70</kv>") << 0.0 << 0.0 << 0.0 << 0.0 << 0.0f << ReadSuccess;
        QTest::newRow("decimal comma reads as 0")
            << report("<kv>70,5</kv><mAs>12,5</mAs><mGy_cm2>1,8</mGy_cm2>") << 0.0 << 0.0 << 0.0 << 0.0
            << 0.0f << ReadSuccess;
        QTest::newRow("white space, exponent, nested text")
            << report("<kv>\n  70 \t</kv><mAs>1.25e1</mAs><ma>2<u>5</u>0</ma><ms>fifty</ms>") << 70.0 << 12.5
            << 250.0 << 0.0 << 0.0f << ReadSuccess;
        QTest::newRow("dose 0 leaves it unset")
            << report("<kv>70</kv><mGy_cm2>0</mGy_cm2>") << 70.0 << 0.0 << 0.0 << 0.0 << 0.0f << ReadSuccess;
        QTest::newRow("negative dose leaves it unset") << report("<kv>70</kv><mGy_cm2>-1.5</mGy_cm2>") << 70.0
                                                       << 0.0 << 0.0 << 0.0 << 0.0f << ReadSuccess;
        QTest::newRow("small positive dose is set")
            << report("<mGy_cm2>0.004</mGy_cm2>") << 0.0 << 0.0 << 0.0 << 0.0 << 0.004f << ReadSuccess;
        QTest::newRow("UTF-16 with byte order mark")
            << QByteArray("\xFF\xFE", 2)
                   + QByteArray(reinterpret_cast<const char *>(u"<r><kv>70</kv></r>"), 36)
            << 70.0 << 0.0 << 0.0 << 0.0 << 0.0f << ReadSuccess;
        QTest::newRow("100 levels deep")
            << report(QByteArray("<n>").repeated(100) + "<kv>70</kv>" + QByteArray("</n>").repeated(100))
            << 70.0 << 0.0 << 0.0 << 0.0 << 0.0f << ReadSuccess;

        QTest::newRow("not well-formed")
            << QByteArray("<report><kv>70</kv>") << 0.0 << 0.0 << 0.0 << 0.0 << 0.0f << ProcessFailure;
        QTest::newRow("empty file") << QByteArray() << 0.0 << 0.0 << 0.0 << 0.0 << 0.0f << ProcessFailure;
        QTest::newRow("not XML") << QByteArray("kv=70\nmAs=12.5\n") << 0.0 << 0.0 << 0.0 << 0.0 << 0.0f
                                 << ProcessFailure;
        QByteArray laughs = "<?xml version=\"1.0\"?>\n<!DOCTYPE r [\n<!ENTITY l0 \"lol\">\n";
        for (int i = 1; i <= 9; ++i)
            laughs += "<!ENTITY l" + QByteArray::number(i) + " \""
                      + QByteArray("&l" + QByteArray::number(i - 1) + ";").repeated(10) + "\">\n";
        laughs += "]>\n<r><kv>70</kv><ms>&l9;</ms></r>";
        QTest::newRow("entities that expand exponentially")
            << laughs << 0.0 << 0.0 << 0.0 << 0.0 << 0.0f << ProcessFailure;
        QTest::newRow("external entity") << QByteArray(
            "<!DOCTYPE r [<!ENTITY x SYSTEM \"file:///etc/hostname\">]><r><kv>70</kv><ms>&x;</ms></r>")
                                         << 0.0 << 0.0 << 0.0 << 0.0 << 0.0f << ProcessFailure;
        QTest::newRow("10,000 levels deep")
            << report(QByteArray("<n>").repeated(10000) + "<kv>70</kv>" + QByteArray("</n>").repeated(10000))
            << 0.0 << 0.0 << 0.0 << 0.0 << 0.0f << ProcessFailure;
    }
    void readExposureReport()
    {
        QFETCH(QByteArray, content);
        QFETCH(double, kV);
        QFETCH(double, mAs);
        QFETCH(double, mA);
        QFETCH(double, ms);
        QFETCH(float, dap);
        QFETCH(QString, logLine);
        writeBytes(inFolder(ReportFile), content);

        TLGeneratorSettings expected;
        expected.kV = kV;
        expected.mAs = mAs;
        expected.mA = mA;
        expected.ms = ms;
        if (dap > 0.0f)
            expected.dap.setValue(dap, DAPValueUnit::mGy_cm2);

        const TLGeneratorSettings read = communicator->readExposureReport();
        QCOMPARE(read.kV, kV);
        QCOMPARE(read.mAs, mAs);
        QCOMPARE(read.mA, mA);
        QCOMPARE(read.ms, ms);
        QCOMPARE(read.dap.isSet(), dap > 0.0f);
        QCOMPARE(read.dap.value(DAPValueUnit::mGy_cm2), dap);
        QVERIFY(read == expected); // the other fields keep their defaults
        QCOMPARE(driverLog(), QStringList(logLine));
    }

    void readExposureReportThatIsNoRegularFile_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("missing") << "missing";
        QTest::newRow("folder") << "folder";
        QTest::newRow("named pipe") << "pipe"; // opening it would block
    }
    void readExposureReportThatIsNoRegularFile()
    {
        QFETCH(QString, kind);
        if (kind == QLatin1String("folder"))
            QVERIFY(QDir(folder->path()).mkdir(ReportFile));
        else if (kind == QLatin1String("pipe"))
            QCOMPARE(::mkfifo(QFile::encodeName(inFolder(ReportFile)).constData(), 0600), 0);
        QVERIFY(communicator->readExposureReport() == TLGeneratorSettings());
        QCOMPARE(driverLog(), QStringList(QStringLiteral("ERROR failed to open the file GEN50RFT_A.xml")));
    }

    void readExposureReportOf100MB()
    {
        writeLargeReport(inFolder(ReportFile), 100LL * 1024 * 1024);
        QVERIFY(communicator->readExposureReport() == TLGeneratorSettings());
        QCOMPARE(driverLog(), QStringList(ProcessFailure));
    }

    // ---- last exposure ----

    void lastExposureWithoutNewTriggerFile_data()
    {
        QTest::addColumn<bool>("reportThere");
        QTest::newRow("fresh report is not read") << true;
        QTest::newRow("missing report is not opened") << false;
    }
    void lastExposureWithoutNewTriggerFile()
    {
        QFETCH(bool, reportThere);
        activateWith(QStringLiteral("m.trg"));
        if (reportThere)
            writeBytes(inFolder(ReportFile), report("<kv>70</kv>"));
        QElapsedTimer timer;
        timer.start();
        QVERIFY(communicator->lastExposureSettings() == TLGeneratorSettings());
        QVERIFY(timer.elapsed() >= 3000);
        QCOMPARE(driverLog(), QStringList(QStringLiteral("WARNING no new trigger file found")));
    }

    void lastExposureReadsTheReportAfterANewTriggerFile()
    {
        activateWith(QString());
        writeBytes(inFolder(ReportFile), report("<kv>81</kv><mGy_cm2>2.5</mGy_cm2>"));
        touch(QStringLiteral("t.trg"));
        const TLGeneratorSettings read = communicator->lastExposureSettings();
        QCOMPARE(read.kV, 81.0);
        QCOMPARE(read.dap.value(DAPValueUnit::mGy_cm2), 2.5f);
        QCOMPARE(driverLog(),
                 QStringList({QStringLiteral("INFO found new trigger file: t.trg"), ReadSuccess}));
    }

    // ---- a whole exchange with the console ----

    void exchangeWithTheConsole_data()
    {
        QTest::addColumn<int>("nesting");
        QTest::addColumn<bool>("decimalComma");
        QTest::addColumn<bool>("malformed");
        QTest::addColumn<bool>("valuesRead");
        QTest::newRow("plain report") << 0 << false << false << true;
        QTest::newRow("values 20 levels deep") << 20 << false << false << true;
        QTest::newRow("decimal comma reads as 0") << 0 << true << false << false;
        QTest::newRow("malformed report") << 0 << false << true << false;
    }
    void exchangeWithTheConsole()
    {
        QFETCH(int, nesting);
        QFETCH(bool, decimalComma);
        QFETCH(bool, malformed);
        QFETCH(bool, valuesRead);
        TLKestrovanConsoleSimulator console;
        console.setNestingDepth(nesting);
        console.setDecimalComma(decimalComma);
        console.setMalformedReport(malformed);
        QVERIFY(console.start(folder->path()));
        // Three exposures in a row: each activation must see exactly one trigger file.
        for (int round = 1; round <= 3; ++round) {
            const QString code = QStringLiteral("CT%1").arg(round);
            // Every value with a fraction, so that a decimal comma spoils each one.
            const double kv = 60.5 + round, mas = 12.5 * round + 0.25, ma = 200.5 + round, ms = 40.5 + round;
            const float dose = 1.25f * static_cast<float>(round);
            console.setExposure(kv, mas, ma, ms, dose);
            QVERIFY(communicator->activate(code).isSuccess());
            const TLGeneratorSettings read = communicator->lastExposureSettings();
            QCOMPARE(console.lastProcedureCode(), code);
            // The console counts just after its trigger file is out, so maybe after we read.
            QTRY_COMPARE_WITH_TIMEOUT(console.exposuresWritten(), round, 5000);
            QCOMPARE(read.kV, valuesRead ? kv : 0.0);
            QCOMPARE(read.mAs, valuesRead ? mas : 0.0);
            QCOMPARE(read.mA, valuesRead ? ma : 0.0);
            QCOMPARE(read.ms, valuesRead ? ms : 0.0);
            QCOMPARE(read.dap.isSet(), valuesRead);
            QCOMPARE(read.dap.value(DAPValueUnit::mGy_cm2), valuesRead ? dose : 0.0f);
            QCOMPARE(lastDriverLine(), malformed ? ProcessFailure : ReadSuccess);
        }
        console.stop();
        QCOMPARE(console.lastError(), QString());
    }
};

int main(int argc, char **argv)
{
    int failures = 0;
    {
        TestIndirectCommunicatorWithoutHost withoutHost;
        failures += QTest::qExec(&withoutHost, argc, argv);
    }
    TLHostApplication host(argc, argv);
    TestIndirectCommunicator test;
    failures += QTest::qExec(&test, argc, argv);
    return failures;
}

#include "tst_indirectcommunicator.moc"
