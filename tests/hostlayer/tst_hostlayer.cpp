#include "TLAbstractAlarmProvider.h"
#include "TLFileSystemHelper.h"
#include "TLHostAnswer.h"
#include "TLHostApplication.h"
#include "TLHostCallLog.h"
#include "TLXRaySynchronizer.h"

#include <QtTest>

#include <sys/stat.h>

namespace {
ino_t inode(const QString &path)
{
    struct stat info
    {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_ino : 0;
}
} // namespace

// The parts of our host stand-in that the driver's behaviour depends on.
class TestHostLayer : public QObject
{
    Q_OBJECT

private slots:
    void init() { TLHostApplication::host()->clearRecords(); }
    void errorConditionsLogWhileAutoLoggingIsOn();
    void adaptPath_data();
    void adaptPath();
    void copyReplacesDestinationInOneStep();
    void copyFailures_data();
    void copyFailures();
    void answers_data();
    void answers();
    void alarmsAreRecordedFromAnyThread();
};

void TestHostLayer::errorConditionsLogWhileAutoLoggingIsOn()
{
    TLHostApplication *host = TLHostApplication::host();
    const TLCondition error = TLCondition::error(QStringLiteral("kaputt"), QStringLiteral("details"));
    QVERIFY(error.isError() && !error.isSuccess());
    QCOMPARE(error.text(), QStringLiteral("kaputt"));
    QCOMPARE(error.details(), QStringLiteral("details"));
    QCOMPARE(host->logTexts(QStringLiteral("CONDITION")), QStringList{QStringLiteral("kaputt")});

    TLCondition::enableAutoLoggingErrors(false);
    TLCondition::error(QStringLiteral("still"));
    TLCondition::enableAutoLoggingErrors(true);
    QVERIFY(TLCondition::warning(QStringLiteral("warn")).isWarning());
    QCOMPARE(host->logTexts(QStringLiteral("CONDITION")).size(), 1);
    QVERIFY(TLCondition().isSuccess());
    QCOMPARE(QMetaType::type("TLCondition") != QMetaType::UnknownType, true);
}

void TestHostLayer::adaptPath_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expected");
    QTest::newRow("backslashes") << "C:\\data\\EDVRAD.par"
                                 << "C:/data/EDVRAD.par";
    QTest::newRow("mixed") << "/srv\\comm/GEN50RFT_A.xml"
                           << "/srv/comm/GEN50RFT_A.xml";
    QTest::newRow("empty") << ""
                           << "";
}

void TestHostLayer::adaptPath()
{
    QFETCH(QString, path);
    QFETCH(QString, expected);
    QCOMPARE(TLFileSystemHelper::adaptFileOrPathToSystem(path), QDir::toNativeSeparators(expected));
}

void TestHostLayer::copyReplacesDestinationInOneStep()
{
    QTemporaryDir dir;
    const QString source = dir.filePath(QStringLiteral("source"));
    const QString target = dir.filePath(QStringLiteral("EDVRAD.par"));
    QFile in(source);
    QVERIFY(in.open(QIODevice::WriteOnly));
    in.write("RADID=1234");
    in.close();
    QFile old(target);
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write("RADID=a much longer old code");
    old.close();
    const ino_t oldInode = inode(target);

    QVERIFY(TLFileSystemHelper::copyFile(source, target, true).isSuccess());
    QFile result(target);
    QVERIFY(result.open(QIODevice::ReadOnly));
    QCOMPARE(result.readAll(), QByteArray("RADID=1234"));
    // Replaced by a rename, not rewritten in place: a reader never sees a mixture.
    QVERIFY(inode(target) != oldInode);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), 2);
}

void TestHostLayer::copyFailures_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("overwrite");
    QTest::newRow("source missing") << "missing"
                                    << "target" << true;
    QTest::newRow("target folder missing") << "source"
                                           << "nowhere/target" << true;
    QTest::newRow("target exists, no overwrite") << "source"
                                                 << "source" << false;
}

void TestHostLayer::copyFailures()
{
    QFETCH(QString, source);
    QFETCH(QString, target);
    QFETCH(bool, overwrite);
    QTemporaryDir dir;
    QFile existing(dir.filePath(QStringLiteral("source")));
    QVERIFY(existing.open(QIODevice::WriteOnly));
    existing.write("x");
    existing.close();
    const TLCondition result =
        TLFileSystemHelper::copyFile(dir.filePath(source), dir.filePath(target), overwrite);
    QVERIFY(result.isError());
    QVERIFY(!result.text().isEmpty());
    QVERIFY(result.details().contains(dir.filePath(target)));
    // Nothing half-written is left behind.
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("source")});
}

void TestHostLayer::answers_data()
{
    QTest::addColumn<int>("delay");
    QTest::addColumn<int>("limit");
    QTest::addColumn<bool>("agreed");
    QTest::addColumn<int>("minimumWait");
    QTest::newRow("at once") << 0 << 1500 << true << 0;
    QTest::newRow("after 200 ms") << 200 << 1500 << true << 200;
    QTest::newRow("later than the limit") << 800 << 300 << false << 300;
    QTest::newRow("never: the full limit") << -1 << 300 << false << 300;
}

void TestHostLayer::answers()
{
    QFETCH(int, delay);
    QFETCH(int, limit);
    QFETCH(bool, agreed);
    QFETCH(int, minimumWait);
    TLXRaySynchronizer *sync = TLXRaySynchronizer::instance();
    sync->setDetectorReadyAnswer(delay < 0    ? TLHostAnswer::never()
                                 : delay == 0 ? TLHostAnswer::atOnce()
                                              : TLHostAnswer::after(delay));
    TLHostCallLog::clear();
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(sync->waitForDetectorReady(limit), agreed);
    QVERIFY(timer.elapsed() >= minimumWait);
    QCOMPARE(TLHostCallLog::calls(),
             QStringList{QStringLiteral("TLXRaySynchronizer::waitForDetectorReady(%1)").arg(limit)});
    sync->setDetectorReadyAnswer(TLHostAnswer::atOnce());
}

void TestHostLayer::alarmsAreRecordedFromAnyThread()
{
    TLHostApplication *host = TLHostApplication::host();
    QThread *thread = QThread::create([host] {
        for (int i = 0; i < 100; ++i) {
            host->alarm()->handle(TLCondition::warning(QString::number(i)), QString(), false);
            host->log(QStringLiteral("KESTROVAN"), QString::number(i), LogLevel::Info);
        }
    });
    thread->start();
    for (int i = 0; i < 100; ++i)
        host->log(QStringLiteral("OTHER"), QString::number(i), LogLevel::Debug);
    QVERIFY(thread->wait(5000));
    delete thread;
    QCOMPARE(host->alarms().size(), 100);
    QCOMPARE(host->alarms().at(99).condition.text(), QStringLiteral("99"));
    QCOMPARE(host->logTexts().size(), 100);
    QCOMPARE(host->logTexts(QStringLiteral("OTHER")).size(), 100);
}

int main(int argc, char **argv)
{
    TLHostApplication app(argc, argv);
    TestHostLayer test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_hostlayer.moc"
