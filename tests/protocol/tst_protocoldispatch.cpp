#include "TLGeneratorDriverKestrovan.h"
#include "TLHostCallLog.h"
#include "TLKestrovanGeneratorSimulator.h"
#include "TLTestMain.h"

// What the protocol does with each received telegram, fed straight into its receive slot.
class TestProtocolDispatch : public QObject
{
    Q_OBJECT

    static QByteArray tg(const QByteArray &payload) { return TLKestrovanSimulatedLine::telegram(payload); }
    TLHostApplication *host() const { return TLHostApplication::host(); }

private slots:
    void init()
    {
        host()->clearRecords();
        TLHostCallLog::clear();
    }

    void dispatch_data()
    {
        QTest::addColumn<QByteArrayList>("received"); // whole telegrams
        QTest::addColumn<int>("id");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<int>("changes");
        QTest::addColumn<QByteArrayList>("errors");
        QTest::addColumn<QStringList>("lines"); // "level|text", each logged exactly once
        QTest::newRow("kv: a change, the same again, another")
            << QByteArrayList{tg("kv70"), tg("kv70"), tg("kv71")} << int(Kestrovan::KV) << "71" << 2
            << QByteArrayList{}
            << QStringList{"0|received: kv71", "0|value changed: kv ( -> 70)",
                           "0|value changed: kv (70 -> 71)"};
        QTest::newRow("kv: empty after none is no change")
            << QByteArrayList{tg("kv"), tg("kv70"), tg("kv")} << int(Kestrovan::KV) << "" << 2
            << QByteArrayList{} << QStringList{"0|value changed: kv (70 -> )"};
        QTest::newRow("dc compares its first two characters")
            << QByteArrayList{tg("dc01"), tg("dc01xyz"), tg("dc02xyz")} << int(Kestrovan::TargetDevice)
            << "02xyz" << 2 << QByteArrayList{} << QStringList{"0|value changed: dc (01 -> 02xyz)"};
        QTest::newRow("status words are stored, not announced")
            << QByteArrayList{tg("st4096"), tg("st5248"), tg("qs128")} << int(Kestrovan::Status1) << "5248"
            << 0 << QByteArrayList{}
            << QStringList{"0|status1:  -> 4096", "0|status1: 4096 -> 5248", "0|status2: 128"};
        QTest::newRow("rr: 0 and empty are no error, 00 is")
            << QByteArrayList{tg("rr0"), tg("rr"), tg("rr105"), tg("rr00"), tg("rr105")}
            << int(Kestrovan::ErrorCode) << "105" << 5 << QByteArrayList{"105", "00", "105"}
            << QStringList{"0|value changed: rr (00 -> 105)"};
        QTest::newRow("xy is handed on, never stored")
            << QByteArrayList{tg("xy0A00")} << int(Kestrovan::ExposureState) << "" << 0 << QByteArrayList{}
            << QStringList{"0|new exposure state: 0A00", "0|xray key prepare:  0", "0|xray key exposure: 0",
                           "0|xray state:        10"};
        QTest::newRow("not telegrams of the table")
            << QByteArrayList{"k", "", tg("zz1"), tg("qq7")} << int(Kestrovan::Unknown) << "" << 0
            << QByteArrayList{}
            << QStringList{"5|received to short message: k",
                           "5|received to short message: ", "4|unknown command: zz1"};
    }
    void dispatch()
    {
        QFETCH(QByteArrayList, received);
        QFETCH(int, id);
        QFETCH(QString, stored);
        QFETCH(int, changes);
        QFETCH(QByteArrayList, errors);
        QFETCH(QStringList, lines);
        TLGeneratorDriverKestrovan driver;
        QSignalSpy changed(&driver, &TLAbstractGeneratorDriver::valueChanged);
        QSignalSpy reported(&driver, &TLKestrovanProtocol::errorReceived);
        for (const QByteArray &data : received)
            driver.onMessageReceived(data);
        QCOMPARE(driver.currentValue(id, false, false), stored);
        QCOMPARE(changed.count(), changes);
        QByteArrayList codes;
        for (const QList<QVariant> &signal : reported)
            codes << signal.at(0).toByteArray();
        QCOMPARE(codes, errors);
        QStringList logged;
        for (const TLHostApplication::LogRecord &record : host()->logRecords())
            logged << QString::number(int(record.level)) + QLatin1Char('|') + record.text;
        for (const QString &line : lines)
            QVERIFY2(logged.count(line) == 1, qPrintable(line));
        QVERIFY(TLHostCallLog::calls().isEmpty());
    }

    void statusBits_data()
    {
        QTest::addColumn<QByteArray>("st");
        QTest::addColumn<QByteArray>("qs");
        QTest::addColumn<bool>("on");
        QTest::addColumn<bool>("focus");
        QTest::addColumn<bool>("dap");
        QTest::newRow("nothing known") << QByteArray() << QByteArray() << false << false << false;
        QTest::newRow("4096 on, qs 127")
            << QByteArray("st4096") << QByteArray("qs127") << true << false << false;
        QTest::newRow("5120 on and focus, qs 128")
            << QByteArray("st5120") << QByteArray("qs128") << true << true << true;
        QTest::newRow("1024 focus only")
            << QByteArray("st1024") << QByteArray("qs0") << false << true << false;
        QTest::newRow("not decimal numbers read 0")
            << QByteArray("st0x1000") << QByteArray("qs1x0") << false << false << false;
    }
    void statusBits()
    {
        QFETCH(QByteArray, st);
        QFETCH(QByteArray, qs);
        QFETCH(bool, on);
        QFETCH(bool, focus);
        QFETCH(bool, dap);
        TLGeneratorDriverKestrovan driver;
        for (const QByteArray &word : {st, qs}) {
            if (!word.isEmpty())
                driver.onMessageReceived(tg(word));
        }
        QCOMPARE(driver.statusGeneratorOn(), on);
        QCOMPARE(driver.statusFocusReady(), focus);
        QCOMPARE(driver.statusDapEnabled(), dap);
        QVariant value;
        QVERIFY(driver.executeCommand(QStringLiteral("isDapEnabled"), value).isSuccess());
        QCOMPARE(value, QVariant(dap));
    }

    void noLinkSendsNothing_data()
    {
        QTest::addColumn<bool>("direct");
        QTest::newRow("indirect mode") << false;
        QTest::newRow("direct, never opened") << true;
    }
    void noLinkSendsNothing()
    {
        QFETCH(bool, direct);
        TLGeneratorDriverKestrovan driver;
        driver.setDirectConnection(direct);
        QElapsedTimer timer;
        timer.start();
        QVERIFY(driver.query(Kestrovan::KV, true).isSuccess());
        QCOMPARE(driver.currentValue(Kestrovan::KV, true, true), QString());
        QVERIFY(driver.updateCurrentSettings().isSuccess());
        QVariant version(5);
        QVERIFY(driver.executeCommand(QStringLiteral("version"), version).isSuccess());
        QCOMPARE(version, QVariant(QString()));
        QVERIFY(timer.elapsed() < 1000);
        QVERIFY(host()->logTexts().filter(QStringLiteral("query:")).isEmpty());
        driver.onMessageReceived(tg("kv70"));
        QCOMPARE(driver.currentValue(Kestrovan::KV, true, true), QStringLiteral("70"));
    }
};

TL_TEST_MAIN(TestProtocolDispatch)
#include "tst_protocoldispatch.moc"
