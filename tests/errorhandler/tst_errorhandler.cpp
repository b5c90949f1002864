#include "TLKestrovanErrorHandler.h"
#include "TLTestMain.h"

#include <QDir>
#include <QTemporaryDir>

#include <sys/stat.h>

namespace {
// What stands where the catalogue should be.
enum class InPlace { Nothing, Folder, NamedPipe };
} // namespace
Q_DECLARE_METATYPE(InPlace)

// The error catalogue "errors.csv": its records, bad lines, unusable files and lookups.
class TestErrorHandler : public QObject
{
    Q_OBJECT

    static QString prefix()
    {
        return QStringLiteral(
            "Fehler bei Initialisierung der Fehlerdatei.\nUnter Umständen sind keine weiteren "
            "Infomationen zu den Fehlercodes des Generators verfügbar.\n");
    }
    // A condition as one line, so that a failure shows both sides whole: kind|text|details.
    static QString describe(const TLCondition &c)
    {
        return QStringLiteral("%1|%2|%3")
            .arg(c.isSuccess()   ? "S"
                 : c.isWarning() ? "W"
                                 : "E",
                 c.text(), c.details());
    }
    static QString entry(const char *kind, const QString &code, const QString &description,
                         const QString &details)
    {
        return QStringLiteral("%1|Generatorfehler: %2\n%3\n%4|%5")
            .arg(kind, code, QString(83, ' '), description, details);
    }
    static QString write(const QString &folder, const QByteArray &content)
    {
        QFile file(folder + QStringLiteral("/errors.csv"));
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
            qFatal("cannot write %s", qPrintable(file.fileName()));
        return file.fileName();
    }
    static QStringList log()
    {
        QStringList lines;
        for (const TLHostApplication::LogRecord &r : TLHostApplication::host()->logRecords()) {
            if (r.category == QLatin1String("KESTROVAN"))
                lines << QStringLiteral("KESTROVAN %1 %2").arg(int(r.level)).arg(r.text);
        }
        return lines;
    }

private slots:
    void init() { TLHostApplication::host()->clearRecords(); }

    void records_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("result");
        QTest::addColumn<QStringList>("lines");   // what the load logs; <path> is the file
        QTest::addColumn<QStringList>("lookups"); // "code=expected"
        const QByteArray h = "code;description;details;type\n";
        const QString readed =
            QStringLiteral("KESTROVAN 2 error handling: readed %1 entries from error file <path>");
        const QString count = prefix() + QStringLiteral("Fehlerhafte Anzahl von Elementen in Zeile %1.");
        QTest::newRow("error and UTF-8 warning")
            << h
                   + "105;Text A;Text B;Error\n200;\xC3\x9C"
                     "berhitzung;R\xC3\xB6hre k\xC3\xBChlen;Warning"
            << "S||" << QStringList{readed.arg(2)}
            << QStringList{
                   "105=" + entry("E", "105", "Text A", "Text B"),
                   "200=" + entry("W", "200", QStringLiteral("Überhitzung"), QStringLiteral("Röhre kühlen"))};
        QTest::newRow("final line feed: an empty bad record, the rest kept")
            << h + "105;A;B;Error\r\n106;C;D;Warning\n"
            << "W|" + count.arg(3) + "|"
            << QStringList{"KESTROVAN 5 error handling: wrong number of elements in line: 3", readed.arg(2)}
            << QStringList{"105=" + entry("E", "105", "A", "B"), "106=" + entry("W", "106", "C", "D")};
        QTest::newRow("empty file") << QByteArray() << "S||" << QStringList{readed.arg(0)}
                                    << QStringList{"1=E|Generatorfehler: 1|"};
        QTest::newRow("header only, no line feed")
            << QByteArray("105;A;B;Error") << "S||" << QStringList{readed.arg(0)}
            << QStringList{"105=E|Generatorfehler: 105|"};
        QTest::newRow("five fields, three fields; the last bad line counts")
            << h + "1;A;B;Error\n2;with;semicolon;B;Error\n3;C;Error\n4;D;E;Warning"
            << "W|" + count.arg(3) + "|"
            << QStringList{"KESTROVAN 5 error handling: wrong number of elements in line: 2",
                           "KESTROVAN 5 error handling: wrong number of elements in line: 3", readed.arg(2)}
            << QStringList{"1=" + entry("E", "1", "A", "B"), "2=E|Generatorfehler: 2|",
                           "4=" + entry("W", "4", "D", "E")};
        QTest::newRow("types are exact")
            << h + "1;A;B;error\n2;A;B;Error \n3;A;B;Warning"
            << "W|" + prefix() + "Fehlerhafter Typ in Zeile 2.|"
            << QStringList{"KESTROVAN 5 error handling: type failure in line: 1",
                           "KESTROVAN 5 error handling: type failure in line: 2", readed.arg(1)}
            << QStringList{"1=E|Generatorfehler: 1|", "3=" + entry("W", "3", "A", "B")};
        // A code field that is no number keys 0; a reported code that is no number is shown bare.
        QTest::newRow("codes as written, keyed by value; the later wins")
            << h + "007;A;B;Error\n 8;C;D;Warning\n8;E;F;Error\nx;G;H;Warning"
            << "S||" << QStringList{readed.arg(3)}
            << QStringList{"7=" + entry("E", "007", "A", "B"), "8=" + entry("E", "8", "E", "F"),
                           "0=" + entry("W", "x", "G", "H"), "abc=E|Generatorfehler: abc|"};
    }
    void records()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, result);
        QFETCH(QStringList, lines);
        QFETCH(QStringList, lookups);
        QTemporaryDir dir;
        const QString path = write(dir.path(), content);
        TLKestrovanErrorHandler handler;
        QCOMPARE(describe(handler.loadErrorFile(dir.path())), result);
        // Error entries made while parsing write no log lines of their own.
        QCOMPARE(log(), lines.replaceInStrings(QStringLiteral("<path>"), path));
        QVERIFY(TLHostApplication::host()->logTexts(QStringLiteral("CONDITION")).isEmpty());
        QVERIFY(TLCondition::autoLoggingErrors());
        for (const QString &lookup : lookups) {
            const int at = lookup.indexOf('=');
            QCOMPARE(describe(handler.errorCondition(lookup.left(at))), lookup.mid(at + 1));
        }
    }

    void lookupOfAnUnknownCode()
    {
        TLKestrovanErrorHandler handler;
        QCOMPARE(describe(handler.errorCondition(QStringLiteral(" 042 "))),
                 QStringLiteral("E|Generatorfehler:  042 |"));
        QCOMPARE(log(), QStringList{"KESTROVAN 1 no description found for error code  042 "});
    }

    void reloading()
    {
        QTemporaryDir first, second;
        write(first.path(), "h\n1;eins;a;Error\n2;zwei;b;Warning\nbad");
        const QString path = write(second.path(), "h\n2;two;bb;Error\n3;three;c;Warnung");
        TLKestrovanErrorHandler handler;
        QVERIFY(handler.loadErrorFile(first.path()).text().endsWith(QStringLiteral("Zeile 3.")));
        // Line numbers count the records of each load afresh; entries of other codes stay.
        QVERIFY(handler.loadErrorFile(second.path()).text().endsWith(QStringLiteral("Typ in Zeile 2.")));
        QCOMPARE(describe(handler.errorCondition("1")), entry("E", "1", "eins", "a"));
        QCOMPARE(describe(handler.errorCondition("2")), entry("E", "2", "two", "bb"));
        QVERIFY(log().last().endsWith(QStringLiteral("readed 2 entries from error file ") + path));
        // A load that fails leaves the catalogue as it was.
        QVERIFY(QFile::remove(path));
        QVERIFY(handler.loadErrorFile(second.path()).isWarning());
        QCOMPARE(describe(handler.errorCondition("1")), entry("E", "1", "eins", "a"));
    }

    void unusableFile_data()
    {
        QTest::addColumn<InPlace>("inPlace");
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("text");
        const QString missing = QStringLiteral("Die Datei mit Fehlerinformationen existiert nicht.");
        const QString unopened =
            QStringLiteral("Die Datei mit Fehlerinformationen kann nicht geöffnet werden nicht.");
        QTest::newRow("missing") << InPlace::Nothing << "error handling: file does not exists: " << missing;
        QTest::newRow("a folder of that name")
            << InPlace::Folder << "error handling: failed to open file: " << unopened;
        // Opening a pipe would wait for a writer: the host's thread must not hang on it.
        QTest::newRow("a named pipe")
            << InPlace::NamedPipe << "error handling: failed to open file: " << unopened;
    }
    void unusableFile()
    {
        QFETCH(InPlace, inPlace);
        QFETCH(QString, line);
        QFETCH(QString, text);
        QTemporaryDir dir;
        const QString path = dir.path() + QStringLiteral("/errors.csv");
        if (inPlace == InPlace::Folder)
            QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("errors.csv")));
        if (inPlace == InPlace::NamedPipe)
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        TLKestrovanErrorHandler handler;
        // Backslashes in the folder become the system's separators.
        QCOMPARE(describe(handler.loadErrorFile(QString(dir.path()).replace('/', '\\'))),
                 "W|" + prefix() + text + "|" + path);
        QCOMPARE(log(), QStringList{"KESTROVAN 5 " + line + path});
    }

    void largeAndHostileFiles_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("entries");
        QByteArray big = "h\n";
        for (int code = 0; code < 9000; ++code)
            big += QByteArray::number(code) + ";Beschreibung " + QByteArray(80, 'x') + ";Details;Warning\n";
        big.chop(1);
        QTest::newRow("just under 1 MiB, 9,000 records") << big << 9000;
        QTest::newRow("a line of separators just under 1 MiB")
            << "h\n" + QByteArray((1 << 20) - 20, ';') + "\n1;a;b;Error" << 1;
        QTest::newRow("binary garbage") << QByteArray("h\n\x00\xff\xfe;\x80;\x01;Error\n\xc3(;;;", 21) << 1;
    }
    void largeAndHostileFiles()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, entries);
        QTemporaryDir dir;
        const QString path = write(dir.path(), content);
        TLKestrovanErrorHandler handler;
        handler.loadErrorFile(dir.path());
        QCOMPARE(log().last(),
                 QStringLiteral("KESTROVAN 2 error handling: readed %1 entries from error file %2")
                     .arg(entries)
                     .arg(path));
    }
};

TL_TEST_MAIN(TestErrorHandler)
#include "tst_errorhandler.moc"
