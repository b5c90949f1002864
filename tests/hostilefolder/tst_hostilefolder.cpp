#include "TLHostSystemSettings.h"
#include "TLKestrovanErrorHandler.h"
#include "TLKestrovanFolderWatch.h"
#include "TLKestrovanIndirectCommunicator.h"
#include "TLTestMain.h"

#include <QTemporaryDir>

#include <atomic>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

// A shared folder or an error catalogue that races, lies or attacks: every call returns soon,
// costs little, writes through no link, and says what it refused. The trigger-file wait looks
// again only at the entries that notifications name, and judges them as a listing does.
namespace {
// What stands under the file's name; a link leads to a file "other" elsewhere.
enum class Under { Content, Pipe, LinkToPipe, LinkToFile };
// A change in the folder, made while a trigger-file wait runs.
using Change = std::function<void(const QDir &)>;
// The console's change comes this long into the wait, after its first listing.
constexpr int ChangeAfterMs = 100;
const QByteArray Report = "<r><kv>70</kv><mAs>12.5</mAs><ma>250</ma><ms>50</ms><mGy_cm2>1.8</mGy_cm2></r>";

bool write(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QByteArray read(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<none>");
}
} // namespace
Q_DECLARE_METATYPE(Under)
Q_DECLARE_METATYPE(Change)

class TestHostileFolder : public QObject
{
    Q_OBJECT

private slots:
    // By its name the report is read, the catalogue loaded or the parameter file written.
    void faultIsContained_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<Under>("under");
        QTest::addColumn<QByteArray>("content"); // of the file, or of the file a link leads to
        // The values read, or the condition and the files written; then each log line.
        QTest::addColumn<QString>("outcome");
        const QString report = "<folder>/GEN50RFT_A.xml";
        const QString unopened = "0|0|0|0|-\n5 failed to open the file GEN50RFT_A.xml";
        const QString refused = "0|0|0|0|-\n5 failed to process the file GEN50RFT_A.xml";
        QTest::newRow("report: a pipe") << report << Under::Pipe << Report << unopened;
        QTest::newRow("report: a link to a pipe") << report << Under::LinkToPipe << Report << unopened;
        QTest::newRow("report: a link to a report")
            << report << Under::LinkToFile << Report
            << "70|12.5|250|50|1.8\n3 reading file GEN50RFT_A.xml successful";
        QTest::newRow("report: over 1 MiB")
            << report << Under::Content << "<r>" + QByteArray(1 << 20, ' ') + "<kv>70</kv></r>" << refused;
        // Under 1 MiB, of tiny nodes that the DOM would make a hundred times larger.
        for (const auto &[row, open, piece, close] : {std::tuple{"references", ">", "x&a;", "</r>"},
                                                      {"empty elements", ">", "<a/>x", "</r>"},
                                                      {"attributes", "", " a=''", "/>"}})
            QTest::addRow("report: %s", row)
                << report << Under::Content
                << "<r" + QByteArray(open) + QByteArray(piece).repeated(200000) + close << refused;
        QString invalid = "0|0|0|0|-";
        for (const char *tag : {"kv", "mAs", "mGy_cm2", "ms", "ma"})
            invalid +=
                QStringLiteral("\n4 no valid value in the element %1 of GEN50RFT_A.xml, read as 0").arg(tag);
        QTest::newRow("report: values that are no measures")
            << report << Under::Content
            << "<r><kv>" + QByteArray(400000, '9')
                   + "</kv><mAs>nan</mAs><mGy_cm2>1e39</mGy_cm2><ms>inf</ms><ma>-1</ma></r>"
            << invalid + "\n3 reading file GEN50RFT_A.xml successful";
        const QString catalogue = "<folder>/errors.csv",
                      unread = "W|Die Datei mit Fehlerinformationen kann nicht geöffnet werden nicht.|"
                               + catalogue,
                      readed = "\n2 error handling: readed %1 entries from error file " + catalogue;
        QTest::newRow("catalogue: a link to a pipe")
            << catalogue << Under::LinkToPipe << QByteArray()
            << unread + "\n5 error handling: failed to open file: " + catalogue;
        QTest::newRow("catalogue: over 1 MiB")
            << catalogue << Under::Content << "h\n" + QByteArray((1 << 20) - 1, '\n')
            << unread + "\n4 error handling: file too large (1048577 bytes, at most 1048576): " + catalogue;
        QString badLines = "W|Fehlerhafte Anzahl von Elementen in Zeile 150.|";
        for (int line = 1; line <= 100; ++line)
            badLines += QStringLiteral("\n5 error handling: wrong number of elements in line: %1").arg(line);
        QTest::newRow("catalogue: 150 bad lines")
            << catalogue << Under::Content << "h\n" + QByteArray(149, '\n')
            << badLines + "\n5 error handling: 50 more bad lines not logged" + readed.arg(0);
        for (const char *where : {"<folder>", "<work>"})
            QTest::addRow("parameter file in %s: a link to another file", where)
                << QString(where) + "/EDVRAD.par" << Under::LinkToFile << QByteArray("precious")
                << "S|RADID=K1|precious\n3 creating parameter file successful (<work>/EDVRAD.par)\n"
                   "3 copy file EDVRAD.par successful (<folder>/EDVRAD.par)\n2 current trigger file: ";
    }
    void faultIsContained()
    {
        QFETCH(QString, name);
        QFETCH(Under, under);
        QFETCH(QByteArray, content);
        QFETCH(QString, outcome);
        QTemporaryDir folder, work, elsewhere;
        const auto paths = [&](QString text) {
            return text.replace("<folder>", folder.path()).replace("<work>", work.path());
        };
        TLHostApplication::host()->systemSettings().setWorkingDirectory(work.path());
        const QByteArray path = QFile::encodeName(paths(name)),
                         other = QFile::encodeName(elsewhere.filePath("other"));
        if (under == Under::Content || under == Under::LinkToFile)
            QVERIFY(write(under == Under::Content ? path : other, content));
        if (under == Under::Pipe || under == Under::LinkToPipe)
            QCOMPARE(::mkfifo(under == Under::Pipe ? path : other, 0600), 0);
        if (under != Under::Content && under != Under::Pipe)
            QCOMPARE(::symlink(other, path), 0);

        TLKestrovanIndirectCommunicator link;
        link.init(folder.path());
        TLHostApplication::host()->clearRecords();
        QString result;
        if (name.endsWith(".xml")) {
            const TLGeneratorSettings s = link.readExposureReport();
            result = QStringLiteral("%1|%2|%3|%4|").arg(s.kV).arg(s.mAs).arg(s.mA).arg(s.ms)
                     + (s.dap.isSet() ? QString::number(s.dap.value(DAPValueUnit::mGy_cm2)) : "-");
        } else {
            TLKestrovanErrorHandler catalogue;
            const bool activating = name.endsWith(".par");
            const TLCondition c = activating ? link.activate("K1") : catalogue.loadErrorFile(folder.path());
            result = (c.isSuccess()   ? "S|"
                      : c.isWarning() ? "W|"
                                      : "E|")
                     + (activating ? read(folder.filePath("EDVRAD.par")) + '|' + read(other)
                                   : c.text().section('\n', -1) + '|' + c.details());
        }
        for (const TLHostApplication::LogRecord &r : TLHostApplication::host()->logRecords())
            result += QStringLiteral("\n%1 %2").arg(int(r.level)).arg(r.text);
        QCOMPARE(result, paths(outcome));
    }

    // Another program swaps the report for a named pipe and back, as fast as it can: every read
    // returns, some with the values, some refused. A read stuck in the pipe would be set free
    // at the end by a writer, which can open the pipe only while a reader holds it.
    void reportSwappedForAPipe()
    {
        constexpr int RaceMs = 2000, SettleMs = 500;
        QTemporaryDir folder, elsewhere;
        const QByteArray report = QFile::encodeName(folder.filePath("GEN50RFT_A.xml")),
                         pipe = QFile::encodeName(elsewhere.filePath("pipe")),
                         file = QFile::encodeName(elsewhere.filePath("file")),
                         next = QFile::encodeName(folder.filePath("next"));
        QCOMPARE(::mkfifo(pipe, 0600), 0);
        QVERIFY(write(file, Report));
        TLKestrovanIndirectCommunicator link;
        link.init(folder.path());
        QElapsedTimer race;
        race.start();
        std::atomic<bool> stuck{false};
        std::thread swapper([&] {
            for (int i = 0; race.elapsed() < RaceMs; ++i) {
                ::link(i % 2 ? pipe : file, next);
                ::rename(next, report);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(SettleMs));
            const int writer = ::open(pipe, O_WRONLY | O_NONBLOCK);
            stuck = writer >= 0;
            if (stuck)
                ::close(writer);
        });
        TLHostApplication::host()->clearRecords();
        while (race.elapsed() < RaceMs)
            link.readExposureReport();
        swapper.join();
        QVERIFY(!stuck);
        QVERIFY(TLHostApplication::host()->countLog("reading file GEN50RFT_A.xml successful") > 0);
        QVERIFY(TLHostApplication::host()->countLog("failed to open the file GEN50RFT_A.xml") > 0);
    }

    void waitJudgesAsAListing_data()
    {
        QTest::addColumn<Change>("change"); // "b.trg" is the trigger file remembered
        QTest::addColumn<bool>("found");
        QTest::newRow("a link to a file, first")
            << Change([](const QDir &d) { QFile::link(d.filePath("b.trg"), d.filePath("a.trg")); }) << true;
        QTest::newRow("the remembered one removed")
            << Change([](const QDir &d) { QFile::remove(d.filePath("b.trg")); }) << true;
        QTest::newRow("the remembered one renamed")
            << Change([](const QDir &d) { QFile::rename(d.filePath("b.trg"), d.filePath("B.TRG")); }) << true;
        QTest::newRow("a dangling link, first")
            << Change([](const QDir &d) { QFile::link(d.filePath("gone"), d.filePath("a.trg")); }) << false;
        QTest::newRow("a folder, first") << Change([](const QDir &d) { d.mkdir("a.trg"); }) << false;
        QTest::newRow("a hidden one, first")
            << Change([](const QDir &d) { write(d.filePath(".a.trg"), ""); }) << false;
    }
    void waitJudgesAsAListing()
    {
        QFETCH(Change, change);
        QFETCH(bool, found);
        QTemporaryDir work, folder;
        TLHostApplication::host()->systemSettings().setWorkingDirectory(work.path());
        QVERIFY(write(folder.filePath("b.trg"), ""));
        TLKestrovanIndirectCommunicator link;
        link.init(folder.path());
        QVERIFY(link.activate("K1").isSuccess()
                && TLKestrovanFolderWatch(folder.path()).reportsEveryChange());
        std::thread console([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(ChangeAfterMs));
            change(QDir(folder.path()));
        });
        QCOMPARE(link.waitForNewTriggerFile(5 * ChangeAfterMs), found);
        console.join();
        QCOMPARE(link.firstTriggerFile() != "b.trg", found);
    }

    // No watch can be set up on a folder that is not there yet, and on a share a watch hears
    // only this machine's changes: there the wait lists on a timer.
    void waitWithoutNotifications()
    {
        QTemporaryDir parent;
        TLKestrovanIndirectCommunicator link;
        link.init(parent.filePath("later"));
        std::thread console([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(ChangeAfterMs));
            QDir(parent.path()).mkdir("later");
            write(parent.filePath("later/a.trg"), "");
        });
        QVERIFY(link.waitForNewTriggerFile(10 * ChangeAfterMs));
        console.join();
        QVERIFY(TLKestrovanFolderWatch::isNetworkFileSystem(0x6969));  // NFS
        QVERIFY(!TLKestrovanFolderWatch::isNetworkFileSystem(0xEF53)); // ext4
    }
};

TL_TEST_MAIN(TestHostileFolder)
#include "tst_hostilefolder.moc"
