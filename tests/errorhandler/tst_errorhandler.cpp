#include "TLCondition.h"
#include "TLHostApplication.h"
#include "TLKestrovanErrorHandler.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTranslator>
#include <QtTest>

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const char *const NoContextVariable = "TST_ERRORHANDLER_NO_CONTEXT";

QString prefix()
{
    return QString::fromUtf8("Fehler bei Initialisierung der Fehlerdatei.\nUnter Umständen sind "
                             "keine weiteren Infomationen zu den Fehlercodes des Generators "
                             "verfügbar.\n");
}

QString entryText(const QString &codeAsWritten, const QString &description)
{
    return QStringLiteral("Generatorfehler: ") + codeAsWritten + QLatin1Char('\n')
           + QString(83, QLatin1Char(' ')) + QLatin1Char('\n') + description;
}

// Conditions are compared as one line each, so a failure shows both sides whole.
QString describe(const TLCondition &c)
{
    const char *kind = c.isSuccess() ? "S" : c.isWarning() ? "W" : "E";
    return QStringLiteral("%1|%2|%3").arg(QLatin1String(kind), c.text(), c.details());
}
QString ok()
{
    return QStringLiteral("S||");
}
QString warn(const QString &text, const QString &details = QString())
{
    return QStringLiteral("W|%1|%2").arg(text, details);
}
QString err(const QString &text, const QString &details = QString())
{
    return QStringLiteral("E|%1|%2").arg(text, details);
}
QString countFailure(int line)
{
    return QStringLiteral("Fehlerhafte Anzahl von Elementen in Zeile %1.").arg(line);
}
QString typeFailure(int line)
{
    return QStringLiteral("Fehlerhafter Typ in Zeile %1.").arg(line);
}
QString noFile()
{
    return QStringLiteral("Die Datei mit Fehlerinformationen existiert nicht.");
}
QString noOpen()
{
    return QString::fromUtf8("Die Datei mit Fehlerinformationen kann nicht geöffnet werden nicht.");
}

// Expected log lines, as kestrovanLog() shows them.
QString countLog(int line)
{
    return QStringLiteral("ERROR error handling: wrong number of elements in line: %1").arg(line);
}
QString typeLog(int line)
{
    return QStringLiteral("ERROR error handling: type failure in line: %1").arg(line);
}
QString readedLog(int entries, const QString &path)
{
    return QStringLiteral("INFO error handling: readed %1 entries from error file %2")
        .arg(QString::number(entries), path);
}

// Our category's log as "LEVEL text" lines.
QStringList kestrovanLog()
{
    QStringList lines;
    for (const TLHostApplication::LogRecord &r : TLHostApplication::host()->logRecords()) {
        if (r.category == QLatin1String("KESTROVAN"))
            lines << QStringLiteral("%1 %2").arg(QLatin1String(logLevelName(r.level)), r.text);
    }
    return lines;
}

QString writeCatalogue(const QString &folder, const QByteArray &content)
{
    QDir().mkpath(folder);
    QString path = folder + QStringLiteral("/errors.csv");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

// Returns every source text it is asked for, marked, and remembers context and source.
class RecordingTranslator : public QTranslator
{
public:
    QString translate(const char *context, const char *sourceText, const char * = nullptr,
                      int = -1) const override
    {
        asked.insert(QString::fromUtf8(context) + QLatin1Char('|') + QString::fromUtf8(sourceText));
        return QStringLiteral("<") + QString::fromUtf8(sourceText) + QStringLiteral(">");
    }
    bool isEmpty() const override { return false; }
    mutable QSet<QString> asked;
};

// Run as a child process without any application object: the catalogue must still work.
int runWithoutContext(const QString &folder)
{
    TLKestrovanErrorHandler handler;
    const QStringList results = {
        describe(handler.loadErrorFile(folder + QStringLiteral("/missing"))),
        describe(handler.loadErrorFile(folder)),
        describe(handler.errorCondition(QStringLiteral("1"))),
        describe(handler.errorCondition(QStringLiteral("42"))),
    };
    std::fputs(results.join(QLatin1Char('#')).toUtf8().constData(), stdout);
    return 0;
}
} // namespace

class tst_ErrorHandler : public QObject
{
    Q_OBJECT
private slots:
    void init();

    void records_data();
    void records();
    void unknownCode_data();
    void unknownCode();
    void lineNumbersRestartOnEachLoad();
    void reloadReplacesAndKeeps();
    void unusableFile_data();
    void unusableFile();
    void unreadableFile();
    void pipeDoesNotBlock();
    void textsAreTranslatable();
    void bigFile();
    void longLines_data();
    void longLines();
    void garbage_data();
    void garbage();
    void worksWithoutHostContext();
};

void tst_ErrorHandler::init()
{
    TLCondition::enableAutoLoggingErrors(true);
    TLHostApplication::host()->clearRecords();
}

void tst_ErrorHandler::records_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("result");
    QTest::addColumn<QStringList>("log"); // "<path>" stands for the file's path
    QTest::addColumn<QStringList>("codes");
    QTest::addColumn<QStringList>("expected");

    const QByteArray header = "code;description;details;type\n";
    auto readed = [](int n) { return readedLog(n, QStringLiteral("<path>")); };
    auto bare = [](const QString &code) { return err(QStringLiteral("Generatorfehler: ") + code); };

    QTest::newRow("error record") << header + "105;Text A;Text B;Error" << ok() << QStringList{readed(1)}
                                  << QStringList{"105"}
                                  << QStringList{err(entryText("105", "Text A"), "Text B")};
    QTest::newRow("warning record, UTF-8")
        << header + "200;\xC3\x9C" + "berhitzung;R\xC3\xB6hre k\xC3\xBChlen;Warning" << ok()
        << QStringList{readed(1)} << QStringList{"200"}
        << QStringList{
               warn(entryText("200", QString::fromUtf8("Überhitzung")), QString::fromUtf8("Röhre kühlen"))};
    QTest::newRow("final line feed") << header + "105;A;B;Error\n106;C;D;Warning\n"
                                     << warn(prefix() + countFailure(3))
                                     << QStringList{countLog(3), readed(2)} << QStringList{"105", "106"}
                                     << QStringList{err(entryText("105", "A"), "B"),
                                                    warn(entryText("106", "C"), "D")};
    QTest::newRow("empty file") << QByteArray() << ok() << QStringList{readed(0)} << QStringList{"105"}
                                << QStringList{bare("105")};
    QTest::newRow("header without line feed") << QByteArray("105;A;B;Error") << ok() << QStringList{readed(0)}
                                              << QStringList{"105"} << QStringList{bare("105")};
    QTest::newRow("header with line feed")
        << header << warn(prefix() + countFailure(1)) << QStringList{countLog(1), readed(0)} << QStringList{}
        << QStringList{};
    QTest::newRow("five fields") << header + "1;A;B;Error\n2;with;semicolon;B;Error\n3;C;D;Warning"
                                 << warn(prefix() + countFailure(2)) << QStringList{countLog(2), readed(2)}
                                 << QStringList{"1", "2", "3"}
                                 << QStringList{err(entryText("1", "A"), "B"), bare("2"),
                                                warn(entryText("3", "C"), "D")};
    QTest::newRow("three fields") << header + "1;A;Error" << warn(prefix() + countFailure(1))
                                  << QStringList{countLog(1), readed(0)} << QStringList{"1"}
                                  << QStringList{bare("1")};
    for (const char *type : {"error", "ERROR", "Error ", " Warning", "Warnings", ""}) {
        QTest::addRow("type \"%s\"", type)
            << header + "1;A;B;" + type << warn(prefix() + typeFailure(1))
            << QStringList{typeLog(1), readed(0)} << QStringList{"1"} << QStringList{bare("1")};
    }
    QTest::newRow("empty fields") << header + ";;;Warning" << ok() << QStringList{readed(1)}
                                  << QStringList{"0", "abc"}
                                  << QStringList{warn(entryText("", "")), warn(entryText("", ""))};
    QTest::newRow("same code twice") << header + "7;first;x;Error\n7;second;y;Warning" << ok()
                                     << QStringList{readed(1)} << QStringList{"7"}
                                     << QStringList{warn(entryText("7", "second"), "y")};
    QTest::newRow("code 007") << header + "007;A;B;Error" << ok() << QStringList{readed(1)}
                              << QStringList{"7", "007"}
                              << QStringList{err(entryText("007", "A"), "B"),
                                             err(entryText("007", "A"), "B")};
    QTest::newRow("code with blank") << header + " 7;A;B;Warning" << ok() << QStringList{readed(1)}
                                     << QStringList{"7"} << QStringList{warn(entryText(" 7", "A"), "B")};
    QTest::newRow("negative code") << header + "-5;A;B;Error" << ok() << QStringList{readed(1)}
                                   << QStringList{"-5", "5"}
                                   << QStringList{err(entryText("-5", "A"), "B"), bare("5")};
    QTest::newRow("code no number") << header + "E12;A;B;Error" << ok() << QStringList{readed(1)}
                                    << QStringList{"0", "E12"}
                                    << QStringList{err(entryText("E12", "A"), "B"),
                                                   err(entryText("E12", "A"), "B")};
    QTest::newRow("code out of range")
        << header + "99999999999;A;B;Error" << ok() << QStringList{readed(1)} << QStringList{"0"}
        << QStringList{err(entryText("99999999999", "A"), "B")};
    QTest::newRow("later bad line wins")
        << header + "1;A;B;Error\nbad\n2;C;D;Error\n3;E;F;error\n4;G;H;Warning"
        << warn(prefix() + typeFailure(4)) << QStringList{countLog(2), typeLog(4), readed(3)}
        << QStringList{"1", "2", "3", "4"}
        << QStringList{err(entryText("1", "A"), "B"), err(entryText("2", "C"), "D"), bare("3"),
                       warn(entryText("4", "G"), "H")};
    QTest::newRow("CRLF") << QByteArray("h\r\n105;A;B;Error\r\n106;C;D;Warning") << ok()
                          << QStringList{readed(2)} << QStringList{"105", "106"}
                          << QStringList{err(entryText("105", "A"), "B"), warn(entryText("106", "C"), "D")};
    QTest::newRow("CRLF final") << QByteArray("h\r\n105;A;B;Error\r\n") << warn(prefix() + countFailure(2))
                                << QStringList{countLog(2), readed(1)} << QStringList{"105"}
                                << QStringList{err(entryText("105", "A"), "B")};
    QTest::newRow("lone carriage returns")
        << QByteArray("h\n105;Te\rxt;B\r;Err\ror") << ok() << QStringList{readed(1)} << QStringList{"105"}
        << QStringList{err(entryText("105", "Text"), "B")};
    QTest::newRow("BOM on header") << "\xEF\xBB\xBF" + header + "105;A;B;Error" << ok()
                                   << QStringList{readed(1)} << QStringList{"105"}
                                   << QStringList{err(entryText("105", "A"), "B")};
    QTest::newRow("invalid UTF-8") << header + "105;A\xFF;B;Error" << ok() << QStringList{readed(1)}
                                   << QStringList{"105"}
                                   << QStringList{err(entryText("105", QStringLiteral("A\uFFFD")), "B")};
}

void tst_ErrorHandler::records()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, result);
    QFETCH(QStringList, log);
    QFETCH(QStringList, codes);
    QFETCH(QStringList, expected);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = writeCatalogue(dir.path(), content);
    log.replaceInStrings(QStringLiteral("<path>"), path);

    TLKestrovanErrorHandler handler;
    QCOMPARE(describe(handler.loadErrorFile(dir.path())), result);
    QCOMPARE(kestrovanLog(), log);
    // Error entries and bad lines made while parsing must not reach the log on their own.
    QCOMPARE(TLHostApplication::host()->logTexts(QStringLiteral("CONDITION")), QStringList());
    QVERIFY(TLCondition::autoLoggingErrors());

    for (int i = 0; i < codes.size(); ++i)
        QCOMPARE(describe(handler.errorCondition(codes.at(i))), expected.at(i));
}

void tst_ErrorHandler::unknownCode_data()
{
    QTest::addColumn<QString>("code");
    QTest::newRow("42") << QStringLiteral("42");
    QTest::newRow("no number, looks up 0") << QStringLiteral("abc");
    QTest::newRow("blanks kept") << QStringLiteral(" 042 ");
    QTest::newRow("empty") << QString();
}

void tst_ErrorHandler::unknownCode()
{
    QFETCH(QString, code);
    QTemporaryDir dir;
    writeCatalogue(dir.path(), "h\n1;A;B;Error\n2;C;D;Warning");
    TLKestrovanErrorHandler handler;
    QCOMPARE(describe(handler.loadErrorFile(dir.path())), ok());
    TLHostApplication::host()->clearRecords();

    QCOMPARE(describe(handler.errorCondition(code)), err(QStringLiteral("Generatorfehler: ") + code));
    QCOMPARE(kestrovanLog(),
             QStringList{QStringLiteral("DEBUG no description found for error code ") + code});

    // The lookup adds nothing: a load of an empty file still reports the two entries.
    writeCatalogue(dir.path(), QByteArray());
    TLHostApplication::host()->clearRecords();
    QCOMPARE(describe(handler.loadErrorFile(dir.path())), ok());
    QVERIFY(kestrovanLog().last().contains(QLatin1String("readed 2 entries")));
}

void tst_ErrorHandler::lineNumbersRestartOnEachLoad()
{
    QTemporaryDir dir;
    TLKestrovanErrorHandler handler;
    writeCatalogue(dir.path(), "h\n1;A;B;Error\n2;C;D;Error\nbad");
    QCOMPARE(describe(handler.loadErrorFile(dir.path())), warn(prefix() + countFailure(3)));
    QCOMPARE(describe(handler.loadErrorFile(dir.path())), warn(prefix() + countFailure(3)));

    writeCatalogue(dir.path(), "h\n3;E;F;Warnung\n");
    TLHostApplication::host()->clearRecords();
    QCOMPARE(describe(handler.loadErrorFile(dir.path())), warn(prefix() + countFailure(2)));
    QCOMPARE(kestrovanLog().mid(0, 2), (QStringList{typeLog(1), countLog(2)}));

    // A failed load starts the count afresh as well.
    QCOMPARE(handler.loadErrorFile(dir.path() + QStringLiteral("/nowhere")).isWarning(), true);
    QCOMPARE(describe(handler.parseLine(QStringLiteral("x"))), err(countFailure(1)));
}

void tst_ErrorHandler::reloadReplacesAndKeeps()
{
    QTemporaryDir first, second;
    writeCatalogue(first.path(), "h\n1;eins;a;Error\n2;zwei;b;Warning");
    const QString secondPath = writeCatalogue(second.path(), "h\n2;two;bb;Error\n3;three;c;Warning");

    TLKestrovanErrorHandler handler;
    QCOMPARE(describe(handler.loadErrorFile(first.path())), ok());
    TLHostApplication::host()->clearRecords();
    QCOMPARE(describe(handler.loadErrorFile(second.path())), ok());
    QCOMPARE(kestrovanLog(), QStringList{readedLog(3, secondPath)});
    QCOMPARE(describe(handler.errorCondition("1")), err(entryText("1", "eins"), "a"));
    QCOMPARE(describe(handler.errorCondition("2")), err(entryText("2", "two"), "bb"));
    QCOMPARE(describe(handler.errorCondition("3")), warn(entryText("3", "three"), "c"));

    // A load that fails leaves the catalogue as it was.
    QVERIFY(QFile::remove(secondPath));
    QVERIFY(handler.loadErrorFile(second.path()).isWarning());
    QCOMPARE(describe(handler.errorCondition("3")), warn(entryText("3", "three"), "c"));
}

void tst_ErrorHandler::unusableFile_data()
{
    QTest::addColumn<QString>("make"); // what to put where errors.csv belongs
    QTest::addColumn<QString>("logLine");
    QTest::addColumn<QString>("text");
    QTest::newRow("missing") << "nothing"
                             << "error handling: file does not exists: " << noFile();
    QTest::newRow("missing folder") << "no folder"
                                    << "error handling: file does not exists: " << noFile();
    QTest::newRow("directory") << "directory"
                               << "error handling: failed to open file: " << noOpen();
}

void tst_ErrorHandler::unusableFile()
{
    QFETCH(QString, make);
    QFETCH(QString, logLine);
    QFETCH(QString, text);
    QTemporaryDir dir;
    QString folder = dir.path();
    if (make == QLatin1String("no folder"))
        folder += QStringLiteral("/absent");
    if (make == QLatin1String("directory"))
        QVERIFY(QDir(folder).mkdir(QStringLiteral("errors.csv")));
    const QString path = folder + QStringLiteral("/errors.csv");

    TLKestrovanErrorHandler handler;
    QCOMPARE(describe(handler.loadErrorFile(folder)), warn(prefix() + text, path));
    QCOMPARE(kestrovanLog(), QStringList{QStringLiteral("ERROR ") + logLine + path});
    QCOMPARE(describe(handler.errorCondition("0")), err(QStringLiteral("Generatorfehler: 0")));

    // Backslashes in the folder are made the system's separators before use.
    QString backslashed = folder;
    backslashed.replace(QLatin1Char('/'), QLatin1Char('\\'));
    TLHostApplication::host()->clearRecords();
    QCOMPARE(describe(handler.loadErrorFile(backslashed)), warn(prefix() + text, path));
}

void tst_ErrorHandler::unreadableFile()
{
    QTemporaryDir dir;
    const QString path = writeCatalogue(dir.path(), "h\n1;A;B;Error");
    QVERIFY(QFile::setPermissions(path, QFileDevice::Permissions()));
    if (::geteuid() == 0 || ::access(QFile::encodeName(path).constData(), R_OK) == 0)
        QSKIP("running with rights that read any file (root): a file cannot be made unreadable");

    TLKestrovanErrorHandler handler;
    QCOMPARE(describe(handler.loadErrorFile(dir.path())), warn(prefix() + noOpen(), path));
    QCOMPARE(kestrovanLog(),
             QStringList{QStringLiteral("ERROR error handling: failed to open file: ") + path});
}

void tst_ErrorHandler::pipeDoesNotBlock()
{
    QTemporaryDir dir;
    const QString path = dir.path() + QStringLiteral("/errors.csv");
    QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);

    // Should the load open the pipe and wait for a writer, this frees it after a while, so
    // that a fault fails the comparison below instead of hanging the run.
    std::mutex mutex;
    std::condition_variable loaded;
    bool done = false;
    std::thread rescuer([&] {
        std::unique_lock<std::mutex> lock(mutex);
        if (!loaded.wait_for(lock, std::chrono::seconds(10), [&] { return done; })) {
            const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0)
                ::close(fd);
        }
    });
    TLKestrovanErrorHandler handler;
    const TLCondition result = handler.loadErrorFile(dir.path());
    {
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
    }
    loaded.notify_all();
    rescuer.join();
    QCOMPARE(describe(result), warn(prefix() + noOpen(), path));
}

void tst_ErrorHandler::textsAreTranslatable()
{
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("dir")));
    QVERIFY(QDir(dir.path() + QStringLiteral("/dir")).mkdir(QStringLiteral("errors.csv")));
    writeCatalogue(dir.path(), "h\n1;A;B;Error\nbad\n3;C;D;error");

    RecordingTranslator translator;
    QCoreApplication::installTranslator(&translator);
    TLKestrovanErrorHandler handler;
    const QString missing = describe(handler.loadErrorFile(dir.path() + QStringLiteral("/none")));
    const QString directory = describe(handler.loadErrorFile(dir.path() + QStringLiteral("/dir")));
    const QString bad = describe(handler.loadErrorFile(dir.path()));
    const QString known = describe(handler.errorCondition("1"));
    const QString unknown = describe(handler.errorCondition("9"));
    QCoreApplication::removeTranslator(&translator);

    const QString context = QStringLiteral("TLKestrovanErrorHandler|");
    const QString pre = QStringLiteral("<") + prefix() + QStringLiteral(">");
    const QString count = QStringLiteral("Fehlerhafte Anzahl von Elementen in Zeile %1.");
    const QString type = QStringLiteral("Fehlerhafter Typ in Zeile %1.");
    const QString generator = QStringLiteral("Generatorfehler: ");
    QSet<QString> sources;
    for (const QString &s : {prefix(), noFile(), noOpen(), count, type, generator})
        sources.insert(context + s);
    QSet<QString> ours; // Qt may translate texts of its own meanwhile
    for (const QString &s : qAsConst(translator.asked)) {
        if (s.startsWith(context))
            ours.insert(s);
    }
    QCOMPARE(ours, sources);

    QVERIFY(missing.startsWith(QStringLiteral("W|%1<%2>|").arg(pre, noFile())));
    QVERIFY(directory.startsWith(QStringLiteral("W|%1<%2>|").arg(pre, noOpen())));
    QCOMPARE(bad, warn(pre + QStringLiteral("<Fehlerhafter Typ in Zeile 3.>")));
    QCOMPARE(known, err(QStringLiteral("<Generatorfehler: >1\n") + QString(83, QLatin1Char(' '))
                            + QStringLiteral("\nA"),
                        "B"));
    QCOMPARE(unknown, err(QStringLiteral("<Generatorfehler: >9")));
}

void tst_ErrorHandler::bigFile()
{
    // Over 20 MB in 400,000 records of 1000 codes, with two bad records.
    const int records = 400000;
    const int badCount = 12345;
    QByteArray content = "code;description;details;type\n";
    content.reserve(records * 64);
    for (int line = 1; line <= records; ++line) {
        if (line == badCount)
            content += "1;a;b;c;Error\n";
        else if (line == records)
            content += "1;a;b;Fehler";
        else
            content += QByteArray::number(line % 1000) + ";Beschreibung " + QByteArray::number(line)
                       + ";Hinweise zum Fehler " + QByteArray::number(line) + ";"
                       + (line % 2 ? "Warning\n" : "Error\n");
    }
    QVERIFY(content.size() > 20 * 1000 * 1000);
    QTemporaryDir dir;
    const QString path = writeCatalogue(dir.path(), content);

    TLKestrovanErrorHandler handler;
    QCOMPARE(describe(handler.loadErrorFile(dir.path())), warn(prefix() + typeFailure(records)));
    QCOMPARE(kestrovanLog(), (QStringList{countLog(badCount), typeLog(records), readedLog(1000, path)}));
    QCOMPARE(describe(handler.errorCondition("999")),
             warn(entryText("999", "Beschreibung 399999"), "Hinweise zum Fehler 399999"));
    QCOMPARE(describe(handler.errorCondition("1")),
             warn(entryText("1", "Beschreibung 399001"), "Hinweise zum Fehler 399001"));
}

void tst_ErrorHandler::longLines_data()
{
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<QString>("result");
    QTest::addColumn<QString>("entry0"); // the condition of code 0 afterwards

    const QByteArray text(10000, 'x');
    const QByteArray digits(10000, '7');
    const QString bare = err(QStringLiteral("Generatorfehler: 0"));
    QTest::newRow("long description")
        << "0;" + text + ";d;Error" << ok() << err(entryText("0", QString::fromLatin1(text)), "d");
    QTest::newRow("long details") << "0;a;" + text + ";Warning" << ok()
                                  << warn(entryText("0", "a"), QString::fromLatin1(text));
    QTest::newRow("long code") << digits + ";a;d;Error" << ok()
                               << err(entryText(QString::fromLatin1(digits), "a"), "d");
    QTest::newRow("only separators") << QByteArray(10000, ';') << warn(prefix() + countFailure(1)) << bare;
    QTest::newRow("long type") << "0;a;d;" + text << warn(prefix() + typeFailure(1)) << bare;
    QTest::newRow("no separators") << text << warn(prefix() + countFailure(1)) << bare;
}

void tst_ErrorHandler::longLines()
{
    QFETCH(QByteArray, record);
    QFETCH(QString, result);
    QFETCH(QString, entry0);
    QTemporaryDir dir;
    writeCatalogue(dir.path(), "h\n" + record);
    TLKestrovanErrorHandler handler;
    QCOMPARE(describe(handler.loadErrorFile(dir.path())), result);
    QCOMPARE(describe(handler.errorCondition("0")), entry0);
}

void tst_ErrorHandler::garbage_data()
{
    QTest::addColumn<quint32>("seed");
    QTest::addColumn<QByteArray>("alphabet"); // empty: any byte
    QTest::newRow("any bytes 1") << 1u << QByteArray();
    QTest::newRow("any bytes 2") << 2u << QByteArray();
    QTest::newRow("record-like") << 3u
                                 << QByteArray("0123456789;;;;\n\n\r ErrorWarning\xC3\xA4\xFF\xEF\xBB\xBF");
}

void tst_ErrorHandler::garbage()
{
    QFETCH(quint32, seed);
    QFETCH(QByteArray, alphabet);
    QRandomGenerator random(seed);
    QByteArray content(1 << 20, Qt::Uninitialized);
    for (char &c : content)
        c = alphabet.isEmpty() ? char(random.bounded(256)) : alphabet.at(random.bounded(alphabet.size()));
    content += "\n105;A;B;Error";
    const int records = content.count('\n');
    QTemporaryDir dir;
    writeCatalogue(dir.path(), content);

    TLKestrovanErrorHandler handler;
    const TLCondition result = handler.loadErrorFile(dir.path());
    QCOMPARE(describe(handler.errorCondition("105")), err(entryText("105", "A"), "B"));

    // Every bad record is logged once, in file order, with its number; the load reports the last.
    const QStringList log = kestrovanLog();
    QVERIFY(log.last().startsWith(QLatin1String("INFO error handling: readed ")));
    const QRegularExpression badLine(
        QStringLiteral("^ERROR error handling: (wrong number of elements|type failure) in line: (\\d+)$"));
    int previous = 0;
    QString lastFailure;
    for (const QString &line : log.mid(0, log.size() - 1)) {
        const QRegularExpressionMatch m = badLine.match(line);
        QVERIFY2(m.hasMatch(), qPrintable(line));
        const int number = m.captured(2).toInt();
        QVERIFY(number > previous && number < records);
        previous = number;
        lastFailure = m.captured(1).startsWith(QLatin1Char('w')) ? countFailure(number) : typeFailure(number);
    }
    QCOMPARE(describe(result), lastFailure.isEmpty() ? ok() : warn(prefix() + lastFailure));
}

void tst_ErrorHandler::worksWithoutHostContext()
{
    QTemporaryDir dir;
    writeCatalogue(dir.path(), "h\n1;A;B;Error\nbad");
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(NoContextVariable), dir.path());
    child.setProcessEnvironment(environment);
    child.start(QCoreApplication::applicationFilePath(), QStringList());
    QVERIFY(child.waitForFinished(30000));
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 0);
    const QStringList results = QString::fromUtf8(child.readAllStandardOutput()).split(QLatin1Char('#'));
    QCOMPARE(results, (QStringList{warn(prefix() + noFile(), dir.path() + "/missing/errors.csv"),
                                   warn(prefix() + countFailure(2)), err(entryText("1", "A"), "B"),
                                   err(QStringLiteral("Generatorfehler: 42"))}));
}

int main(int argc, char **argv)
{
    const QByteArray folder = qgetenv(NoContextVariable);
    if (!folder.isEmpty())
        return runWithoutContext(QString::fromLocal8Bit(folder));

    TLHostApplication app(argc, argv);
    tst_ErrorHandler tc;
    return QTest::qExec(&tc, argc, argv);
}

#include "tst_errorhandler.moc"
