// Our stand-in host layer: the parts whose faults would look like faults of the driver.

#include "TLAbstractAlarmProvider.h"
#include "TLFileSystemHelper.h"
#include "TLTestMain.h"
#include "TLXRaySynchronizer.h"

#include <QTemporaryDir>
#include <thread>
#include <tuple>
#include <unistd.h>

class tst_HostLayer : public QObject
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
    void copyFileReplacesTheTargetOrFailsCleanly()
    {
        QTemporaryDir dir;
        const QString source = dir.filePath("source"), target = dir.filePath("EDVRAD.par");
        QVERIFY(write(source, "RADID=1") && write(target, "RADID=older, longer"));
        // A second name for the old file, as a reader that has it open.
        QCOMPARE(::link(qPrintable(target), qPrintable(dir.filePath("old"))), 0);
        for (const auto &[from, to, overwrite] : {std::tuple{dir.filePath("missing"), target, true},
                                                  {source, dir.filePath("nowhere/EDVRAD.par"), true},
                                                  {source, target, false}})
            QVERIFY(TLFileSystemHelper::copyFile(from, to, overwrite).details().contains(to));
        QCOMPARE(read(target), QByteArray("RADID=older, longer"));
        QVERIFY(TLFileSystemHelper::copyFile(source, target, true).isSuccess());
        // Renamed into place, never rewritten: the old file stays whole for whoever reads it.
        QCOMPARE(read(target) + '|' + read(dir.filePath("old")), QByteArray("RADID=1|RADID=older, longer"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), (QStringList{"EDVRAD.par", "old", "source"}));
    }

    void hostAnswersAtOnceLaterOrNever()
    {
        for (const auto &[delay, limit, agreed] :
             {std::tuple{0, 1500, true}, {200, 1500, true}, {800, 300, false}, {-1, 300, false}}) {
            TLXRaySynchronizer::instance()->setDetectorReadyAnswer(delay < 0 ? TLHostAnswer::never()
                                                                             : TLHostAnswer::after(delay));
            const QDeadlineTimer hostTime(agreed ? delay : limit, Qt::PreciseTimer);
            QCOMPARE(TLXRaySynchronizer::instance()->waitForDetectorReady(limit), agreed);
            QVERIFY(hostTime.hasExpired());
        }
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

TL_TEST_MAIN(tst_HostLayer)
#include "tst_hostlayer.moc"
