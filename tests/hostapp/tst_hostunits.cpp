// The parts of kestrovan-host that can be tried without the program: the options, the result
// lines and the trace relay between two pseudo-terminals.

#include "TLCondition.h"
#include "TLHostCommandLine.h"
#include "TLHostScriptRunner.h"
#include "TLPseudoTerminal.h"
#include "TLSerialTraceRelay.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {
constexpr int RelayTimeoutMs = 5000; // the relay forwards within about a millisecond

QStringList withProgram(const QStringList &arguments)
{
    return QStringList({QStringLiteral("kestrovan-host")}) + arguments;
}

// Reads what arrives on fd until it holds count bytes or the time is up.
QByteArray readBytes(int fd, int count)
{
    QByteArray bytes;
    QElapsedTimer timer;
    timer.start();
    while (bytes.size() < count && timer.elapsed() < RelayTimeoutMs) {
        pollfd in{fd, POLLIN, 0};
        if (::poll(&in, 1, 50) <= 0)
            continue;
        if (in.revents & (POLLHUP | POLLERR))
            break;
        char buffer[256];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        bytes.append(buffer, static_cast<int>(n));
    }
    return bytes;
}
} // namespace

class tst_HostUnits : public QObject
{
    Q_OBJECT

private slots:
    void defaults();
    void optionsAreParsed();
    void configurationFileIsMerged();
    void resultLines_data();
    void resultLines();
    void traceLineForm();
    void relayForwardsAndRecordsBothWays();
    void relayPassesAHangUpOn();
};

void tst_HostUnits::defaults()
{
    TLHostCommandLine options;
    QCOMPARE(options.parse(withProgram({})), TLHostCommandLine::Outcome::Run);
    QCOMPARE(options.mode(), TLHostCommandLine::Mode::Demo);
    QCOMPARE(options.targetCodes(), (std::array<quint32, 3>{{1, 2, 3}}));
    QCOMPARE(options.logLevel(), LogLevel::Info);
    QCOMPARE(options.deviceFolder(), QStringLiteral("kestrovan"));
    QCOMPARE(options.language(), QStringLiteral("de"));
    QVERIFY(!options.locked());
    QCOMPARE(options.detectorReady().delayMs(), 0);
    QCOMPARE(options.windowOpen().delayMs(), 0);
}

void tst_HostUnits::optionsAreParsed()
{
    TLHostCommandLine options;
    QCOMPARE(options.parse(withProgram(
                 {QStringLiteral("--port"), QStringLiteral("/dev/ttyS3"), QStringLiteral("--target-codes"),
                  QStringLiteral("1, 2,12"), QStringLiteral("--detector-ready"), QStringLiteral("250"),
                  QStringLiteral("--window-open"), QStringLiteral("NO"), QStringLiteral("--log-level"),
                  QStringLiteral("Trace"), QStringLiteral("--locked"), QStringLiteral("run.txt")})),
             TLHostCommandLine::Outcome::Run);
    QCOMPARE(options.mode(), TLHostCommandLine::Mode::Direct);
    QCOMPARE(options.port(), QStringLiteral("/dev/ttyS3"));
    QCOMPARE(options.targetCodes(), (std::array<quint32, 3>{{1, 2, 12}}));
    QCOMPARE(options.detectorReady().delayMs(), 250);
    QVERIFY(options.windowOpen().isNever());
    QCOMPARE(options.logLevel(), LogLevel::Trace);
    QVERIFY(options.locked());
    QCOMPARE(options.script(), QStringLiteral("run.txt"));

    TLHostCommandLine twice;
    QCOMPARE(twice.parse(withProgram({QStringLiteral("--port"), QStringLiteral("a"), QStringLiteral("--port"),
                                      QStringLiteral("b")})),
             TLHostCommandLine::Outcome::BadUsage);
    QVERIFY(twice.errorText().contains(QStringLiteral("more than once")));
}

void tst_HostUnits::configurationFileIsMerged()
{
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const QString path = folder.filePath(QStringLiteral("host.ini"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    // An unquoted list, a flag, and a key the command line overrides.
    file.write("port=/dev/ttyUSB0\ntarget-codes=4,5,6\nlocked=yes\nlog-level=debug\n"
               "[General]\nprocedure-code=KNEE\n");
    file.close();

    TLHostCommandLine options;
    QCOMPARE(options.parse(withProgram(
                 {QStringLiteral("--config"), path, QStringLiteral("--log-level"), QStringLiteral("error")})),
             TLHostCommandLine::Outcome::Run);
    QCOMPARE(options.mode(), TLHostCommandLine::Mode::Direct);
    QCOMPARE(options.port(), QStringLiteral("/dev/ttyUSB0"));
    QCOMPARE(options.targetCodes(), (std::array<quint32, 3>{{4, 5, 6}}));
    QVERIFY(options.locked());
    QCOMPARE(options.logLevel(), LogLevel::Error);
    QCOMPARE(options.procedureCode(), QStringLiteral("KNEE"));

    // A mode from the file and the other on the command line still exclude each other.
    TLHostCommandLine both;
    QCOMPARE(both.parse(withProgram(
                 {QStringLiteral("--config"), path, QStringLiteral("--indirect"), folder.path()})),
             TLHostCommandLine::Outcome::BadUsage);
}

void tst_HostUnits::resultLines_data()
{
    QTest::addColumn<TLCondition>("condition");
    QTest::addColumn<QString>("okText");
    QTest::addColumn<QString>("line");
    QTest::newRow("success") << TLCondition() << QString() << QStringLiteral("ok");
    QTest::newRow("success with value")
        << TLCondition() << QStringLiteral("V1.2") << QStringLiteral("ok V1.2");
    QTest::newRow("warning with two lines and details")
        << TLCondition::warning(QStringLiteral("Erste Zeile.\nZweite Zeile."), QStringLiteral("/tmp/x"))
        << QStringLiteral("ignored") << QStringLiteral("warning: Erste Zeile.\\nZweite Zeile. (/tmp/x)");
    QTest::newRow("error") << TLCondition::error(QStringLiteral("Fokus nicht bereit.")) << QString()
                           << QStringLiteral("error: Fokus nicht bereit.");
}

void tst_HostUnits::resultLines()
{
    QFETCH(TLCondition, condition);
    QFETCH(QString, okText);
    QFETCH(QString, line);
    TLCondition::enableAutoLoggingErrors(false);
    QCOMPARE(TLHostScriptRunner::resultLine(TLHostScriptRunner::fromCondition(condition, okText)), line);
}

void tst_HostUnits::traceLineForm()
{
    QCOMPARE(TLSerialTraceRelay::traceLine("2025-01-31 12:00:00.000001", 4021,
                                           TLSerialTraceRelay::Direction::ToPort,
                                           QByteArray::fromHex("6b76 3730 9a")),
             QByteArray("2025-01-31 12:00:00.000001 +0.004021 TX  5 | 6b 76 37 30 9a | kv70."));
    QCOMPARE(TLSerialTraceRelay::traceLine("T", 12345678, TLSerialTraceRelay::Direction::FromPort,
                                           QByteArray("\x00\x1f ~\x7f\xff", 6)),
             QByteArray("T +12.345678 RX  6 | 00 1f 20 7e 7f ff | .. ~.."));
}

void tst_HostUnits::relayForwardsAndRecordsBothWays()
{
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    TLPseudoTerminal line; // the far end of the "real" port
    QVERIFY(line.open());
    TLSerialTraceRelay relay;
    const QString traceFile = folder.filePath(QStringLiteral("t.trace"));
    QVERIFY2(relay.start(line.slavePath(), traceFile), qPrintable(relay.errorString()));

    const int driverSide = ::open(QFile::encodeName(relay.slavePath()).constData(), O_RDWR | O_NOCTTY);
    QVERIFY(driverSide >= 0);
    // All 256 byte values, so that no line discipline may eat or change any of them.
    char raw[256];
    for (int i = 0; i < 256; ++i)
        raw[i] = static_cast<char>(i);
    const QByteArray everyByte(raw, sizeof raw);
    QCOMPARE(::write(driverSide, raw, sizeof raw), ssize_t(sizeof raw));
    QByteArray arrived;
    QElapsedTimer timer;
    timer.start();
    while (arrived.size() < 256 && timer.elapsed() < RelayTimeoutMs)
        arrived += line.read(50);
    QCOMPARE(arrived, everyByte);

    QVERIFY(line.write("\x9a"
                       "ab"));
    QCOMPARE(readBytes(driverSide, 3), QByteArray("\x9a"
                                                  "ab"));
    QTRY_COMPARE_WITH_TIMEOUT(relay.bytesFromPort(), qint64(3), RelayTimeoutMs);
    ::close(driverSide);
    relay.stop();

    QFile trace(traceFile);
    QVERIFY(trace.open(QIODevice::ReadOnly));
    QByteArray toPort;
    QByteArray fromPort;
    for (const QByteArray &entry : trace.readAll().split('\n')) {
        const QList<QByteArray> fields = entry.split('|');
        if (entry.startsWith('#') || fields.size() < 3)
            continue;
        const QByteArray bytes = QByteArray::fromHex(fields.at(1).trimmed().replace(' ', ""));
        (fields.at(0).contains(" TX ") ? toPort : fromPort) += bytes;
    }
    QCOMPARE(toPort, everyByte);
    QCOMPARE(fromPort, QByteArray("\x9a"
                                  "ab"));
}

void tst_HostUnits::relayPassesAHangUpOn()
{
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    TLPseudoTerminal line;
    QVERIFY(line.open());
    TLSerialTraceRelay relay;
    QVERIFY(relay.start(line.slavePath(), folder.filePath(QStringLiteral("t.trace"))));
    const int driverSide = ::open(QFile::encodeName(relay.slavePath()).constData(), O_RDWR | O_NOCTTY);
    QVERIFY(driverSide >= 0);

    line.hangUp();
    // The driver's side sees the hang-up as it would on the real port.
    pollfd in{driverSide, POLLIN, 0};
    QElapsedTimer timer;
    timer.start();
    bool hungUp = false;
    while (!hungUp && timer.elapsed() < RelayTimeoutMs) {
        if (::poll(&in, 1, 50) > 0 && (in.revents & POLLHUP))
            hungUp = true;
    }
    ::close(driverSide);
    relay.stop();
    QVERIFY(hungUp);
    QFile trace(folder.filePath(QStringLiteral("t.trace")));
    QVERIFY(trace.open(QIODevice::ReadOnly));
    QVERIFY(trace.readAll().contains("hung up"));
}

QTEST_GUILESS_MAIN(tst_HostUnits)
#include "tst_hostunits.moc"
