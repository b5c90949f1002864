// Our stand-in host layer: the parts whose faults would look like faults of the driver.

#include "TLAbstractAlarmProvider.h"
#include "TLFileSystemHelper.h"
#include "TLTestMain.h"
#include "TLXRaySynchronizer.h"

#include <QTemporaryDir>
#include <thread>
#include <unistd.h>

class TestHostLayer : public QObject
{
    Q_OBJECT

    static bool write(const QString &path, const QByteArray &content)
    {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
    }
    static QByteArray read(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private slots:
    void copyFileReplacesTheTargetOrFailsCleanly_data()
    {
        QTest::addColumn<QString>("from"); // in the folder
        QTest::addColumn<QString>("to");
        QTest::addColumn<bool>("overwrite");
        QTest::addColumn<bool>("copied");
        QTest::newRow("replaced") << "source"
                                  << "EDVRAD.par" << true << true;
        QTest::newRow("source missing") << "missing"
                                        << "EDVRAD.par" << true << false;
        QTest::newRow("target folder missing") << "source"
                                               << "nowhere/EDVRAD.par" << true << false;
        QTest::newRow("target there, no overwrite") << "source"
                                                    << "EDVRAD.par" << false << false;
    }
    void copyFileReplacesTheTargetOrFailsCleanly()
    {
        QFETCH(QString, from);
        QFETCH(QString, to);
        QFETCH(bool, overwrite);
        QFETCH(bool, copied);
        QTemporaryDir dir;
        const QString target = dir.filePath("EDVRAD.par");
        QVERIFY(write(dir.filePath("source"), "RADID=1") && write(target, "RADID=older, longer"));
        // A second name for the old file, as a reader that has it open.
        QCOMPARE(::link(qPrintable(target), qPrintable(dir.filePath("old"))), 0);
        const TLCondition result =
            TLFileSystemHelper::copyFile(dir.filePath(from), dir.filePath(to), overwrite);
        QCOMPARE(result.isSuccess(), copied);
        if (!copied)
            QVERIFY(result.details().contains(dir.filePath(to)));
        // Renamed into place, never rewritten: the old file stays whole for whoever reads it.
        QCOMPARE(read(target) + '|' + read(dir.filePath("old")),
                 QByteArray(copied ? "RADID=1" : "RADID=older, longer") + "|RADID=older, longer");
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), (QStringList{"EDVRAD.par", "old", "source"}));
    }

    void hostAnswersAtOnceLaterOrNever_data()
    {
        QTest::addColumn<int>("delayMs"); // -1: never
        QTest::addColumn<int>("limitMs");
        QTest::addColumn<bool>("agreed");
        QTest::newRow("at once") << 0 << 1500 << true;
        QTest::newRow("later, within the limit") << 200 << 1500 << true;
        QTest::newRow("later than the limit") << 800 << 300 << false;
        QTest::newRow("never") << -1 << 300 << false;
    }
    void hostAnswersAtOnceLaterOrNever()
    {
        QFETCH(int, delayMs);
        QFETCH(int, limitMs);
        QFETCH(bool, agreed);
        TLXRaySynchronizer::instance()->setDetectorReadyAnswer(delayMs < 0 ? TLHostAnswer::never()
                                                                           : TLHostAnswer::after(delayMs));
        const QDeadlineTimer hostTime(agreed ? delayMs : limitMs, Qt::PreciseTimer);
        QCOMPARE(TLXRaySynchronizer::instance()->waitForDetectorReady(limitMs), agreed);
        QVERIFY(hostTime.hasExpired());
    }

    void conditionsAlarmsAndLogLinesFromAnyThread()
    {
        TLHostApplication *host = TLHostApplication::host();
        host->clearRecords();
        TLCondition::error(QStringLiteral("logged"));
        TLCondition::enableAutoLoggingErrors(false);
        TLCondition::error(QStringLiteral("quiet"));
        TLCondition::enableAutoLoggingErrors(true);
        std::thread link([host] {
            for (int i = 0; i < 100; ++i)
                host->alarm()->handle(TLCondition::warning(QString::number(i)), QString(), false);
        });
        for (int i = 0; i < 100; ++i)
            host->log(QStringLiteral("OTHER"), QString::number(i), LogLevel::Debug);
        link.join();
        QCOMPARE(host->logTexts(QStringLiteral("CONDITION")), QStringList{"logged"}); // errors only, while on
        QCOMPARE(host->alarms().size() + host->logTexts(QStringLiteral("OTHER")).size(), 200);
    }
};

TL_TEST_MAIN(TestHostLayer)
#include "tst_hostlayer.moc"
