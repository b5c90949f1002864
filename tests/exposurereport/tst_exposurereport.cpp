// What the console software really writes, read as the DOM parser reads it, and the few
// files that are refused because they would cost the host its stack, time or memory.

#include "TLKestrovanIndirectCommunicator.h"

#include "TLHostApplication.h"

#include <QDir>
#include <QDomDocument>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {
const QString ReadLine = QStringLiteral("reading file GEN50RFT_A.xml successful");
const QString RefusedLine = QStringLiteral("failed to process the file GEN50RFT_A.xml");

// The values at that nesting level, the root element <r> counted as the first.
QByteArray nested(int levels, const QByteArray &open, const QByteArray &close)
{
    return "<r>" + open.repeated(levels - 2) + "<kv>70</kv><ma>250</ma>" + close.repeated(levels - 2)
           + "</r>";
}
} // namespace

class TestExposureReport : public QObject
{
    Q_OBJECT
private slots:
    void readsWhatTheParserAccepts_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("accepted");

        QTest::newRow("DOCTYPE without internal subset") << QByteArray(
            "<?xml version=\"1.0\"?>\n<!DOCTYPE report>\n<report><kv>70</kv><ma>250</ma></report>")
                                                         << true;
        QTest::newRow("Latin-1 bytes without an encoding declaration")
            << QByteArray("<report><!-- R\xe4ntgen --><name>M\xfcller</name><kv>70</kv><ma>250</ma></report>")
            << true;
        QTest::newRow("undeclared entity")
            << QByteArray("<report><name>a&nbsp;b</name><kv>70</kv><ma>250</ma></report>") << true;
        QTest::newRow("version 1.1") << QByteArray(
            "<?xml version=\"1.1\"?><report><kv>70</kv><ma>250</ma></report>")
                                     << true;
        QTest::newRow("duplicate attributes")
            << QByteArray("<report a=\"1\" a=\"2\"><kv u=\"kV\" u=\"V\">70</kv><ma>250</ma></report>")
            << true;
        QTest::newRow("unknown encoding name") << QByteArray(
            "<?xml version=\"1.0\" encoding=\"x-console\"?><report><kv>70</kv><ma>250</ma></report>")
                                               << true;
        QTest::newRow("internal subset without entities")
            << QByteArray("<!DOCTYPE r [<!-- <!ENTITY x 'y'> it's --><!ATTLIST r a CDATA \"x>]y\">]>"
                          "<r><kv>70</kv><ma>250</ma></r>")
            << true;
        // Tags in comments, CDATA sections and processing instructions do not count...
        QTest::newRow("256 levels") << nested(256, "<n><!-- <x> --><![CDATA[<y>]]><?p <z>?>", "</n>") << true;
        // ... and a "/>" in a quoted value does not close the element.
        QTest::newRow("257 levels") << nested(257, "<n a='/>'>", "</n >") << false;
        QTest::newRow("deep nesting in UTF-7")
            << "<?xml version=\"1.0\" encoding=\"UTF-7\"?>" + nested(300, "+ADw-n+AD4-", "+ADw-/n+AD4-")
            << false;
        // "<!--->" does not end the comment: the quote after it must not hide the nesting.
        QTest::newRow("deep nesting after a comment that starts with a dash")
            << "<!---><x a=\" -->" + nested(300, "<n>", "</n>") << false;
        QTest::newRow("entity declaration")
            << QByteArray("<!DOCTYPE r [<!ENTITY v \"70\">]><r><kv>&v;</kv><ma>250</ma></r>") << false;
        const QByteArray head = "<r><kv>70</kv><ma>250</ma>", tail = "</r>";
        QTest::newRow("1 MiB exactly")
            << head + QByteArray(1024 * 1024 - head.size() - tail.size(), ' ') + tail << true;
        QTest::newRow("more than 1 MiB") << head + QByteArray(1024 * 1024, ' ') + tail << false;
    }
    void readsWhatTheParserAccepts()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, accepted);
        QTemporaryDir folder;
        QFile file(folder.filePath(QStringLiteral("GEN50RFT_A.xml")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(content), qint64(content.size()));
        file.close();
        if (content.size() < 1024 * 1024) // the DOM parser itself takes each of these
            QVERIFY(QDomDocument().setContent(content, false));

        TLKestrovanIndirectCommunicator communicator;
        QVERIFY(communicator.init(folder.path()).isSuccess());
        TLHostApplication::host()->clearRecords();
        const TLGeneratorSettings read = communicator.readExposureReport();
        QCOMPARE(TLHostApplication::host()->logTexts(), QStringList(accepted ? ReadLine : RefusedLine));
        QCOMPARE(read.kV, accepted ? 70.0 : 0.0);
        QCOMPARE(read.mA, accepted ? 250.0 : 0.0);
    }

    // An empty folder text names the current directory, as QDir takes it.
    void emptyFolderListsTheCurrentDirectory()
    {
        QTemporaryDir folder;
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(folder.path()));
        QFile trigger(QStringLiteral("x.trg"));
        QVERIFY(trigger.open(QIODevice::WriteOnly));
        TLKestrovanIndirectCommunicator communicator;
        QVERIFY(communicator.init(QString()).isError());
        const QStringList listed = communicator.triggerFiles();
        QVERIFY(QDir::setCurrent(previous));
        QCOMPARE(listed, QStringList(QStringLiteral("x.trg")));
    }
};

int main(int argc, char **argv)
{
    TLHostApplication host(argc, argv);
    TestExposureReport test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_exposurereport.moc"
