#include "TLGeneratorDriverKestrovan.h"
#include "TLHostApplication.h"
#include "TLKestrovanTelegram.h"

#include <QtTest>

// The telegram format, byte for byte, in both directions, through the driver's own command table.
class TestTelegram : public QObject
{
    Q_OBJECT

private slots:
    void commandTable();
    void build_data();
    void build();
    void read_data();
    void read();
    void refusesWhatCannotBeSent_data();
    void refusesWhatCannotBeSent();
    void longestValueFits();
};

void TestTelegram::commandTable()
{
    TLGeneratorDriverKestrovan driver;
    QSet<quint16> codes;
    for (int id = 0; id < KestrovanCommandCount; ++id)
        codes.insert(driver.commandCode(id));
    QCOMPARE(codes.size(), KestrovanCommandCount);
    QCOMPARE(driver.commandCode(KV), quint16(0x766B));
    QCOMPARE(driver.commandCode(Unknown), quint16('z' | ('z' << 8)));
    QCOMPARE(driver.commandCode(Status2), quint16('q' | ('s' << 8)));
}

void TestTelegram::build_data()
{
    QTest::addColumn<int>("id");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QByteArray>("wire");
    QTest::addColumn<QString>("text");

    QTest::newRow("73 74 3F B8 st?") << int(Status1) << "?" << QByteArray::fromHex("73743FB8") << "st?";
    QTest::newRow("6F 6E 31 B0 power on") << int(Power) << "1" << QByteArray::fromHex("6F6E31B0") << "on1";
    QTest::newRow("6F 6E 30 B1 power off") << int(Power) << "0" << QByteArray::fromHex("6F6E30B1") << "on0";
    QTest::newRow("72 73 81 reset") << int(ResetError) << "" << QByteArray::fromHex("727381") << "rs";
    QTest::newRow("78 72 34 31 8F prepare accepted")
        << int(ExposureRelease) << "41" << QByteArray::fromHex("787234318F") << "xr41";
    QTest::newRow("78 72 38 31 83 exposure accepted")
        << int(ExposureRelease) << "81" << QByteArray::fromHex("7872383183") << "xr81";
    QTest::newRow("6B 76 37 30 9A 70 kV") << int(KV) << "70" << QByteArray::fromHex("6B7637309A") << "kv70";
    QTest::newRow("decimal comma sent as point")
        << int(KV) << "70,5" << QByteArray::fromHex("6B7637302E3581") << "kv70.5";
    QTest::newRow("72 72 3F BF rr?") << int(ErrorCode) << "?" << QByteArray::fromHex("72723FBF") << "rr?";
}

void TestTelegram::build()
{
    QFETCH(int, id);
    QFETCH(QString, value);
    QFETCH(QByteArray, wire);
    QFETCH(QString, text);

    TLGeneratorDriverKestrovan driver;
    QByteArray bytes;
    QString logged;
    const TLCondition result = driver.buildTelegram(id, value, bytes, logged);
    QVERIFY(result.isSuccess());
    QCOMPARE(bytes.toHex(' '), wire.toHex(' '));
    QCOMPARE(logged, text);
    // The check byte is the only byte with bit 7 set: it ends the telegram.
    for (int i = 0; i < bytes.size() - 1; ++i)
        QVERIFY(!(quint8(bytes.at(i)) & 0x80));
    QVERIFY(quint8(bytes.back()) & 0x80);
}

void TestTelegram::read_data()
{
    QTest::addColumn<QByteArray>("wire");
    QTest::addColumn<int>("id");
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<QByteArray>("text");

    QTest::newRow("72 72 30 B0 error code 0")
        << QByteArray::fromHex("727230B0") << int(ErrorCode) << QByteArray("0") << QByteArray("rr0");
    QTest::newRow("6B 76 37 30 9A kv 70")
        << QByteArray::fromHex("6B7637309A") << int(KV) << QByteArray("70") << QByteArray("kv70");
    QTest::newRow("78 79 30 41 30 31 F1 xy 0A01")
        << QByteArray::fromHex("787930413031F1") << int(ExposureState) << QByteArray("0A01")
        << QByteArray("xy0A01");
    QTest::newRow("72 73 81 reset, empty value")
        << QByteArray::fromHex("727381") << int(ResetError) << QByteArray() << QByteArray("rs");
    QTest::newRow("zz is unknown") << QByteArray("zz12") + char(0xFF) << int(Unknown) << QByteArray("12")
                                   << QByteArray("zz12");
    QTest::newRow("code not in table")
        << QByteArray("qq1") + char(0xA0) << int(Unknown) << QByteArray("1") << QByteArray("qq1");
    QTest::newRow("letters swapped: vk is not kv")
        << QByteArray("vk70") + char(0x9A) << int(Unknown) << QByteArray("70") << QByteArray("vk70");
    QTest::newRow("two bytes: code and terminator")
        << QByteArray("k") + char(0xF6) << int(Unknown) << QByteArray() << QByteArray("k");
}

void TestTelegram::read()
{
    QFETCH(QByteArray, wire);
    QFETCH(int, id);
    QFETCH(QByteArray, value);
    QFETCH(QByteArray, text);

    TLGeneratorDriverKestrovan driver;
    QCOMPARE(driver.commandId(TLKestrovanTelegram::code(wire)), id);
    QCOMPARE(TLKestrovanTelegram::value(wire), value);
    QCOMPARE(TLKestrovanTelegram::text(wire), text);
}

void TestTelegram::refusesWhatCannotBeSent_data()
{
    QTest::addColumn<QString>("value");
    QTest::newRow("29 characters: 31 bytes before the check byte") << QString(29, QLatin1Char('1'));
    QTest::newRow("far too long") << QString(1000, QLatin1Char('9'));
    QTest::newRow("Latin-1 letter with bit 7 set") << QStringLiteral("7\u00e4");
    QTest::newRow("outside Latin-1") << QStringLiteral("7\u20ac");
}

void TestTelegram::refusesWhatCannotBeSent()
{
    QFETCH(QString, value);
    TLGeneratorDriverKestrovan driver;
    QByteArray bytes("untouched");
    QString text;
    const TLCondition result = driver.buildTelegram(KV, value, bytes, text);
    QVERIFY(result.isError());
    QVERIFY(!result.text().isEmpty());
    QVERIFY(bytes.isEmpty());
}

void TestTelegram::longestValueFits()
{
    TLGeneratorDriverKestrovan driver;
    QByteArray bytes;
    QString text;
    QVERIFY(driver.buildTelegram(KV, QString(28, QLatin1Char('5')), bytes, text).isSuccess());
    QCOMPARE(bytes.size(), 31);
    QCOMPARE(text.size(), 30);
}

int main(int argc, char **argv)
{
    TLHostApplication app(argc, argv);
    TestTelegram test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_telegram.moc"
