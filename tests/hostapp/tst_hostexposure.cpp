// kestrovan-host in direct mode: the exposure handshake follows the host's answers given as
// options, and generator errors reach the alarm, in the language chosen.

#include "TLHostGeneratorRig.h"
#include "TLHostProcess.h"

#include <QtTest>

#include <memory>

namespace {
// Every wait of these tests is at least ten times what the protocol needs for it.
constexpr int CommandTimeoutMs = 30000;
constexpr int ExposureTimeoutMs = 20000;
constexpr int AlarmTimeoutMs = 15000;

using Outcome = TLKestrovanGeneratorSimulator::ExposureOutcome;
} // namespace

class tst_HostExposure : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void exposureFollowsTheHostAnswers_data();
    void exposureFollowsTheHostAnswers();
    void generatorErrorReachesTheAlarm_data();
    void generatorErrorReachesTheAlarm();

private:
    std::unique_ptr<TLHostGeneratorRig> rig;
};

void tst_HostExposure::init()
{
    rig.reset(new TLHostGeneratorRig);
    QVERIFY(rig->isReady());
}

void tst_HostExposure::cleanup()
{
    rig.reset();
}

void tst_HostExposure::exposureFollowsTheHostAnswers_data()
{
    QTest::addColumn<QStringList>("answers");
    QTest::addColumn<bool>("released");
    QTest::newRow("host agrees") << QStringList() << true;
    QTest::newRow("detector ready after 200 ms")
        << QStringList({QStringLiteral("--detector-ready"), QStringLiteral("200")}) << true;
    QTest::newRow("locked") << QStringList({QStringLiteral("--locked")}) << false;
    QTest::newRow("detector never ready")
        << QStringList({QStringLiteral("--detector-ready"), QStringLiteral("no")}) << false;
    QTest::newRow("window never opens")
        << QStringList({QStringLiteral("--window-open"), QStringLiteral("no")}) << false;
}

void tst_HostExposure::exposureFollowsTheHostAnswers()
{
    QFETCH(QStringList, answers);
    QFETCH(bool, released);

    TLHostProcess host;
    QVERIFY(host.start(rig->arguments() + answers, "init\n", true));
    QVERIFY2(host.waitForLine(QStringLiteral("ok"), CommandTimeoutMs), qPrintable(host.errorText()));
    QVERIFY(rig->sim().runExposure());
    QVERIFY(rig->sim().waitForExposureDone(ExposureTimeoutMs));
    QCOMPARE(rig->sim().exposureOutcome(), released ? Outcome::Completed : Outcome::NotReleased);
    QCOMPARE(rig->sim().countTelegramsFromDriver("xr81") > 0, released);
    host.write("last\nquit\n");
    host.closeInput();
    QVERIFY(host.finish());
    QCOMPARE(host.outputLines().value(1), TLHostGeneratorRig::lastExposureLine());
    QCOMPARE(host.exitCode(), 0);
}

void tst_HostExposure::generatorErrorReachesTheAlarm_data()
{
    QTest::addColumn<QString>("language");
    QTest::addColumn<QString>("alarm");
    QTest::newRow("German") << QStringLiteral("de") << QStringLiteral("ALARM Generatorfehler: 105\\n");
    QTest::newRow("English") << QStringLiteral("en") << QStringLiteral("ALARM Generator error: 105\\n");
}

void tst_HostExposure::generatorErrorReachesTheAlarm()
{
    QFETCH(QString, language);
    QFETCH(QString, alarm);

    TLHostProcess host;
    QVERIFY(
        host.start(rig->arguments() + QStringList({QStringLiteral("--language"), language}), "init\n", true));
    QVERIFY2(host.waitForLine(QStringLiteral("ok"), CommandTimeoutMs), qPrintable(host.errorText()));
    rig->sim().injectError("105");
    // The alarm comes from the driver's status poll and a queued hop into the main thread:
    // it shows only while the program's event loop runs, here in its sleeps.
    const bool shown = TLHostGeneratorRig::sleepUntil(
        host, [&] { return host.errorText().contains(alarm); }, AlarmTimeoutMs);
    host.write("quit\n");
    host.closeInput();
    QVERIFY(host.finish());
    QVERIFY2(shown, qPrintable(host.errorText()));
    const QString line = host.errorText().split(QLatin1Char('\n')).filter(alarm).value(0);
    // The catalogue's description follows, after the line of blanks, on the same printed line.
    QVERIFY2(line.endsWith(QStringLiteral("\\nRöhrenüberlast")), qPrintable(line));
    QCOMPARE(host.exitCode(), 0);
}

QTEST_GUILESS_MAIN(tst_HostExposure)
#include "tst_hostexposure.moc"
