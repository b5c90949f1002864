#include "TLDirectTestRig.h"
#include "TLKestrovanTelegram.h"

#include <QtTest>

// Exposure parameters while switched on and off, and the last exposure's values.
class TestDriverSettings : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase() { switchedOn.reset(); }
    void settersWhileOn_data();
    void settersWhileOn();
    void settersWhileOffOnlyStore();
    void generatorCorrectionIsAnnounced();
    void readBackConversions_data();
    void readBackConversions();
    void lastExposureDirect();
    void lastExposureDoseStaysZero();
    void callsBeforeFirstSwitchOnReturnAtOnce();

private:
    // One switched-on generator shared by the data-driven rows, which each start from a
    // cleared transcript: switching on anew for every row would only cost time.
    std::unique_ptr<TLDirectTestRig> switchedOn;

    static QByteArray telegram(const QByteArray &payload)
    {
        return payload + char(TLKestrovanTelegram::checkByte(payload));
    }
};

void TestDriverSettings::initTestCase()
{
    qRegisterMetaType<TLCondition>("TLCondition");
    switchedOn.reset(new TLDirectTestRig);
    QVERIFY(switchedOn->isReady());
    QVERIFY(switchedOn->switchOn());
}

void TestDriverSettings::settersWhileOn_data()
{
    QTest::addColumn<QString>("setter");
    QTest::addColumn<double>("value");
    QTest::addColumn<bool>("blockQueries");
    QTest::addColumn<QByteArrayList>("expected");
    QTest::addColumn<QString>("logLine");

    const QByteArrayList exposure{"kv?", "as?", "ma?", "ms?"};
    QTest::newRow("kV 70: the road of one setting")
        << "kv" << 70.0 << false << QByteArrayList{"kv70"} + exposure << "set kV: 70";
    QTest::newRow("kV 70 with queries blocked")
        << "kv" << 70.0 << true << QByteArrayList{"kv70"} << "set kV: 70";
    QTest::newRow("kV 70.5") << "kv" << 70.5 << false << QByteArrayList{"kv70.5"} + exposure
                             << "set kV: 70.5";
    QTest::newRow("mAs 12.5") << "mas" << 12.5 << false << QByteArrayList{"as12.5"} + exposure
                              << "set mAs: 12.5";
    QTest::newRow("mA 250") << "ma" << 250.0 << false << QByteArrayList{"ma250"} + exposure << "set mA: 250";
    QTest::newRow("ms 0.5") << "ms" << 0.5 << false << QByteArrayList{"ms0.5"} + exposure << "set ms: 0.5";
    QTest::newRow("ms seven digits rounded")
        << "ms" << 1234567.0 << false << QByteArrayList{"ms1.23457e+06"} + exposure << "set ms: 1.23457e+06";
    QTest::newRow("density -2") << "density" << -2.0 << false << QByteArrayList{"ad-2", "ad?"}
                                << "set density: -2";
    QTest::newRow("aec 3") << "aec" << 3.0 << false << QByteArrayList{"af3", "af?", "kv?"} << "set aec: 3";
    QTest::newRow("mode 2") << "mode" << 2.0 << false << QByteArrayList{"em2", "em?", "af?"} << "set mode: 2";
    QTest::newRow("mode 4 sends an empty value")
        << "mode" << 4.0 << false << QByteArrayList{"em", "em?", "af?"} << "set mode: ";
    QTest::newRow("focus 2") << "focus" << 2.0 << false << QByteArrayList{"fc2", "fc?", "as?", "ma?"}
                             << "set focus: 2";
    QTest::newRow("focus 0 sends an empty value")
        << "focus" << 0.0 << true << QByteArrayList{"fc"} << "set focus: ";
    QTest::newRow("target 3 is code 12, 0c") << "target" << 3.0 << true << QByteArrayList{"dc0c"} << "";
    QTest::newRow("target 2 re-reads everything")
        << "target" << 2.0 << false
        << QByteArrayList{"dc02", "dc?", "fc?", "dc?", "em?", "kv?", "ma?", "ms?", "as?", "af?", "ad?"} << "";
    QTest::newRow("target 7 is code 0") << "target" << 7.0 << true << QByteArrayList{"dc00"} << "";
}

void TestDriverSettings::settersWhileOn()
{
    QFETCH(QString, setter);
    QFETCH(double, value);
    QFETCH(bool, blockQueries);
    QFETCH(QByteArrayList, expected);
    QFETCH(QString, logLine);

    TLDirectTestRig &rig = *switchedOn;
    rig.driver().setBlockQueries(blockQueries);
    rig.sim().clearTranscript();
    rig.host().clearRecords();

    TLGeneratorDriverKestrovan &d = rig.driver();
    if (setter == QLatin1String("kv"))
        d.setKV(value);
    else if (setter == QLatin1String("mas"))
        d.setMAs(value);
    else if (setter == QLatin1String("ma"))
        d.setMA(value);
    else if (setter == QLatin1String("ms"))
        d.setMs(value);
    else if (setter == QLatin1String("density"))
        d.setDensity(value);
    else if (setter == QLatin1String("aec"))
        d.setAec(int(value));
    else if (setter == QLatin1String("mode"))
        d.setMode(int(value));
    else if (setter == QLatin1String("focus"))
        d.setFocus(int(value));
    else if (setter == QLatin1String("target"))
        d.setTargetDevice(int(value));

    QCOMPARE(rig.payloadsFromDriver(), expected);
    if (!logLine.isEmpty()) {
        QCOMPARE(rig.host().countLog(logLine), 1);
    } else {
        QVERIFY(rig.host().logTexts().filter(QStringLiteral("set ")).isEmpty());
    }
    if (setter == QLatin1String("kv") && value == 70.0) {
        const QByteArray first = rig.sim().telegramsFromDriver().first();
        QCOMPARE(first.toHex(' '), QByteArray("6b 76 37 30 9a"));
        QCOMPARE(rig.driver().kV(), 70.0);
    }
}

void TestDriverSettings::settersWhileOffOnlyStore()
{
    TLDirectTestRig rig;
    QVERIFY(rig.isReady());
    QVERIFY(rig.driver().openConnection().isSuccess());
    TLGeneratorDriverKestrovan &d = rig.driver();
    d.setKV(70.5);
    d.setMAs(12.5);
    d.setMA(250);
    d.setMs(50);
    d.setDensity(-1.5);
    d.setAec(4);
    d.setMode(3);
    d.setFocus(2);
    d.setTargetDevice(2);
    QCOMPARE(d.kV(), 70.5);
    QCOMPARE(d.mAs(), 12.5);
    QCOMPARE(d.mA(), 250.0);
    QCOMPARE(d.ms(), 50.0);
    QCOMPARE(d.density(), -1.5);
    QCOMPARE(d.aec(), 4);
    QCOMPARE(d.mode(), 3);
    QCOMPARE(d.focus(), 2);
    QCOMPARE(d.targetDevice(), 2);
    QVERIFY(rig.payloadsFromDriver().isEmpty());
    QVERIFY(rig.host().logTexts().filter(QStringLiteral("set ")).isEmpty());
}

void TestDriverSettings::generatorCorrectionIsAnnounced()
{
    TLDirectTestRig rig;
    QVERIFY(rig.isReady());
    rig.sim().setCorrections(true);
    QVERIFY(rig.switchOn());
    int changes = 0;
    QObject receiver;
    connect(
        &rig.driver(), &TLAbstractGeneratorDriver::valueChanged, &receiver, [&] { ++changes; },
        Qt::QueuedConnection);
    rig.driver().setKV(200);
    QCOMPARE(rig.driver().kV(), 150.0);
    QCOMPARE(rig.host().countLog(QStringLiteral("value changed: kv (200 -> 150)")), 1);
    QTRY_VERIFY_WITH_TIMEOUT(changes >= 1, 2000);
}

void TestDriverSettings::readBackConversions_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("getter");
    QTest::addColumn<double>("expected");
    QTest::newRow("em 0 is mode 1") << QByteArray("em0") << "mode" << 1.0;
    QTest::newRow("em 3") << QByteArray("em3") << "mode" << 3.0;
    QTest::newRow("em x is mode 1") << QByteArray("emx") << "mode" << 1.0;
    QTest::newRow("fc 2") << QByteArray("fc2") << "focus" << 2.0;
    QTest::newRow("fc 3 is focus 1") << QByteArray("fc3") << "focus" << 1.0;
    QTest::newRow("dc 02 is device 2") << QByteArray("dc02") << "target" << 2.0;
    QTest::newRow("dc 05 matches no code: device 1") << QByteArray("dc05") << "target" << 1.0;
    QTest::newRow("dc 0c: a letter reads as 0, no code") << QByteArray("dc0c") << "target" << 1.0;
    QTest::newRow("dc with one character is device 1") << QByteArray("dc2") << "target" << 1.0;
    QTest::newRow("kv 70.5") << QByteArray("kv70.5") << "kv" << 70.5;
    QTest::newRow("kv garbage reads 0") << QByteArray("kvab") << "kv" << 0.0;
    QTest::newRow("af 12") << QByteArray("af12") << "aec" << 12.0;
    QTest::newRow("ad -3.5") << QByteArray("ad-3.5") << "density" << -3.5;
}

void TestDriverSettings::readBackConversions()
{
    QFETCH(QByteArray, payload);
    QFETCH(QString, getter);
    QFETCH(double, expected);
    TLDirectTestRig &rig = *switchedOn;
    rig.driver().setBlockQueries(true);
    // "dc" compares only its first two characters: make sure the report differs in them.
    if (payload.startsWith("dc"))
        rig.driver().onMessageReceived(telegram("dc__"));
    rig.driver().onMessageReceived(telegram(payload));
    double actual = -100;
    TLGeneratorDriverKestrovan &d = rig.driver();
    if (getter == QLatin1String("mode"))
        actual = d.mode();
    else if (getter == QLatin1String("focus"))
        actual = d.focus();
    else if (getter == QLatin1String("target"))
        actual = d.targetDevice();
    else if (getter == QLatin1String("kv"))
        actual = d.kV();
    else if (getter == QLatin1String("aec"))
        actual = d.aec();
    else if (getter == QLatin1String("density"))
        actual = d.density();
    QCOMPARE(actual, expected);
}

void TestDriverSettings::lastExposureDirect()
{
    TLDirectTestRig rig;
    QVERIFY(rig.isReady());
    rig.sim().setDapEnabled(true);
    QVERIFY(rig.switchOn());
    QTRY_VERIFY_WITH_TIMEOUT(rig.driver().statusDapEnabled(), 5000);
    rig.sim().setLastExposure("81", "12.5", "250", "200", "1.8");
    rig.sim().clearTranscript();
    TLGeneratorSettings settings;
    QVERIFY(rig.driver().lastExposureSettings(settings).isSuccess());
    QCOMPARE(settings.kV, 81.0);
    QCOMPARE(settings.mAs, 12.5);
    QCOMPARE(settings.mA, 250.0);
    QCOMPARE(settings.ms, 100.0);
    QVERIFY(settings.dap.isSet());
    QCOMPARE(settings.dap.value(DAPValueUnit::mGy_cm2), 1.8f);
    QCOMPARE(settings.focus, rig.driver().focus());
    QCOMPARE(rig.payloadsFromDriver(), (QByteArrayList{"xv?", "xa?", "xm?", "xs?", "xg?"}));
    QCOMPARE(rig.host().countLog(
                 QStringLiteral("last exposure settings: 81 kV, 12.5 mAs, 250 mA, 100 ms, 1.8 uGy")),
             1);
}

void TestDriverSettings::lastExposureDoseStaysZero()
{
    TLDirectTestRig rig;
    QVERIFY(rig.isReady());
    rig.sim().setDapEnabled(true);
    QVERIFY(rig.switchOn());
    QTRY_VERIFY_WITH_TIMEOUT(rig.driver().statusDapEnabled(), 5000);
    rig.sim().setLastExposure("70", "10", "200", "100", "0");
    rig.sim().clearTranscript();
    QElapsedTimer timer;
    timer.start();
    TLGeneratorSettings settings;
    QVERIFY(rig.driver().lastExposureSettings(settings).isSuccess());
    QVERIFY(timer.elapsed() > TLGeneratorDriverKestrovan::DoseTimeoutMs);
    QVERIFY(!settings.dap.isSet());
    QCOMPARE(settings.ms, 50.0);
    // Asked again and again while it stays 0, a quarter second apart.
    QVERIFY(rig.payloadsFromDriver().count("xg?") >= 5);
}

void TestDriverSettings::callsBeforeFirstSwitchOnReturnAtOnce()
{
    TLDirectTestRig rig;
    QVERIFY(rig.isReady());
    QElapsedTimer timer;
    timer.start();
    TLGeneratorSettings settings;
    QVERIFY(rig.driver().updateCurrentSettings().isSuccess());
    QVERIFY(rig.driver().lastExposureSettings(settings).isSuccess());
    QVariant version(5);
    QVERIFY(rig.driver().executeCommand(QStringLiteral("version"), version).isSuccess());
    QCOMPARE(version, QVariant(QString()));
    QVERIFY(timer.elapsed() < qint64(TLKestrovanProtocol::ReplyTimeoutMs));
    QCOMPARE(settings.kV, 0.0);
    QVERIFY(rig.sim().bytesFromDriver().isEmpty());
    // "version" asked before switching on must not keep the generator from being asked later.
    QVERIFY(rig.switchOn());
    QVERIFY(rig.driver().executeCommand(QStringLiteral("version"), version).isSuccess());
    QCOMPARE(version, QVariant(QStringLiteral("V1.2")));
}

int main(int argc, char **argv)
{
    TLHostApplication app(argc, argv);
    TestDriverSettings test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_driversettings.moc"
