// The console-software simulator in a temporary folder: what it answers, how, and what not.

#include "TLKestrovanConsoleSimulator.h"
#include "TLTestMain.h"

#include <QSaveFile>
#include <QTemporaryDir>

constexpr int ReactionMs = 3000; // ten times its poll, settle and default delay
// Had it taken the file for a new one, it would have answered by then.
constexpr int NoAnswerWindowMs = 2 * TLKestrovanConsoleSimulator::DefaultResponseDelayMs;

class TestConsoleSimulator : public QObject
{
    Q_OBJECT

    QTemporaryDir folder;
    TLKestrovanConsoleSimulator console;

    void writeParameters(const QByteArray &content)
    {
        QSaveFile file(folder.filePath(QStringLiteral("EDVRAD.par")));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size() && file.commit());
    }
    // Answers a parameter file; then the files in the folder and the report, without blanks.
    QString answer(int exposures)
    {
        writeParameters("RADID=AB12"); // the same text each time: a replaced file counts
        if (!QTest::qWaitFor([&] { return console.exposuresWritten() == exposures; }, ReactionMs))
            return QStringLiteral("no answer");
        QFile report(folder.filePath(QStringLiteral("GEN50RFT_A.xml")));
        report.open(QIODevice::ReadOnly);
        return QDir(folder.path()).entryList(QDir::Files, QDir::Name).join(',') + '|'
               + QString::fromUtf8(report.readAll()).simplified().remove(QLatin1Char(' ')) + '|';
    }

private slots:
    void answersWithReportAndTrigger()
    {
        console.setExposure(81, 20, 320, 62.5, 3.25);
        QVERIFY(console.start(folder.path()));
        // Nothing half-written is left behind.
        QCOMPARE(answer(1),
                 "EDVRAD.par,GEN50RFT_A.xml,T9999999.trg|<?xmlversion=\"1.0\"encoding=\"UTF-8\"?><GEN50RFT_A>"
                 "<RADID>AB12</RADID><exposure><kv>81</kv><mAs>20</mAs><ma>320</ma><ms>62.5</ms>"
                 "<mGy_cm2>3.25</mGy_cm2></exposure></GEN50RFT_A>|");
        // Each new trigger file sorts first, and the older one goes.
        console.setNestingDepth(2);
        console.setDecimalComma(true);
        QString shown = answer(2);
        QVERIFY2(shown.startsWith("EDVRAD.par,GEN50RFT_A.xml,T9999998.trg|")
                     && shown.contains(
                         "</RADID><group><group><exposure><kv>81</kv><mAs>20</mAs><ma>320</ma><ms>62,5</ms>"),
                 qPrintable(shown));
        console.setWriteTrigger(false);
        console.setMalformedReport(true);
        shown = answer(3); // the older trigger file stays
        QVERIFY2(shown.startsWith("EDVRAD.par,GEN50RFT_A.xml,T9999998.trg|") && shown.endsWith("<ma>320|"),
                 qPrintable(shown));
    }

    void refusesWhatItShould()
    {
        QVERIFY(!console.start(folder.filePath(QStringLiteral("missing"))));
        writeParameters("RADID=OLD"); // there before the start: seen, not answered
        QVERIFY(console.start(folder.path()));
        QTest::qWait(NoAnswerWindowMs);
        writeParameters("CODE=X");
        QTRY_VERIFY_WITH_TIMEOUT(console.lastError().contains(QLatin1String("RADID=")), ReactionMs);
        console.setResponseDelayMs(300);
        writeParameters("RADID=GONE");
        QTRY_COMPARE_WITH_TIMEOUT(console.lastProcedureCode(), QStringLiteral("GONE"), ReactionMs);
        QVERIFY(folder.remove()); // while it waits to answer
        QTRY_VERIFY_WITH_TIMEOUT(console.lastError().contains(QLatin1String("GEN50RFT_A.xml")), ReactionMs);
        QCOMPARE(console.exposuresWritten(), 0);
    }
};

TL_TEST_MAIN(TestConsoleSimulator)
#include "tst_consolesimulator.moc"
