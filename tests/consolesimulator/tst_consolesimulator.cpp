#include "TLKestrovanConsoleSimulator.h"

#include <QDir>
#include <QDomDocument>
#include <QSaveFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {
// Ten times the simulator's own reaction time (poll, settle and the default delay).
constexpr int ReactionLimitMs = 3000;

void writeParameterFile(const QString &folder, const QByteArray &content)
{
    QSaveFile file(QDir(folder).filePath(QStringLiteral("EDVRAD.par")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
    QVERIFY(file.commit());
}

QStringList triggers(const QString &folder)
{
    return QDir(folder).entryList(QStringList(QStringLiteral("*.trg")), QDir::Files, QDir::Name);
}

QByteArray reportBytes(const QString &folder)
{
    QFile file(QDir(folder).filePath(QStringLiteral("GEN50RFT_A.xml")));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QDomElement reportElement(const QString &folder, const QString &tag)
{
    QDomDocument document;
    if (!document.setContent(reportBytes(folder)))
        return QDomElement();
    return document.documentElement().elementsByTagName(tag).at(0).toElement();
}
} // namespace

class TestConsoleSimulator : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir *dir = nullptr;
    QString folder;

private slots:
    void init()
    {
        dir = new QTemporaryDir;
        QVERIFY(dir->isValid());
        folder = dir->path();
    }
    void cleanup() { delete dir; }

    void answersAParameterFile()
    {
        TLKestrovanConsoleSimulator console;
        console.setExposure(81, 20, 320, 62.5, 3.25);
        QSignalSpy written(&console, &TLKestrovanConsoleSimulator::exposureWritten);
        QVERIFY(console.start(folder));
        writeParameterFile(folder, "RADID=AB12");
        QTRY_COMPARE_WITH_TIMEOUT(console.exposuresWritten(), 1, ReactionLimitMs);
        console.stop(); // the spy is read only once the worker has ended
        QCOMPARE(console.lastProcedureCode(), QStringLiteral("AB12"));
        QCOMPARE(reportElement(folder, QStringLiteral("RADID")).text(), QStringLiteral("AB12"));
        QCOMPARE(reportElement(folder, QStringLiteral("kv")).text(), QStringLiteral("81"));
        QCOMPARE(reportElement(folder, QStringLiteral("mAs")).text(), QStringLiteral("20"));
        QCOMPARE(reportElement(folder, QStringLiteral("ma")).text(), QStringLiteral("320"));
        QCOMPARE(reportElement(folder, QStringLiteral("ms")).text(), QStringLiteral("62.5"));
        QCOMPARE(reportElement(folder, QStringLiteral("mGy_cm2")).text(), QStringLiteral("3.25"));
        QCOMPARE(triggers(folder), QStringList(QStringLiteral("T9999999.trg")));
        QCOMPARE(console.lastTriggerFile(), QStringLiteral("T9999999.trg"));
        QCOMPARE(written.count(), 1);
        QCOMPARE(written.at(0).at(0).toString(), QStringLiteral("AB12"));
        QCOMPARE(written.at(0).at(1).toString(), QStringLiteral("T9999999.trg"));
        // Nothing half-written is left behind.
        QCOMPARE(QDir(folder).entryList(QDir::Files, QDir::Name),
                 QStringList({"EDVRAD.par", "GEN50RFT_A.xml", "T9999999.trg"}));
        QCOMPARE(console.lastError(), QString());
    }

    void newTriggerFilesSortFirst_data()
    {
        QTest::addColumn<bool>("keepOld");
        QTest::newRow("older ones removed") << false;
        QTest::newRow("older ones kept") << true;
    }
    void newTriggerFilesSortFirst()
    {
        QFETCH(bool, keepOld);
        TLKestrovanConsoleSimulator console;
        console.setKeepOldTriggers(keepOld);
        console.setResponseDelayMs(0);
        QVERIFY(console.start(folder));
        QStringList names;
        for (int round = 1; round <= 3; ++round) {
            // The same content each time: a replaced file counts, not a changed text.
            writeParameterFile(folder, "RADID=SAME");
            QTRY_COMPARE_WITH_TIMEOUT(console.exposuresWritten(), round, ReactionLimitMs);
            names.prepend(console.lastTriggerFile());
            QCOMPARE(triggers(folder).first(), console.lastTriggerFile());
        }
        QCOMPARE(triggers(folder), keepOld ? names : QStringList(names.first()));
        QCOMPARE(names.first(), QStringLiteral("T9999997.trg"));
    }

    void restartContinuesBelowEarlierTriggerFiles()
    {
        for (const char *name : {"T9999999.trg", "T9999990.trg", "a.trg"}) {
            QFile file(QDir(folder).filePath(QString::fromLatin1(name)));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        TLKestrovanConsoleSimulator console;
        QVERIFY(console.start(folder));
        writeParameterFile(folder, "RADID=X");
        QTRY_COMPARE_WITH_TIMEOUT(console.exposuresWritten(), 1, ReactionLimitMs);
        QCOMPARE(triggers(folder), QStringList(QStringLiteral("T9999989.trg")));
    }

    void reportOptions_data()
    {
        QTest::addColumn<int>("nesting");
        QTest::addColumn<bool>("comma");
        QTest::addColumn<QString>("mAs");
        QTest::addColumn<int>("ancestors"); // of the "kv" element
        QTest::newRow("plain") << 0 << false << "12.5" << 2;
        QTest::newRow("nested 5 deeper") << 5 << false << "12.5" << 7;
        QTest::newRow("decimal comma") << 0 << true << "12,5" << 2;
    }
    void reportOptions()
    {
        QFETCH(int, nesting);
        QFETCH(bool, comma);
        QFETCH(QString, mAs);
        QFETCH(int, ancestors);
        TLKestrovanConsoleSimulator console;
        console.setNestingDepth(nesting);
        console.setDecimalComma(comma);
        QVERIFY(console.start(folder));
        writeParameterFile(folder, "RADID=X");
        QTRY_COMPARE_WITH_TIMEOUT(console.exposuresWritten(), 1, ReactionLimitMs);
        QDomDocument document;
        QVERIFY(document.setContent(reportBytes(folder)));
        const QDomElement kv = document.elementsByTagName(QStringLiteral("kv")).at(0).toElement();
        QCOMPARE(kv.text(), QStringLiteral("70"));
        QCOMPARE(reportElement(folder, QStringLiteral("mAs")).text(), mAs);
        int depth = 0;
        for (QDomNode node = kv.parentNode(); node.isElement(); node = node.parentNode())
            ++depth;
        QCOMPARE(depth, ancestors);
    }

    void malformedReport()
    {
        TLKestrovanConsoleSimulator console;
        console.setMalformedReport(true);
        QVERIFY(console.start(folder));
        writeParameterFile(folder, "RADID=X");
        QTRY_COMPARE_WITH_TIMEOUT(console.exposuresWritten(), 1, ReactionLimitMs);
        const QByteArray bytes = reportBytes(folder);
        QVERIFY(bytes.contains("<kv>70</kv>"));
        QVERIFY(!QDomDocument().setContent(bytes));
    }

    void reportWithoutTriggerFile()
    {
        TLKestrovanConsoleSimulator console;
        console.setWriteTrigger(false);
        QVERIFY(console.start(folder));
        writeParameterFile(folder, "RADID=X");
        QTRY_COMPARE_WITH_TIMEOUT(console.exposuresWritten(), 1, ReactionLimitMs);
        QVERIFY(!reportBytes(folder).isEmpty());
        QCOMPARE(triggers(folder), QStringList());
    }

    void parameterFileFromBeforeTheStartIsNotAnswered()
    {
        writeParameterFile(folder, "RADID=OLD");
        TLKestrovanConsoleSimulator console;
        console.setResponseDelayMs(0);
        QVERIFY(console.start(folder));
        QTest::qWait(500); // many polls
        QCOMPARE(console.exposuresWritten(), 0);
        writeParameterFile(folder, "RADID=OLD");
        QTRY_COMPARE_WITH_TIMEOUT(console.exposuresWritten(), 1, ReactionLimitMs);
    }

    void parameterFileWithoutPrefixIsRefused()
    {
        TLKestrovanConsoleSimulator console;
        QVERIFY(console.start(folder));
        writeParameterFile(folder, "CODE=X");
        QTRY_VERIFY_WITH_TIMEOUT(!console.lastError().isEmpty(), ReactionLimitMs);
        QCOMPARE(console.exposuresWritten(), 0);
        QCOMPARE(triggers(folder), QStringList());
    }

    void stopEndsAResponseDelay()
    {
        TLKestrovanConsoleSimulator console;
        console.setResponseDelayMs(60 * 60 * 1000);
        QVERIFY(console.start(folder));
        writeParameterFile(folder, "RADID=LATE");
        QTRY_COMPARE_WITH_TIMEOUT(console.lastProcedureCode(), QStringLiteral("LATE"), ReactionLimitMs);
        console.stop(); // would hang for the hour if the delay ignored it
        QVERIFY(!console.isRunning());
        QCOMPARE(console.exposuresWritten(), 0);
        QVERIFY(reportBytes(folder).isEmpty());
    }

    void folderVanishingIsReported()
    {
        TLKestrovanConsoleSimulator console;
        console.setResponseDelayMs(300);
        QVERIFY(console.start(folder));
        writeParameterFile(folder, "RADID=X");
        QTRY_COMPARE_WITH_TIMEOUT(console.lastProcedureCode(), QStringLiteral("X"), ReactionLimitMs);
        QVERIFY(QDir(folder).removeRecursively());
        QTRY_VERIFY_WITH_TIMEOUT(console.lastError().contains(QLatin1String("GEN50RFT_A.xml")),
                                 ReactionLimitMs);
        QCOMPARE(console.exposuresWritten(), 0);
    }

    void startNeedsAnExistingFolder()
    {
        TLKestrovanConsoleSimulator console;
        QVERIFY(!console.start(QDir(folder).filePath(QStringLiteral("missing"))));
        QVERIFY(!console.isRunning());
        QVERIFY(!console.start(QString()));
    }
};

QTEST_GUILESS_MAIN(TestConsoleSimulator)
#include "tst_consolesimulator.moc"
