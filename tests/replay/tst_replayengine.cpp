// The replay's rules without a terminal: a trace written out, the driver's telegrams fed at
// their times, and what the replay sends when, in milliseconds.

#include "TLKestrovanReplayEngine.h"
#include "TLKestrovanSimulatedLine.h"
#include "TLTestMain.h"
#include "TLTraceChunk.h"

#include <QBuffer>

#include <algorithm>

using Engine = TLKestrovanReplayEngine;

namespace {
// After the driver's last telegram: longer than the match window, so that every recorded
// telegram has matched or passed.
constexpr qint64 AfterwardsUs = 10 * Engine::MatchWindowUs;

// Tokens: "on1" a telegram, "^on1" only its echo (check byte), "#dead" bytes in hexadecimal.
QByteArray bytesOf(const QStringList &tokens)
{
    QByteArray bytes;
    for (const QString &token : tokens) {
        const QByteArray text = token.mid(1).toLatin1();
        if (token.startsWith(QLatin1Char('^')))
            bytes += TLKestrovanSimulatedLine::telegram(text).right(1);
        else if (token.startsWith(QLatin1Char('#')))
            bytes += QByteArray::fromHex(text);
        else
            bytes += TLKestrovanSimulatedLine::telegram(token.toLatin1());
    }
    return bytes;
}

// "MS TOKEN..." as "MS HEX", the form in which the rows name what is sent.
QString sentForm(const QString &event)
{
    const QStringList words = event.split(QLatin1Char(' '));
    return words.front() + QLatin1Char(' ') + QString::fromLatin1(bytesOf(words.mid(1)).toHex(' '));
}

// Lines "TX|RX MS TOKEN..." as a trace file.
QByteArray traceOf(const QStringList &lines)
{
    QByteArray trace = "# written by the test\n";
    for (const QString &line : lines) {
        const QStringList words = line.split(QLatin1Char(' '));
        TLTraceChunk chunk;
        chunk.direction =
            words.at(0) == QLatin1String("TX") ? TLTraceChunk::Direction::Tx : TLTraceChunk::Direction::Rx;
        chunk.elapsedUs = words.at(1).toLongLong() * 1000;
        chunk.clock = "2025-01-31 12:00:00.000000";
        chunk.bytes = bytesOf(words.mid(2));
        trace += chunk.line() + '\n';
    }
    return trace;
}

TLKestrovanReplayRecord recordOf(const QByteArray &trace)
{
    TLKestrovanReplayRecord record;
    QBuffer buffer;
    buffer.setData(trace);
    buffer.open(QIODevice::ReadOnly);
    record.read(buffer);
    return record;
}
} // namespace

class TestReplayEngine : public QObject
{
    Q_OBJECT

private slots:
    void replay_data()
    {
        QTest::addColumn<QStringList>("trace");  // "TX|RX MS TOKEN..."
        QTest::addColumn<QStringList>("driver"); // "MS TOKEN...", in time order
        QTest::addColumn<bool>("stop");          // --on-divergence stop
        QTest::addColumn<QStringList>("sent");   // "MS TOKEN..."
        QTest::addColumn<int>("divergences");
        QTest::addColumn<QString>("report"); // in the reports, when not empty

        const QStringList kv81 = {"TX 1000 on1",   "RX 1001 ^on1", "TX 1200 kv81",
                                  "RX 1201 ^kv81", "TX 1300 kv?",  "RX 1301 ^kv? kv81"};
        QTest::newRow("the record's clock starts with the driver; answers keep their delays")
            << QStringList{"TX 1000 on1", "RX 1001 ^on1", "TX 2000 st?", "RX 2004 ^st? st4096"}
            << QStringList{"500 on1", "1700 st?"} << false << QStringList{"501 ^on1", "1704 ^st? st4096"} << 0
            << QString();
        QTest::newRow("a poll a whole interval late gets its own answer")
            << QStringList{"TX 1000 qs?",   "RX 1001 ^qs? qs128", "TX 1500 kv81",
                           "RX 1501 ^kv81", "TX 2000 qs?",        "RX 2001 ^qs? qs129"}
            << QStringList{"1000 qs?", "1500 kv81", "2900 qs?"} << false
            << QStringList{"1001 ^qs? qs128", "1501 ^kv81", "2901 ^qs? qs129"} << 0 << QString();
        QTest::newRow("a skipped poll: the earliest in the window answers, the later one is dropped")
            << QStringList{"TX 1000 qs?",      "RX 1001 ^qs? qs1", "TX 2000 qs?",
                           "RX 2001 ^qs? qs2", "TX 3000 qs?",      "RX 3001 ^qs? qs3"}
            << QStringList{"1000 qs?", "3000 qs?"} << false << QStringList{"1001 ^qs? qs1", "3001 ^qs? qs2"}
            << 0 << QString();
        QTest::newRow("later than the window is a divergence")
            << QStringList{"TX 1000 on1", "RX 1001 ^on1", "TX 2000 st?", "RX 2001 ^st? st4096"}
            << QStringList{"1000 on1", "4100 st?"} << false << QStringList{"1001 ^on1"} << 1
            << QString("no host telegram within 2 s");
        QTest::newRow("another value: one divergence naming both, though kv? is nearer; the rest matches")
            << kv81 << QStringList{"1000 on1", "1290 kv82", "1300 kv?"} << false
            << QStringList{"1001 ^on1", "1301 ^kv? kv81"} << 1
            << QString("the driver sent 6b 76 38 32 97 | kv82.\n  the record expected: 2025-01-31 "
                       "12:00:00.000000 +1.200000 TX  5 | 6b 76 38 31 94 | kv81.");
        QTest::newRow("stop: nothing after the divergence")
            << kv81 << QStringList{"1000 on0", "1200 kv81", "1300 kv?"} << true << QStringList() << 1
            << QString("+1.000000 TX  4 | 6f 6e 31 b0 | on1.\nreplay stopped");
        QTest::newRow("a copy more than the record holds gets what the last one got; a late one diverges")
            << QStringList{"TX 1000 kv81", "TX 1500 kv81", "TX 3000 st?", "RX 3001 ^st? st1"}
            << QStringList{"1000 kv81", "1500 kv81", "2000 kv81", "3000 st?",
                           "3500 st?",  "4500 st?",  "5500 st?"}
            << false << QStringList{"3001 ^st? st1", "3501 ^st? st1", "4501 ^st? st1"} << 1 << QString();
        QTest::newRow("unasked chunks keep their distance from the latest matched telegram")
            << QStringList{"TX 1000 on1", "RX 1001 ^on1",        "RX 3000 xy0A01",
                           "TX 3200 st?", "RX 3201 ^st? st4096", "RX 5000 rr105"}
            << QStringList{"1300 on1", "3300 st?"} << false
            << QStringList{"1301 ^on1", "3300 xy0A01", "3301 ^st? st4096", "5100 rr105"} << 0 << QString();
        QTest::newRow("damage and noise byte for byte; what came before the host at once")
            << QStringList{"RX 100 #ff00", "TX 1000 on1", "RX 1001 #deadbeef ^on1 #1234"}
            << QStringList{"5000 on1"} << false << QStringList{"5000 #ff00", "5001 #deadbeef ^on1 #1234"} << 0
            << QString();
        QTest::newRow("the handshake's reaction time beside the recorded one")
            << QStringList{"TX 1000 qs?", "RX 1001 ^qs? xy0A01", "TX 1051 ^xy0A01 xr41", "RX 1052 ^xr41"}
            << QStringList{"1000 qs?", "1081 ^xy0A01 xr41"} << false
            << QStringList{"1001 ^qs? xy0A01", "1082 ^xr41"} << 0
            << QString("handshake: xr41 answered xy0A01 after 80.0 ms (recorded after 50.0 ms)");
    }

    void replay()
    {
        QFETCH(QStringList, trace);
        QFETCH(QStringList, driver);
        QFETCH(bool, stop);
        QFETCH(QStringList, sent);
        QFETCH(int, divergences);
        QFETCH(QString, report);
        const TLKestrovanReplayRecord record = recordOf(traceOf(trace));
        Engine engine(record, stop ? Engine::OnDivergence::Stop : Engine::OnDivergence::Continue);
        QStringList seen;
        QStringList reports;
        qint64 nowUs = 0;
        for (int next = 0;;) {
            const qint64 dueUs = engine.nextDueUs();
            const qint64 driverUs =
                next < driver.size() ? driver.at(next).section(' ', 0, 0).toLongLong() * 1000 : -1;
            if (dueUs >= 0 && (driverUs < 0 || dueUs <= driverUs)) {
                nowUs = std::max(nowUs, dueUs);
                for (const Engine::Due &due : engine.takeDue(nowUs))
                    seen << QStringLiteral("%1 %2")
                                .arg(nowUs / 1000)
                                .arg(QString::fromLatin1(due.bytes.toHex(' ')));
            } else if (driverUs >= 0) {
                nowUs = driverUs;
                engine.receive(bytesOf(driver.at(next++).split(' ').mid(1)), nowUs);
            } else {
                break;
            }
            reports << engine.takeReports();
        }
        QVERIFY(engine.takeDue(nowUs + AfterwardsUs).isEmpty());
        std::transform(sent.begin(), sent.end(), sent.begin(), sentForm);
        QCOMPARE(seen, sent);
        QCOMPARE(engine.divergences(), divergences);
        QVERIFY(engine.isOver());
        QVERIFY2(reports.join('\n').contains(report), qPrintable(reports.join('\n')));
        QCOMPARE(engine.summaryLines().filter("  divergences: ").value(0),
                 QStringLiteral("  divergences: %1").arg(divergences));
    }

    void hostileTraces_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("telegrams");
        QTest::addColumn<int>("chunks");
        QTest::addColumn<qint64>("lastUs"); // of the last chunk

        const QByteArray on = traceOf({"TX 1000 ^xy0A01 on1", "RX 1001 ^on1"});
        QTest::newRow("lines that are no chunk, and a truncated end")
            << QByteArray("garbage\n2025-01-31 x +1.0 TX 9 | zz\n" + on + on.left(40)) << 1 << 1
            << qint64(1001000);
        QTest::newRow("time running backwards goes on from where it was")
            << traceOf({"TX 5000 on1", "RX 1000 ^on1"}) << 1 << 1 << qint64(5000000);
        QTest::newRow("a silence of a year is shortened")
            << traceOf({"TX 1000 on1", "RX 31536000000 ^on1"}) << 1 << 1
            << qint64(1000000 + TLKestrovanReplayRecord::MaxSilenceUs);
        QTest::newRow("host bytes without an end are noise")
            << traceOf({"TX 1000 #" + QString(2 * TLKestrovanReplayRecord::MaxPieceBytes, '4') + " on1"}) << 1
            << 0 << qint64(-1);
        QTest::newRow("nothing to replay") << QByteArray("# a note\n\n") << 0 << 0 << qint64(-1);
    }

    void hostileTraces()
    {
        QFETCH(QByteArray, text);
        QFETCH(int, telegrams);
        QFETCH(int, chunks);
        QFETCH(qint64, lastUs);
        const TLKestrovanReplayRecord record = recordOf(text);
        QCOMPARE(record.errorString().isEmpty(), telegrams + chunks > 0);
        QCOMPARE(record.hostTelegrams().size(), telegrams);
        QCOMPARE(record.generatorChunks().size(), chunks);
        QCOMPARE(record.generatorChunks().isEmpty() ? -1 : record.generatorChunks().last().atUs, lastUs);
        // Whatever it read, the replay of it ends.
        Engine engine(record, Engine::OnDivergence::Continue);
        engine.receive(bytesOf({"on1"}), 0);
        engine.takeDue(AfterwardsUs + TLKestrovanReplayRecord::MaxSilenceUs);
        QVERIFY(engine.isOver());
    }
};

TL_TEST_MAIN(TestReplayEngine)
#include "tst_replayengine.moc"
