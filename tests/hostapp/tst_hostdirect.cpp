// kestrovan-host in direct mode against the generator simulator on a pseudo-terminal: a whole
// script, the trace relay, blocked follow-up queries and a lost link.

#include "TLHostGeneratorRig.h"
#include "TLHostProcess.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

namespace {
// Every wait of these tests is at least ten times what the protocol needs for it.
constexpr int CommandTimeoutMs = 30000;
// A lost link is noticed at the latest when a telegram goes unacknowledged for 8 s.
constexpr int LinkLossTimeoutMs = 40000;
constexpr int PollStepMs = TLHostGeneratorRig::PollStepMs;

QByteArray withoutCheckByte(QByteArray telegram)
{
    telegram.chop(1);
    return telegram;
}

bool isStatusPoll(const QByteArray &payload)
{
    return payload == "st?" || payload == "qs?";
}
} // namespace

class tst_HostDirect : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void scriptRunsAgainstTheGenerator();
    void lostLinkMarksTheDevice();
    void traceRecordsEveryByteBothWays();
    void blockedQueriesAreNotSent();

private:
    std::unique_ptr<TLHostGeneratorRig> rig;
};

void tst_HostDirect::init()
{
    rig.reset(new TLHostGeneratorRig);
    QVERIFY(rig->isReady());
}

void tst_HostDirect::cleanup()
{
    rig.reset();
}

void tst_HostDirect::scriptRunsAgainstTheGenerator()
{
    TLHostProcess host;
    QVERIFY(host.run(rig->arguments(), "init\n"
                                       "# a comment and a blank line are skipped\n"
                                       "\n"
                                       "set kv 70\n"
                                       "get kv\n"
                                       "limits\n"
                                       "last\n"
                                       "command version\n"
                                       "command isDapEnabled\n"
                                       "switchOff\n"));
    QCOMPARE(host.outputLines(),
             QStringList({QStringLiteral("ok"), QStringLiteral("ok"), QStringLiteral("ok 70"),
                          QStringLiteral("ok kv=40..150 mas=0.5..600 ma=1..800 ms=1..6000 density=-8..8"),
                          TLHostGeneratorRig::lastExposureLine(), QStringLiteral("ok V7.3"),
                          QStringLiteral("ok true"), QStringLiteral("ok")}));
    QCOMPARE(host.exitCode(), 0);
    // The value went over the line, and the generator was switched off at the end (a telegram
    // may come twice when its echo is late on a loaded machine).
    QVERIFY(rig->sim().countTelegramsFromDriver("kv70") >= 1);
    QVERIFY(rig->sim().countTelegramsFromDriver("on0") >= 1);
}

void tst_HostDirect::lostLinkMarksTheDevice()
{
    TLHostProcess host;
    QVERIFY(host.start(rig->arguments(QStringLiteral("notice")), "init\ndevice-state\n", true));
    QVERIFY2(host.waitForLine(QStringLiteral("ok 2"), CommandTimeoutMs), qPrintable(host.errorText()));
    rig->sim().hangUp();
    const bool marked = TLHostGeneratorRig::sleepUntil(
        host,
        [&] {
            host.write("device-state\n");
            return host.waitForLine(QStringLiteral("ok 4"), PollStepMs);
        },
        LinkLossTimeoutMs);
    host.write("quit\n");
    host.closeInput();
    QVERIFY(host.finish());
    QVERIFY2(marked, qPrintable(host.errorText()));
    QVERIFY(host.errorText().contains(QStringLiteral("serial port closed after error")));
    QVERIFY(!host.crashed());
}

void tst_HostDirect::traceRecordsEveryByteBothWays()
{
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const QString traceFile = folder.filePath(QStringLiteral("line.trace"));
    TLHostProcess host;
    QVERIFY(host.run(rig->arguments() + QStringList({QStringLiteral("--trace"), traceFile}),
                     "init\nset kv 70\nswitchOff\n"));
    QCOMPARE(host.exitCode(), 0);
    rig->sim().stop();

    QFile file(traceFile);
    QVERIFY(file.open(QIODevice::ReadOnly));
    static const QRegularExpression form(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{6} \\+\\d+\\.\\d{6} (TX|RX) +(\\d+) "
                       "\\| ([0-9a-f]{2}(?: [0-9a-f]{2})*) \\| (.*)$"));
    QByteArray toPort;
    QByteArray fromPort;
    // A telegram may arrive in more than one piece, so look for it in the stream: the line
    // that completes it, and an acknowledgement in a later line.
    const QByteArray kvTelegram = QByteArray::fromHex("6b7637309a");
    int kvLine = -1;
    int echoAfterKv = -1;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        const QString line = QString::fromLatin1(lines.at(i));
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const QRegularExpressionMatch match = form.match(line);
        QVERIFY2(match.hasMatch(), qPrintable(line));
        const QByteArray bytes = QByteArray::fromHex(match.captured(3).toLatin1());
        QCOMPARE(match.captured(2).toInt(), bytes.size());
        QByteArray printable = bytes;
        for (char &c : printable)
            c = (c >= 0x20 && c <= 0x7e) ? c : '.';
        QCOMPARE(match.captured(4).toLatin1(), printable);
        const bool tx = match.captured(1) == QLatin1String("TX");
        (tx ? toPort : fromPort) += bytes;
        if (tx && kvLine < 0 && toPort.contains(kvTelegram))
            kvLine = i;
        if (!tx && kvLine >= 0 && echoAfterKv < 0 && bytes.contains('\x9a'))
            echoAfterKv = i;
    }
    QVERIFY2(kvLine >= 0, "the kv 70 telegram is not in the trace");
    QVERIFY2(echoAfterKv > kvLine, "its acknowledgement is not in the trace");
    // Nothing was lost or added on the way through the relay.
    QCOMPARE(toPort, rig->sim().bytesFromDriver());
    QCOMPARE(fromPort, rig->sim().bytesToDriver());
}

void tst_HostDirect::blockedQueriesAreNotSent()
{
    TLHostProcess host;
    QVERIFY(host.run(rig->arguments(), "init\nblock-queries on\nset kv 75\nblock-queries off\n"
                                       "set kv 76\nswitchOff\n"));
    QStringList sixOks;
    for (int i = 0; i < 6; ++i)
        sixOks << QStringLiteral("ok");
    QCOMPARE(host.outputLines(), sixOks);
    QByteArrayList payloads;
    for (const QByteArray &telegram : rig->sim().telegramsFromDriver()) {
        // Status polls run in between; a repeated telegram counts once.
        const QByteArray payload = withoutCheckByte(telegram);
        if (!isStatusPoll(payload) && (payloads.isEmpty() || payloads.constLast() != payload))
            payloads << payload;
    }
    const int blocked = payloads.indexOf("kv75");
    const int open = payloads.indexOf("kv76");
    QVERIFY(blocked >= 0 && open > blocked);
    QCOMPARE(payloads.at(blocked + 1), QByteArray("kv76"));
    QCOMPARE(payloads.value(open + 1), QByteArray("kv?"));
}

QTEST_GUILESS_MAIN(tst_HostDirect)
#include "tst_hostdirect.moc"
