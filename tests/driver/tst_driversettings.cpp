#include "TLDirectTestRig.h"
#include "TLTestMain.h"

#include <QRegularExpression>

namespace {
enum class Setting { KV, MAs, MA, Ms, Density, Aec, Mode, Focus, Target };
} // namespace
Q_DECLARE_METATYPE(Setting)

// The exposure parameters while switched on (sent and re-queried) and off (only stored), their
// conversions, and the values of the last exposure.
class TestDriverSettings : public QObject
{
    Q_OBJECT

    // One switched-on generator shared by the rows: switching on for each would only cost time.
    std::unique_ptr<TLDirectTestRig> on;
    static constexpr double Skip = -999;

    static void set(TLGeneratorDriverKestrovan &d, Setting setting, double value)
    {
        switch (setting) {
        case Setting::KV:
            return d.setKV(value);
        case Setting::MAs:
            return d.setMAs(value);
        case Setting::MA:
            return d.setMA(value);
        case Setting::Ms:
            return d.setMs(value);
        case Setting::Density:
            return d.setDensity(value);
        case Setting::Aec:
            return d.setAec(int(value));
        case Setting::Mode:
            return d.setMode(int(value));
        case Setting::Focus:
            return d.setFocus(int(value));
        case Setting::Target:
            return d.setTargetDevice(int(value));
        }
    }
    static double get(TLGeneratorDriverKestrovan &d, Setting setting)
    {
        switch (setting) {
        case Setting::KV:
            return d.kV();
        case Setting::MAs:
            return d.mAs();
        case Setting::MA:
            return d.mA();
        case Setting::Ms:
            return d.ms();
        case Setting::Density:
            return d.density();
        case Setting::Aec:
            return d.aec();
        case Setting::Mode:
            return d.mode();
        case Setting::Focus:
            return d.focus();
        case Setting::Target:
            return d.targetDevice();
        }
        return Skip;
    }

private slots:
    void initTestCase()
    {
        on.reset(new TLDirectTestRig);
        QVERIFY(on->isReady());
        QVERIFY(on->switchOn());
    }
    void cleanupTestCase() { on.reset(); }

    void settersWhileOn_data()
    {
        QTest::addColumn<Setting>("setting");
        QTest::addColumn<double>("value");
        QTest::addColumn<bool>("blockQueries");
        QTest::addColumn<QByteArrayList>("expected");
        QTest::addColumn<QString>("line");
        QTest::addColumn<double>("back"); // what the getter then reads
        const QByteArrayList exposure{"kv?", "as?", "ma?", "ms?"};
        QTest::newRow("kV 70.5") << Setting::KV << 70.5 << false << QByteArrayList{"kv70.5"} + exposure
                                 << "set kV: 70.5" << 70.5;
        QTest::newRow("kV 70, queries blocked")
            << Setting::KV << 70.0 << true << QByteArrayList{"kv70"} << "set kV: 70" << 70.0;
        QTest::newRow("mAs 12.5") << Setting::MAs << 12.5 << false << QByteArrayList{"as12.5"} + exposure
                                  << "set mAs: 12.5" << 12.5;
        QTest::newRow("mA 250") << Setting::MA << 250.0 << false << QByteArrayList{"ma250"} + exposure
                                << "set mA: 250" << 250.0;
        QTest::newRow("ms rounded to six digits")
            << Setting::Ms << 1234567.0 << false << QByteArrayList{"ms1.23457e+06"} + exposure
            << "set ms: 1.23457e+06" << 1234570.0;
        QTest::newRow("density -2") << Setting::Density << -2.0 << false << QByteArrayList{"ad-2", "ad?"}
                                    << "set density: -2" << -2.0;
        QTest::newRow("aec 3") << Setting::Aec << 3.0 << false << QByteArrayList{"af3", "af?", "kv?"}
                               << "set aec: 3" << 3.0;
        QTest::newRow("mode 2") << Setting::Mode << 2.0 << false << QByteArrayList{"em2", "em?", "af?"}
                                << "set mode: 2" << 2.0;
        QTest::newRow("mode 4: empty value")
            << Setting::Mode << 4.0 << true << QByteArrayList{"em"} << "set mode: " << 1.0;
        QTest::newRow("focus 2") << Setting::Focus << 2.0 << false
                                 << QByteArrayList{"fc2", "fc?", "as?", "ma?"} << "set focus: 2" << 2.0;
        QTest::newRow("focus 0: empty value")
            << Setting::Focus << 0.0 << true << QByteArrayList{"fc"} << "set focus: " << 1.0;
        QTest::newRow("target 3 is code 12: 0c")
            << Setting::Target << 3.0 << true << QByteArrayList{"dc0c"} << "" << Skip;
        QTest::newRow("target 7 is code 0")
            << Setting::Target << 7.0 << true << QByteArrayList{"dc00"} << "" << Skip;
        QTest::newRow("target 2 re-reads everything")
            << Setting::Target << 2.0 << false
            << QByteArrayList{"dc02", "dc?", "fc?", "dc?", "em?", "kv?", "ma?", "ms?", "as?", "af?", "ad?"}
            << "" << 2.0;
    }
    void settersWhileOn()
    {
        QFETCH(Setting, setting);
        QFETCH(double, value);
        QFETCH(bool, blockQueries);
        QFETCH(QByteArrayList, expected);
        QFETCH(QString, line);
        QFETCH(double, back);
        on->driver().setBlockQueries(blockQueries);
        on->sim().line().clearTranscript();
        on->host().clearRecords();
        set(on->driver(), setting, value);
        on->driver().setBlockQueries(false);
        QCOMPARE(on->payloadsFromDriver(), expected);
        QCOMPARE(on->host().logTexts().filter(QRegularExpression("^set ")),
                 line.isEmpty() ? QStringList{} : QStringList{line});
        if (back != Skip)
            QCOMPARE(get(on->driver(), setting), back);
    }

    void readBack_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<Setting>("setting");
        QTest::addColumn<double>("expected");
        QTest::newRow("em0 is mode 1") << QByteArray("em0") << Setting::Mode << 1.0;
        QTest::newRow("em3") << QByteArray("em3") << Setting::Mode << 3.0;
        QTest::newRow("em2") << QByteArray("em2") << Setting::Mode << 2.0;
        QTest::newRow("fc2") << QByteArray("fc2") << Setting::Focus << 2.0;
        QTest::newRow("fc3 is focus 1") << QByteArray("fc3") << Setting::Focus << 1.0;
        QTest::newRow("dc02 is device 2") << QByteArray("dc02") << Setting::Target << 2.0;
        QTest::newRow("dc12: second character 2, device 2") << QByteArray("dc12") << Setting::Target << 2.0;
        QTest::newRow("dc05 matches no code") << QByteArray("dc05") << Setting::Target << 1.0;
        QTest::newRow("dc0c: a letter reads 0") << QByteArray("dc0c") << Setting::Target << 1.0;
        QTest::newRow("dc with one character") << QByteArray("dc2") << Setting::Target << 1.0;
        QTest::newRow("kv70.5") << QByteArray("kv70.5") << Setting::KV << 70.5;
        QTest::newRow("kv garbage reads 0") << QByteArray("kvab") << Setting::KV << 0.0;
        QTest::newRow("af12") << QByteArray("af12") << Setting::Aec << 12.0;
        QTest::newRow("ad-3.5") << QByteArray("ad-3.5") << Setting::Density << -3.5;
        QTest::newRow("as0.5") << QByteArray("as0.5") << Setting::MAs << 0.5;
        QTest::newRow("ma12") << QByteArray("ma12") << Setting::MA << 12.0;
        QTest::newRow("ms7") << QByteArray("ms7") << Setting::Ms << 7.0;
    }
    void readBack()
    {
        QFETCH(QByteArray, reply);
        QFETCH(Setting, setting);
        QFETCH(double, expected);
        // "dc" compares only its first two characters: make sure the report differs in them.
        on->driver().onMessageReceived(TLKestrovanSimulatedLine::telegram(reply.left(2) + "__"));
        on->driver().onMessageReceived(TLKestrovanSimulatedLine::telegram(reply));
        QCOMPARE(get(on->driver(), setting), expected);
    }

    void settersWhileOffOnlyStore()
    {
        TLDirectTestRig rig;
        QVERIFY(rig.isReady());
        QVERIFY(rig.driver().openConnection().isSuccess());
        TLGeneratorDriverKestrovan &d = rig.driver();
        const QList<QPair<Setting, double>> values{
            {Setting::KV, 70.5}, {Setting::MAs, 12.5},     {Setting::MA, 250},
            {Setting::Ms, 50},   {Setting::Density, -1.5}, {Setting::Aec, 4},
            {Setting::Mode, 3},  {Setting::Focus, 2},      {Setting::Target, 2}};
        for (const auto &value : values)
            set(d, value.first, value.second);
        for (const auto &value : values)
            QCOMPARE(get(d, value.first), value.second);
        QCOMPARE(d.minKV(), 40.0);
        QVERIFY(rig.payloadsFromDriver().isEmpty());
        QVERIFY(rig.host().logTexts().filter(QStringLiteral("set ")).isEmpty());
    }

    void correctionIsAnnounced()
    {
        TLDirectTestRig rig;
        QVERIFY(rig.isReady());
        rig.sim().model().setCorrections(true);
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

    void lastExposure()
    {
        TLDirectTestRig rig;
        QVERIFY(rig.isReady());
        rig.sim().model().setDapEnabled(true);
        QVERIFY(rig.switchOn());
        QTRY_VERIFY_WITH_TIMEOUT(rig.driver().statusDapEnabled(), 3000);
        rig.sim().model().setLastExposure("81", "12.5", "250", "200", "1.8");
        rig.sim().model().setDoseZeroQueries(2);
        rig.sim().line().clearTranscript();
        TLGeneratorSettings settings;
        QVERIFY(rig.driver().lastExposureSettings(settings).isSuccess());
        QCOMPARE(settings.kV, 81.0);
        QCOMPARE(settings.mAs, 12.5);
        QCOMPARE(settings.mA, 250.0);
        QCOMPARE(settings.ms, 100.0);
        QCOMPARE(settings.dap.value(DAPValueUnit::mGy_cm2), 1.8f);
        QCOMPARE(settings.focus, rig.driver().focus());
        // The dose is asked for again, a quarter second apart, while it reads 0.
        QCOMPARE(rig.payloadsFromDriver(), (QByteArrayList{"xv?", "xa?", "xm?", "xs?", "xg?", "xg?", "xg?"}));
        QCOMPARE(rig.host().countLog(
                     QStringLiteral("last exposure settings: 81 kV, 12.5 mAs, 250 mA, 100 ms, 1.8 uGy")),
                 1);
    }
};

TL_TEST_MAIN(TestDriverSettings)
#include "tst_driversettings.moc"
