#include "TLGeneratorDriverKestrovan.h"
#include "TLHostApplication.h"
#include "TLHostCallLog.h"
#include "TLKestrovanTelegram.h"

#include <QtTest>

// What the protocol does with each received telegram, fed straight into its receive slot.
class TestProtocolDispatch : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void valueChanges_data();
    void valueChanges();
    void targetDeviceComparesTwoCharacters();
    void statusWordsAreStoredButNotAnnounced();
    void errorCodeEmission_data();
    void errorCodeEmission();
    void exposureStateTouchesNoValue();
    void notATelegram_data();
    void notATelegram();
    void statusBits_data();
    void statusBits();
    void indirectModeSendsNothing();

private:
    static QByteArray telegram(const QByteArray &payload)
    {
        return payload + char(TLKestrovanTelegram::checkByte(payload));
    }
    TLHostApplication *host() const { return TLHostApplication::host(); }
};

void TestProtocolDispatch::init()
{
    host()->clearRecords();
    TLHostCallLog::clear();
}

void TestProtocolDispatch::valueChanges_data()
{
    QTest::addColumn<QByteArrayList>("payloads");
    QTest::addColumn<int>("changes");
    QTest::addColumn<QString>("finalValue");

    QTest::newRow("first kv 70 is a change") << QByteArrayList{"kv70"} << 1 << "70";
    QTest::newRow("same telegram twice changes once") << QByteArrayList{"kv70", "kv70"} << 1 << "70";
    QTest::newRow("70 then 71") << QByteArrayList{"kv70", "kv71"} << 2 << "71";
    QTest::newRow("empty value after none is no change") << QByteArrayList{"kv"} << 0 << "";
    QTest::newRow("70 then empty") << QByteArrayList{"kv70", "kv"} << 2 << "";
}

void TestProtocolDispatch::valueChanges()
{
    QFETCH(QByteArrayList, payloads);
    QFETCH(int, changes);
    QFETCH(QString, finalValue);

    TLGeneratorDriverKestrovan driver;
    QSignalSpy changed(&driver, &TLAbstractGeneratorDriver::valueChanged);
    for (const QByteArray &payload : payloads)
        driver.onMessageReceived(telegram(payload));
    QCOMPARE(changed.count(), changes);
    QCOMPARE(driver.currentValue(KV, false, false), finalValue);
    QCOMPARE(host()->logTexts().filter(QStringLiteral("value changed: kv")).size(), changes);
    if (payloads.first() == "kv70")
        QVERIFY(host()->logTexts().contains(QStringLiteral("value changed: kv ( -> 70)")));
    QVERIFY(
        host()->logTexts().contains(QStringLiteral("received: ") + QString::fromLatin1(payloads.first())));
}

void TestProtocolDispatch::targetDeviceComparesTwoCharacters()
{
    TLGeneratorDriverKestrovan driver;
    QSignalSpy changed(&driver, &TLAbstractGeneratorDriver::valueChanged);
    driver.onMessageReceived(telegram("dc01"));
    QCOMPARE(changed.count(), 1);
    driver.onMessageReceived(telegram("dc01xyz"));
    QCOMPARE(changed.count(), 1);
    QCOMPARE(driver.currentValue(TargetDevice, false, false), QStringLiteral("01"));
    driver.onMessageReceived(telegram("dc02xyz"));
    QCOMPARE(changed.count(), 2);
    QCOMPARE(driver.currentValue(TargetDevice, false, false), QStringLiteral("02xyz"));
}

void TestProtocolDispatch::statusWordsAreStoredButNotAnnounced()
{
    TLGeneratorDriverKestrovan driver;
    QSignalSpy changed(&driver, &TLAbstractGeneratorDriver::valueChanged);
    driver.onMessageReceived(telegram("st4096"));
    driver.onMessageReceived(telegram("st5248"));
    driver.onMessageReceived(telegram("qs128"));
    QCOMPARE(changed.count(), 0);
    const QStringList lines = host()->logTexts();
    QVERIFY(lines.contains(QStringLiteral("status1:  -> 4096")));
    QVERIFY(lines.contains(QStringLiteral("status1: 4096 -> 5248")));
    QVERIFY(lines.contains(QStringLiteral("status2: 128")));
    QVERIFY(lines.filter(QStringLiteral("value changed")).isEmpty());
    QVERIFY(driver.statusGeneratorOn());
    QVERIFY(driver.statusFocusReady());
    QVERIFY(driver.statusDapEnabled());
}

void TestProtocolDispatch::errorCodeEmission_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<bool>("emitted");
    QTest::newRow("rr0 means no error") << QByteArray("rr0") << false;
    QTest::newRow("empty rr means no error") << QByteArray("rr") << false;
    QTest::newRow("rr105") << QByteArray("rr105") << true;
    QTest::newRow("rr00 is not the text 0") << QByteArray("rr00") << true;
}

void TestProtocolDispatch::errorCodeEmission()
{
    QFETCH(QByteArray, payload);
    QFETCH(bool, emitted);
    TLGeneratorDriverKestrovan driver;
    QSignalSpy errors(&driver, &TLKestrovanProtocol::errorReceived);
    driver.onMessageReceived(telegram(payload));
    QCOMPARE(errors.count(), emitted ? 1 : 0);
    if (emitted) {
        QCOMPARE(errors.at(0).at(0).toByteArray(), payload.mid(2));
        // A repeated code is emitted again; only the alarm is throttled.
        driver.onMessageReceived(telegram(payload));
        QCOMPARE(errors.count(), 2);
    }
}

void TestProtocolDispatch::exposureStateTouchesNoValue()
{
    TLGeneratorDriverKestrovan driver;
    QSignalSpy changed(&driver, &TLAbstractGeneratorDriver::valueChanged);
    driver.onMessageReceived(telegram("xy0A00"));
    QCOMPARE(changed.count(), 0);
    QCOMPARE(driver.currentValue(ExposureState, false, false), QString());
    const QStringList lines = host()->logTexts();
    QVERIFY(lines.contains(QStringLiteral("new exposure state: 0A00")));
    // 0A without the prepare key: the three trace lines and nothing else.
    QVERIFY(lines.contains(QStringLiteral("xray key prepare:  0")));
    QVERIFY(lines.contains(QStringLiteral("xray key exposure: 0")));
    QVERIFY(lines.contains(QStringLiteral("xray state:        10")));
    QVERIFY(TLHostCallLog::calls().isEmpty());
}

void TestProtocolDispatch::notATelegram_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QString>("line");
    QTest::newRow("one byte") << QByteArray("k") << QStringLiteral("received to short message: k");
    QTest::newRow("empty") << QByteArray() << QStringLiteral("received to short message: ");
    QTest::newRow("zz") << telegram("zz1") << QStringLiteral("unknown command: zz1");
    QTest::newRow("unknown code") << telegram("qq7") << QStringLiteral("unknown command: qq7");
}

void TestProtocolDispatch::notATelegram()
{
    QFETCH(QByteArray, data);
    QFETCH(QString, line);
    TLGeneratorDriverKestrovan driver;
    QSignalSpy changed(&driver, &TLAbstractGeneratorDriver::valueChanged);
    driver.onMessageReceived(data);
    QCOMPARE(changed.count(), 0);
    QCOMPARE(host()->countLog(line), 1);
    const QList<TLHostApplication::LogRecord> records = host()->logRecords();
    QVERIFY(std::any_of(records.begin(), records.end(), [&](const TLHostApplication::LogRecord &r) {
        return r.text == line && r.level == (data.size() < 2 ? LogLevel::Error : LogLevel::Warning);
    }));
}

void TestProtocolDispatch::statusBits_data()
{
    QTest::addColumn<QByteArray>("st");
    QTest::addColumn<QByteArray>("qs");
    QTest::addColumn<bool>("on");
    QTest::addColumn<bool>("focus");
    QTest::addColumn<bool>("dap");
    QTest::newRow("nothing known") << QByteArray() << QByteArray() << false << false << false;
    QTest::newRow("4096 on") << QByteArray("st4096") << QByteArray("qs0") << true << false << false;
    QTest::newRow("5120 on and focus") << QByteArray("st5120") << QByteArray("qs128") << true << true << true;
    QTest::newRow("1024 focus only") << QByteArray("st1024") << QByteArray("qs127") << false << true << false;
    QTest::newRow("not a number reads 0")
        << QByteArray("st1x0") << QByteArray("qsabc") << false << false << false;
    QTest::newRow("hexadecimal is not read")
        << QByteArray("st0x1000") << QByteArray("qs0x80") << false << false << false;
}

void TestProtocolDispatch::statusBits()
{
    QFETCH(QByteArray, st);
    QFETCH(QByteArray, qs);
    QFETCH(bool, on);
    QFETCH(bool, focus);
    QFETCH(bool, dap);
    TLGeneratorDriverKestrovan driver;
    if (!st.isEmpty())
        driver.onMessageReceived(telegram(st));
    if (!qs.isEmpty())
        driver.onMessageReceived(telegram(qs));
    QCOMPARE(driver.statusGeneratorOn(), on);
    QCOMPARE(driver.statusFocusReady(), focus);
    QCOMPARE(driver.statusDapEnabled(), dap);
    QVariant value;
    QVERIFY(driver.executeCommand(QStringLiteral("isDapEnabled"), value).isSuccess());
    QCOMPARE(value, QVariant(dap));
}

void TestProtocolDispatch::indirectModeSendsNothing()
{
    TLGeneratorDriverKestrovan driver;
    driver.setDirectConnection(false);
    QElapsedTimer timer;
    timer.start();
    QVERIFY(driver.query(KV, true).isSuccess());
    QCOMPARE(driver.currentValue(KV, true, true), QString());
    QVERIFY(timer.elapsed() < 2000); // no reply wait in indirect mode
    driver.onMessageReceived(telegram("kv70"));
    QCOMPARE(driver.currentValue(KV, true, true), QStringLiteral("70"));
    QVERIFY(host()->logTexts().filter(QStringLiteral("query:")).isEmpty());
}

int main(int argc, char **argv)
{
    TLHostApplication app(argc, argv);
    TestProtocolDispatch test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_protocoldispatch.moc"
