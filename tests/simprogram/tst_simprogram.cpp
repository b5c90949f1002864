// kestrovan-sim as a child process: what its options answer, and a run as a service, with standard
// input at its end or open, commands on its FIFO, its end by "quit" or a signal, and its trace read
// back as kestrovan-trace reads it.

#include "TLTestMain.h"
#include "TLTraceReader.h"

#include <QBuffer>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <csignal>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <unistd.h>

namespace {
constexpr int WaitMs = 20000; // far beyond a start or an answer on a loaded machine
constexpr int ReadStepMs = 100;
const QByteArray StatusQuery = QByteArray::fromHex("73743FB8"); // "st?" and its check byte
const QByteArray StatusReply = QByteArray::fromHex("737430B7"); // "st0"
} // namespace

class TestSimProgram : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        // A new one, without the previous case's redirections; the old one kills what still runs.
        process = std::make_unique<QProcess>();
        process->setProgram(QStringLiteral(KESTROVAN_SIM_PROGRAM));
        output.clear();
        errors.clear();
        ::close(std::exchange(slave, -1));
    }
    void usage_data();
    void usage();
    void service_data();
    void service();

private:
    QProcess &sim() { return *process; }
    // Collects what the program printed until seen() or its end; false when not seen in time.
    bool waitFor(const std::function<bool()> &seen)
    {
        for (QDeadlineTimer deadline(WaitMs); !seen(); sim().waitForReadyRead(ReadStepMs)) {
            output += sim().readAllStandardOutput();
            errors += sim().readAllStandardError();
            if (deadline.hasExpired() || sim().state() == QProcess::NotRunning)
                return seen();
        }
        return true;
    }
    // The generator's answer to a status query on the slave, echoed as a driver does.
    bool queryStatus()
    {
        if (::write(slave, StatusQuery.constData(), size_t(StatusQuery.size())) != StatusQuery.size())
            return false;
        QByteArray read;
        for (QDeadlineTimer deadline(WaitMs); !read.endsWith(StatusReply) && !deadline.hasExpired();) {
            char bytes[64];
            pollfd in{slave, POLLIN, 0};
            if (::poll(&in, 1, ReadStepMs) > 0 && (in.revents & POLLIN))
                read.append(bytes, int(std::max<ssize_t>(::read(slave, bytes, sizeof bytes), 0)));
        }
        return read == StatusQuery.right(1) + StatusReply
               && ::write(slave, StatusReply.constData() + 3, 1) == 1;
    }
    // All chunks; false when a line was skipped.
    static bool readTrace(QIODevice &&trace, QList<TLTraceChunk> &chunks)
    {
        if (!trace.open(QIODevice::ReadOnly))
            return false;
        TLTraceReader reader(trace);
        for (TLTraceChunk chunk; reader.next(chunk);)
            chunks << chunk;
        return reader.skippedLines() == 0;
    }
    static bool writeFifo(const QString &path, const QByteArray &line)
    {
        const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        const bool written = fd >= 0 && ::write(fd, line.constData(), size_t(line.size())) == line.size();
        ::close(fd);
        return written;
    }

    std::unique_ptr<QProcess> process;
    QByteArray output;
    QByteArray errors;
    int slave = -1;
    QTemporaryDir folder;
};

void TestSimProgram::usage_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("printed"); // on standard output, a pattern
    QTest::addColumn<QString>("message"); // on standard error, a part of it
    const QString notFifo = folder.filePath(QStringLiteral("plain"));
    QFile plain(notFifo);
    QVERIFY(plain.open(QIODevice::WriteOnly));
    const QString tryHelp = QStringLiteral("\nTry kestrovan-sim --help for the options.\n");
    const auto row = [](const char *name, const QStringList &arguments, int status, const QString &printed,
                        const QString &message) {
        QTest::newRow(name) << arguments << status << printed << message;
    };
    row("version", {"--version"}, 0, "^kestrovan-sim " KESTROVAN_VERSION "\n$", "");
    row("help with the defaults", {"--help"}, 0,
        "Delay of the power bit \\(default: 100 ms\\).*answers\\s+\\(default:\\s+3000 ms\\)", "");
    row("unknown option", {"--bogus"}, 2, "^$", "kestrovan-sim: Unknown option 'bogus'." + tryHelp);
    row("delay not a number", {"--step-delay", "soon"}, 2, "^$",
        "--step-delay needs a number of milliseconds, 0 or more, not \"soon\"" + tryHelp);
    row("an argument", {"pts"}, 2, "^$", "kestrovan-sim takes no arguments, not \"pts\"" + tryHelp);
    row("trace into no folder", {"--trace", "/nonexistent/sim.trace"}, 1, "^$",
        "kestrovan-sim: cannot write /nonexistent/sim.trace: ");
    row("control that is no FIFO", {"--control", notFifo}, 1, "^$",
        "kestrovan-sim: " + notFifo + " is not a FIFO\n");
}

void TestSimProgram::usage()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, printed);
    QFETCH(QString, message);
    sim().setArguments(arguments);
    sim().setStandardInputFile(QProcess::nullDevice());
    sim().start();
    QVERIFY(sim().waitForFinished(WaitMs));
    const QString out = QString::fromLocal8Bit(sim().readAllStandardOutput());
    const QString err = QString::fromLocal8Bit(sim().readAllStandardError());
    QCOMPARE(sim().exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim().exitCode(), status);
    QVERIFY2(out.contains(QRegularExpression(printed, QRegularExpression::DotMatchesEverythingOption)),
             qPrintable(out));
    QVERIFY2(message.isEmpty() ? err.isEmpty() : err.contains(message), qPrintable(err));
}

void TestSimProgram::service_data()
{
    QTest::addColumn<bool>("inputOpen");     // standard input stays open (or is at its end at once)
    QTest::addColumn<bool>("traceToOutput"); // --trace - (or a file)
    QTest::addColumn<QString>("end");        // "quit" on the FIFO or on standard input, or a signal
    QTest::newRow("input at its end, quit on the FIFO") << false << false << "fifo";
    QTest::newRow("input at its end, SIGTERM") << false << false << "SIGTERM";
    QTest::newRow("input open, SIGINT") << true << false << "SIGINT";
    QTest::newRow("quit on the input, trace on standard output") << true << true << "input";
}

void TestSimProgram::service()
{
    QFETCH(bool, inputOpen);
    QFETCH(bool, traceToOutput);
    QFETCH(QString, end);
    QTemporaryDir run;
    const QString fifo = run.filePath(QStringLiteral("control"));
    const QString tracePath = run.filePath(QStringLiteral("sim.trace"));
    const QString transcriptPath = run.filePath(QStringLiteral("transcript.trace"));
    const QByteArray startClock = TLTraceChunk::wallClock();
    sim().setArguments({"--control", fifo, "--trace", traceToOutput ? QStringLiteral("-") : tracePath});
    if (!inputOpen)
        sim().setStandardInputFile(QProcess::nullDevice());
    sim().start();
    // The answers go where the trace does not.
    QByteArray &answers = traceToOutput ? errors : output;
    const QRegularExpression slaveLine(QStringLiteral("^slave: (\\S+)\n"),
                                       QRegularExpression::MultilineOption);
    QVERIFY2(waitFor([&] { return slaveLine.match(QString::fromLocal8Bit(answers)).hasMatch(); }),
             answers.constData());
    if (!inputOpen)
        QVERIFY(waitFor([&] { return errors.contains("standard input ended; running on until \"quit\""); }));
    slave = ::open(qPrintable(slaveLine.match(QString::fromLocal8Bit(answers)).captured(1)),
                   O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    QVERIFY(slave >= 0);
    QVERIFY(queryStatus());
    QVERIFY(writeFifo(fifo, "get kv\nerror abc\ntranscript " + QFile::encodeName(transcriptPath) + '\n'));
    QVERIFY2(waitFor([&] {
                 return answers.contains("\nkv=70\nerror: cannot run \"error abc\": CODE must be a whole "
                                         "number (error-codes sends other spellings)\nok\n");
             }),
             answers.constData());

    if (end == QLatin1String("fifo"))
        QVERIFY(writeFifo(fifo, "quit\n"));
    else if (end == QLatin1String("input"))
        QVERIFY(sim().write("quit\n") == 5 && sim().waitForBytesWritten(WaitMs));
    else
        QCOMPARE(::kill(pid_t(sim().processId()), end == QLatin1String("SIGINT") ? SIGINT : SIGTERM), 0);
    QVERIFY(sim().waitForFinished(WaitMs));
    waitFor([] { return false; }); // what is left
    QCOMPARE(sim().exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim().exitCode(), 0);
    QVERIFY2(!QFileInfo::exists(fifo), "the FIFO it made is left behind");

    const QByteArray endClock = TLTraceChunk::wallClock();

    QList<TLTraceChunk> chunks;
    QList<TLTraceChunk> transcript;
    QVERIFY(traceToOutput ? readTrace(QBuffer(&output), chunks) : readTrace(QFile(tracePath), chunks));
    QVERIFY(readTrace(QFile(transcriptPath), transcript));
    QVERIFY(chunks.size() >= 3 && transcript.size() >= 3);
    QCOMPARE(chunks.at(0).direction, TLTraceChunk::Direction::Tx);
    QCOMPARE(chunks.at(0).bytes, StatusQuery);
    QCOMPARE(chunks.at(1).direction, TLTraceChunk::Direction::Rx);
    QCOMPARE(chunks.at(1).bytes + chunks.at(2).bytes, StatusQuery.right(1) + StatusReply);
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(transcript.at(i).line(), chunks.at(i).line());
        QVERIFY2(chunks.at(i).clock > startClock && chunks.at(i).clock < endClock, chunks.at(i).clock);
    }
}

TL_TEST_MAIN(TestSimProgram)
#include "tst_simprogram.moc"
