#include "KestrovanCommand.h"
#include "TLKestrovanStreamCutter.h"
#include "TLKestrovanTelegram.h"
#include "TLTestMain.h"

using namespace Kestrovan;

// The telegram format byte for byte with the command table, and the cutting of a received byte
// stream into telegrams and acknowledgements.
class TestTelegram : public QObject
{
    Q_OBJECT

private slots:
    void commandTable()
    {
        QSet<quint16> codes;
        for (int id = 0; id < CommandCount; ++id) {
            codes.insert(commandCode(id));
            QCOMPARE(commandForCode(commandCode(id)), id);
        }
        QCOMPARE(codes.size(), CommandCount);
        QCOMPARE(commandCode(KV), quint16(0x766B));
    }

    void build_data()
    {
        QTest::addColumn<int>("id");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QByteArray>("wire"); // empty: refused
        QTest::newRow("st? 73 74 3F B8") << int(Status1) << "?" << QByteArray::fromHex("73743FB8");
        QTest::newRow("on1 6F 6E 31 B0") << int(Power) << "1" << QByteArray::fromHex("6F6E31B0");
        QTest::newRow("on0 6F 6E 30 B1") << int(Power) << "0" << QByteArray::fromHex("6F6E30B1");
        QTest::newRow("rs 72 73 81") << int(ResetError) << "" << QByteArray::fromHex("727381");
        QTest::newRow("xr41 78 72 34 31 8F")
            << int(ExposureRelease) << "41" << QByteArray::fromHex("787234318F");
        QTest::newRow("xr81 78 72 38 31 83")
            << int(ExposureRelease) << "81" << QByteArray::fromHex("7872383183");
        QTest::newRow("kv70 6B 76 37 30 9A") << int(KV) << "70" << QByteArray::fromHex("6B7637309A");
        QTest::newRow("kv70,5 sent as kv70.5") << int(KV) << "70,5" << QByteArray::fromHex("6B7637302E3581");
        QTest::newRow("28 characters: 31 bytes")
            << int(KV) << QString(28, '5') << QByteArray("kv") + QByteArray(28, '5') + char(0x9D);
        QTest::newRow("29 characters refused") << int(KV) << QString(29, '1') << QByteArray();
        QTest::newRow("bit 7 in a Latin-1 letter refused")
            << int(KV) << QStringLiteral("7\u00e4") << QByteArray();
        QTest::newRow("outside Latin-1 refused") << int(KV) << QStringLiteral("7\u20ac") << QByteArray();
    }
    void build()
    {
        QFETCH(int, id);
        QFETCH(QString, value);
        QFETCH(QByteArray, wire);
        const TLKestrovanTelegram built = TLKestrovanTelegram::build(commandCode(id), value);
        QCOMPARE(built.refusal().isSuccess(), !wire.isEmpty());
        QCOMPARE(built.bytes().toHex(' '), wire.toHex(' '));
        QCOMPARE(built.text(), wire.chopped(wire.isEmpty() ? 0 : 1));
    }

    void read_data()
    {
        QTest::addColumn<QByteArray>("wire");
        QTest::addColumn<int>("id");
        QTest::addColumn<QByteArray>("value");
        QTest::newRow("rr0 72 72 30 B0")
            << QByteArray::fromHex("727230B0") << int(ErrorCode) << QByteArray("0");
        QTest::newRow("xy0A01") << QByteArray::fromHex("787930413031F1") << int(ExposureState)
                                << QByteArray("0A01");
        QTest::newRow("rs, empty value") << QByteArray::fromHex("727381") << int(ResetError) << QByteArray();
        QTest::newRow("zz is unknown") << QByteArray("zz12\xff") << int(Unknown) << QByteArray("12");
        QTest::newRow("vk is not kv") << QByteArray("vk70\x9a") << int(Unknown) << QByteArray("70");
    }
    void read()
    {
        QFETCH(QByteArray, wire);
        QFETCH(int, id);
        QFETCH(QByteArray, value);
        const TLKestrovanTelegram telegram(wire);
        QCOMPARE(commandForCode(telegram.code()), id);
        QCOMPARE(telegram.value(), value);
        QCOMPARE(telegram.text(), wire.chopped(1));
    }

    void cutting_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArrayList>("pieces");
        QTest::addColumn<QByteArray>("rest");
        QTest::newRow("two in a burst")
            << QByteArray::fromHex("73743fb86b7637309a")
            << QByteArrayList{QByteArray::fromHex("73743fb8"), QByteArray::fromHex("6b7637309a")}
            << QByteArray();
        QTest::newRow("lone terminators 80 ff")
            << QByteArray::fromHex("80ff") << QByteArrayList{"\x80", "\xff"} << QByteArray();
        QTest::newRow("bytes after the last terminator left over")
            << QByteArray::fromHex("b86b76") << QByteArrayList{"\xb8"} << QByteArray("kv");
        QTest::newRow("7f is no terminator")
            << QByteArray::fromHex("7f7f") << QByteArrayList{} << QByteArray("\x7f\x7f");
    }
    void cutting()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArrayList, pieces);
        QFETCH(QByteArray, rest);
        const TLKestrovanTelegram::Cut cut = TLKestrovanTelegram::cut(bytes);
        QCOMPARE(cut.pieces, pieces);
        QCOMPARE(cut.rest, rest);
    }

    void streamCutter_data()
    {
        // Bursts read at the given milliseconds; what comes out, and what was dropped.
        QTest::addColumn<QByteArrayList>("bursts");
        QTest::addColumn<QVector<int>>("atMs");
        QTest::addColumn<QByteArrayList>("pieces");
        QTest::addColumn<int>("damaged");
        QTest::addColumn<int>("noiseBytes");
        const QByteArray st = QByteArray::fromHex("73743fb8");
        const QByteArray xy = QByteArray::fromHex("78793134303084"); // xy1400
        QTest::newRow("split by a pause within the window: put back together")
            << QByteArrayList{xy.left(4), xy.mid(4)} << QVector<int>{0, 80} << QByteArrayList{xy} << 0 << 0;
        // What is left of a damaged piece is its last byte, which may be an echo glued to garbage.
        QTest::newRow("split by a pause beyond the window: head dropped, tail damaged")
            << QByteArrayList{xy.left(4), xy.mid(4)} << QVector<int>{0, 501} << QByteArrayList{"\x84"} << 1
            << 6;
        QTest::newRow("wrong check byte: dropped and counted")
            << QByteArrayList{QByteArray::fromHex("73743fb9") + st} << QVector<int>{0}
            << QByteArrayList{"\xb9", st} << 1 << 3;
        QTest::newRow("stray head glued in front: the telegram at the end kept")
            << QByteArrayList{"30" + xy} << QVector<int>{0} << QByteArrayList{xy} << 0 << 2;
        QTest::newRow("31 bytes without a terminator can still end in a telegram")
            << QByteArrayList{QByteArray(28, 'a') + st} << QVector<int>{0} << QByteArrayList{st} << 0 << 28;
        QTest::newRow("more than 31 without a terminator: noise, but a telegram at its end kept")
            << QByteArrayList{QByteArray(40, 'a'), st + st} << QVector<int>{0, 5} << QByteArrayList{st, st}
            << 0 << 40;
        QTest::newRow("an echo glued to garbage still counts")
            << QByteArrayList{"st", "q\x9a"} << QVector<int>{0, 30} << QByteArrayList{"\x9a"} << 1 << 3;
        QTest::newRow("lone terminators and a two-byte telegram")
            << QByteArrayList{QByteArray::fromHex("80ff41c1")} << QVector<int>{0}
            << QByteArrayList{"\x80", "\xff", "A\xc1"} << 0 << 0;
    }
    void streamCutter()
    {
        QFETCH(QByteArrayList, bursts);
        QFETCH(QVector<int>, atMs);
        QFETCH(QByteArrayList, pieces);
        TLKestrovanStreamCutter cutter;
        QByteArrayList out;
        for (int i = 0; i < bursts.size(); ++i)
            out += cutter.feed(bursts.at(i), atMs.at(i));
        QCOMPARE(out, pieces);
        QTEST(int(cutter.damagedTelegrams()), "damaged");
        QTEST(int(cutter.noiseBytes()), "noiseBytes");
    }

    void acknowledgement_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<QByteArray>("telegram");
        QTest::addColumn<bool>("acknowledges");
        const QByteArray query = QByteArray::fromHex("73743fb8");
        QTest::newRow("b8 for st?") << QByteArray::fromHex("b8") << query << true;
        QTest::newRow("9a for st?") << QByteArray::fromHex("9a") << query << false;
        QTest::newRow("the whole telegram echoed") << query << query << false;
        QTest::newRow("38 has bit 7 clear")
            << QByteArray::fromHex("38") << QByteArray::fromHex("7338") << false;
        QTest::newRow("empty message") << QByteArray() << query << false;
    }
    void acknowledgement()
    {
        QFETCH(QByteArray, message);
        QFETCH(QByteArray, telegram);
        QFETCH(bool, acknowledges);
        QCOMPARE(TLKestrovanTelegram::isAcknowledgement(message, telegram), acknowledges);
    }
};

TL_TEST_MAIN(TestTelegram)
#include "tst_telegram.moc"
