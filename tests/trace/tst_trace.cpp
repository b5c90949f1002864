#include "TLGeneratorConfigData.h"
#include "TLGeneratorDriverKestrovan.h"
#include "TLHostApplication.h"
#include "TLHostDevice.h"
#include "TLKestrovanGeneratorSimulator.h"
#include "TLKestrovanSerialCommunicator.h"
#include "TLTraceDecoder.h"
#include "TLTraceMeaning.h"
#include "TLTraceReader.h"
#include "TLTraceSummary.h"
#include "TLTraceTap.h"
#include "TLTraceTimeline.h"
#include "TLTraceWriter.h"

#include <QBuffer>
#include <QTemporaryDir>
#include <QTest>
#include <QXmlStreamReader>

#include <atomic>
#include <cstdlib>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

// kestrovan-trace against the simulator: every injected fault of the line flagged once, a tap
// that a whole run passes through unchanged, and the timeline picture.
class TestTrace : public QObject
{
    Q_OBJECT

private slots:
    void valueMeanings_data();
    void valueMeanings();
    void flagsEveryInjectedDeviationOnce();
    void tapPassesAWholeRunUnchanged();
    void timelineHasAnArrowPerTelegramAndTheExposureBand();
};

namespace {
using Sim = TLKestrovanGeneratorSimulator;
using Line = TLKestrovanSimulatedLine;
using Flag = TLTraceEvent::Flag;
using Direction = TLTraceChunk::Direction;

QList<TLTraceChunk> chunksOf(const QList<Line::TranscriptEntry> &transcript)
{
    QList<TLTraceChunk> chunks;
    for (const Line::TranscriptEntry &entry : transcript)
        chunks.append({entry.direction == Line::Direction::FromDriver ? Direction::Tx : Direction::Rx,
                       entry.elapsedUs, QByteArray(), entry.bytes});
    return chunks;
}

QByteArrayList flagged(const QList<TLTraceEvent> &events, Flag flag)
{
    QByteArrayList bytes;
    for (const TLTraceEvent &event : events) {
        if (event.has(flag))
            bytes << event.bytes;
    }
    return bytes;
}

// Direction and bytes of each telegram, in order.
QByteArrayList telegrams(const QList<TLTraceEvent> &events)
{
    QByteArrayList list;
    for (const TLTraceEvent &event : events) {
        if (event.kind == TLTraceEvent::Kind::Telegram)
            list << TLTraceChunk::directionName(event.direction) + QByteArray(" ") + event.bytes.toHex(' ');
    }
    return list;
}
} // namespace

void TestTrace::valueMeanings_data()
{
    QTest::addColumn<QByteArray>("telegram"); // code and value
    QTest::addColumn<QString>("meaning");
    QTest::newRow("st 5248") << QByteArray("st5248") << "power, focus ready, error indication";
    QTest::newRow("st 4097: an unnamed bit by number") << QByteArray("st4097") << "power, bit 0";
    QTest::newRow("qs 128") << QByteArray("qs128") << "dose meter";
    QTest::newRow("qs 0") << QByteArray("qs0") << "no bit set";
    QTest::newRow("st x") << QByteArray("stx") << "not a number (reads as 0)";
    QTest::newRow("xy 0a01: digits as the driver reads them")
        << QByteArray("xy0a01") << "prepare on, prepare key";
    QTest::newRow("xy 1003") << QByteArray("xy1003") << "exposure check signal, both keys";
    QTest::newRow("xy 1400") << QByteArray("xy1400") << "exposure off, no key";
    QTest::newRow("xy 014: too short") << QByteArray("xy014") << "not four hexadecimal digits";
    QTest::newRow("xr 41") << QByteArray("xr41") << "prepare accepted";
    QTest::newRow("xr 81") << QByteArray("xr81") << "exposure accepted";
    QTest::newRow("rr 0") << QByteArray("rr0") << "no error";
    QTest::newRow("xs 200: half milliseconds") << QByteArray("xs200") << "100 ms";
    QTest::newRow("on 1") << QByteArray("on1") << "switch on";
}

void TestTrace::valueMeanings()
{
    QFETCH(QByteArray, telegram);
    QFETCH(QString, meaning);
    const int command = TLTraceMeaning::command(telegram.left(2));
    QVERIFY(command >= 0);
    QCOMPARE(TLTraceMeaning::valueMeaning(command, telegram.mid(2)), meaning);
}

void TestTrace::flagsEveryInjectedDeviationOnce()
{
    // The link of the driver plays the host: it acknowledges whatever ends in a terminator and
    // writes its own telegrams again until they are echoed.
    Sim sim;
    QVERIFY(sim.start());
    TLKestrovanSerialCommunicator link(sim.slavePath());
    link.start();
    link.waitForOpened();
    QCOMPARE(link.state(), TLKestrovanSerialCommunicator::Open);
    const auto ask = [&](const QByteArray &payload) {
        link.send(Line::telegram(payload), true);
        return sim.line().waitForIdle(3000);
    };
    QVERIFY(ask("kv?"));
    sim.line().corruptNextReply();
    QVERIFY(ask("kv?"));
    sim.line().splitNextReply(150);
    QVERIFY(ask("ma?"));
    sim.line().injectInAckWindow("xy0A01");
    QVERIFY(ask("as?"));
    QTest::qWait(200);
    sim.line().sendRaw("ab\x99");
    sim.line().sendRaw("\xa5");
    QTest::qWait(300);
    sim.line().dropAcknowledgements(-1);
    link.send(Line::telegram("kv70"), true);
    QTRY_COMPARE_WITH_TIMEOUT(link.state(), TLKestrovanSerialCommunicator::Closed, 3000);
    sim.stop();

    const QList<TLTraceEvent> events = TLTraceDecoder::decode(chunksOf(sim.line().transcript()));
    TLTraceSummary summary;
    for (const TLTraceEvent &event : events)
        summary.add(event);
    const int dropped = sim.line().droppedAcknowledgements();
    QVERIFY(dropped >= 10); // written again about every 500 ms for 8 s
    const QByteArray kv70 = Line::telegram("kv70");
    const QList<QPair<Flag, QByteArrayList>> expected = {
        {Flag::WrongCheckByte, {"kv70\x9b"}},
        {Flag::Split, {Line::telegram("ma200")}},
        {Flag::UnsolicitedInWindow, {Line::telegram("xy0A01")}},
        {Flag::NoTelegram, {"ab\x99"}},
        {Flag::LoneTerminator, {"\xa5"}},
        {Flag::GiveUp, {kv70}},
        {Flag::NoAcknowledgement, QVector<QByteArray>(dropped, kv70).toList()},
        {Flag::Repeat, QVector<QByteArray>(dropped - 1, kv70).toList()},
        {Flag::UnknownCode, {}},
        {Flag::NoReply, {}},
    };
    QCOMPARE(expected.size(), TLTraceEvent::FlagCount);
    for (const auto &flag : expected) {
        QCOMPARE(flagged(events, flag.first), flag.second);
        QCOMPARE(summary.count(flag.first), flag.second.size());
    }
    // What the generator took for good telegrams of the host, the decoder did too.
    QByteArrayList good;
    for (const TLTraceEvent &event : events) {
        if (event.direction == Direction::Tx && event.kind == TLTraceEvent::Kind::Telegram
            && event.checkByteRight)
            good << event.bytes;
    }
    QCOMPARE(good, QByteArrayList(sim.line().telegramsFromDriver()));
    QCOMPARE(summary.telegrams(Direction::Tx), good.size() - summary.count(Flag::Repeat));
}

void TestTrace::tapPassesAWholeRunUnchanged()
{
    Sim sim;
    QVERIFY(sim.start());
    QTemporaryDir folder;
    QVERIFY(folder.isValid());

    // The host's side of the tap: the driver opens the slave, the tap reads the master.
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    QVERIFY(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
    char slave[128];
    QCOMPARE(::ptsname_r(master, slave, sizeof slave), 0);
    const int keeper = ::open(slave, O_RDWR | O_NOCTTY); // the master reads no hang-up between opens
    QString error;
    QVERIFY2(TLTraceTap::configurePort(master, error), qPrintable(error));
    const int generator = TLTraceTap::openPort(sim.slavePath(), error);
    QVERIFY2(generator >= 0, qPrintable(error));

    const QString tracePath = folder.filePath(QStringLiteral("tap.trace"));
    TLTraceWriter writer;
    QVERIFY(writer.open(tracePath));
    TLTraceTap tap;
    std::atomic<bool> ended{false};
    TLTraceTap::End end = TLTraceTap::End::Stopped;
    std::thread relay([&] {
        end = tap.run({master, QStringLiteral("host port")}, {generator, QStringLiteral("generator port")},
                      [&](const TLTraceChunk &chunk) { writer.write(chunk); }, {});
        ended = true;
    });

    {
        TLHostDevice device(QStringLiteral("kestrovan"));
        TLGeneratorDriverKestrovan driver;
        QSharedPointer<TLGeneratorConfigData> config(new TLGeneratorConfigData);
        config->portName = QString::fromLatin1(slave);
        driver.setDeviceConfig(config);
        driver.setDevice(&device);
        QVERIFY(driver.switchOn().isSuccess());
        driver.setKV(81);
        QVERIFY(sim.sequence().runExposure());
        QVERIFY(sim.sequence().waitForExposureDone(20000));
        QCOMPARE(sim.sequence().exposureOutcome(), TLKestrovanExposureSequence::Outcome::Completed);
        TLGeneratorSettings last;
        QVERIFY(driver.lastExposureSettings(last).isSuccess());
        QCOMPARE(last.kV, 81.0);
    }
    // The generator's line goes away (once it has read the driver's last echoes): the tap ends
    // by itself, its trace complete.
    QTest::qWait(200);
    sim.stop();
    QTRY_VERIFY_WITH_TIMEOUT(ended, 5000);
    tap.stop();
    relay.join();
    ::close(generator);
    ::close(keeper);
    ::close(master);
    QCOMPARE(end, TLTraceTap::End::PortGone);
    QVERIFY2(tap.message().contains(QLatin1String("generator port went away")), qPrintable(tap.message()));

    QFile trace(tracePath);
    QVERIFY(trace.open(QIODevice::ReadOnly));
    TLTraceReader reader(trace);
    QList<TLTraceChunk> chunks;
    QByteArray sent, received;
    for (TLTraceChunk chunk; reader.next(chunk);) {
        chunks << chunk;
        (chunk.direction == Direction::Tx ? sent : received) += chunk.bytes;
    }
    QCOMPARE(reader.skippedLines(), 0);
    QCOMPARE(sent.toHex(' '), sim.line().bytesFromDriver().toHex(' '));
    QCOMPARE(received.toHex(' '), sim.line().bytesToDriver().toHex(' '));

    const QList<TLTraceEvent> tapped = TLTraceDecoder::decode(chunks);
    QCOMPARE(telegrams(tapped), telegrams(TLTraceDecoder::decode(chunksOf(sim.line().transcript()))));
    // Until its switch-off the driver echoed everything in time and wrote nothing twice; only the
    // generator may have crossed a query with a telegram of its own.
    const auto switchOff = std::find_if(tapped.cbegin(), tapped.cend(), [](const TLTraceEvent &event) {
        return event.direction == Direction::Tx && event.bytes == Line::telegram("on0");
    });
    QVERIFY(switchOff != tapped.cend());
    for (auto event = tapped.cbegin(); event != switchOff; ++event) {
        for (const TLTraceEvent::Finding &finding : event->findings)
            QVERIFY2(finding.flag == Flag::UnsolicitedInWindow, qPrintable(finding.text));
    }
    QVERIFY(sim.line().telegramsFromDriver().contains(Line::telegram("xr81")));
}

void TestTrace::timelineHasAnArrowPerTelegramAndTheExposureBand()
{
    // A status poll, the exposure of the hand switch as the generator reports it, each telegram
    // echoed, and a reply with a wrong check byte.
    const QList<QPair<Direction, QByteArray>> talk = {
        {Direction::Tx, "st?"},    {Direction::Rx, "st5120"}, {Direction::Rx, "xy0A01"},
        {Direction::Tx, "xr41"},   {Direction::Rx, "xy0C01"}, {Direction::Rx, "xy0D01"},
        {Direction::Rx, "xy0E01"}, {Direction::Rx, "xy0E03"}, {Direction::Rx, "xy1003"},
        {Direction::Tx, "xr81"},   {Direction::Rx, "xy1103"}, {Direction::Rx, "xy1203"},
        {Direction::Rx, "xy1400"}, {Direction::Tx, "kv?"}};
    QList<TLTraceChunk> chunks;
    qint64 us = 0;
    for (const auto &said : talk) {
        const QByteArray telegram = Line::telegram(said.second);
        const Direction echo = said.first == Direction::Tx ? Direction::Rx : Direction::Tx;
        chunks << TLTraceChunk{said.first, us += 10000, QByteArray(), telegram}
               << TLTraceChunk{echo, us += 2000, QByteArray(), telegram.right(1)};
    }
    chunks << TLTraceChunk{Direction::Rx, us + 10000, QByteArray(), "kv70\x9b"};
    const QList<TLTraceEvent> events = TLTraceDecoder::decode(chunks);
    TLTraceSummary summary;
    for (const TLTraceEvent &event : events)
        summary.add(event);
    QCOMPARE(summary.exposures().size(), 1);
    QCOMPARE(summary.exposures().constFirst().releases.size(), 2);
    QCOMPARE(summary.exposures().constFirst().releases.constLast().reactionTo, QByteArray("1003"));

    QBuffer svg;
    QVERIFY(svg.open(QIODevice::ReadWrite));
    QVERIFY(TLTraceTimeline(events, summary, QStringLiteral("test")).write(svg));
    svg.seek(0);
    QXmlStreamReader xml(&svg);
    int arrows = 0, flaggedArrows = 0;
    QSet<QString> bands;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        const QStringList classes =
            xml.attributes().value(QLatin1String("class")).toString().split(QLatin1Char(' '));
        if (xml.name() == QLatin1String("g") && classes.contains(QLatin1String("arrow"))) {
            ++arrows;
            flaggedArrows += classes.contains(QLatin1String("flagged"));
        }
        if (xml.name() == QLatin1String("rect") && classes.constFirst() == QLatin1String("band"))
            bands << classes.value(1);
    }
    QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
    QCOMPARE(arrows, talk.size() + 1);
    QCOMPARE(flaggedArrows, 1);
    QCOMPARE(bands, (QSet<QString>{"prepare", "ready", "check", "on", "end"}));
}

int main(int argc, char **argv)
{
    TLHostApplication app(argc, argv);
    TestTrace test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_trace.moc"
