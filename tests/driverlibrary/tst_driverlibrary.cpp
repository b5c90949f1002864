#include "TLAbstractGeneratorDriver.h"
#include "TLHostApplication.h"

#include <QLibrary>
#include <QtTest>

// The host's view of the plug-in: load it, resolve `driver`, use the object only through the
// generator-driver interface, destroy it.
class TestDriverLibrary : public QObject
{
    Q_OBJECT

private slots:
    void loadCreateAndDestroy();
};

void TestDriverLibrary::loadCreateAndDestroy()
{
    QLibrary library(QStringLiteral(KESTROVAN_DRIVER_PATH));
    QVERIFY2(library.load(), qPrintable(library.errorString()));
    using Entry = TLAbstractGeneratorDriver *(*)();
    const auto entry = reinterpret_cast<Entry>(library.resolve("driver"));
    QVERIFY(entry);

    TLAbstractGeneratorDriver *driver = entry();
    QVERIFY(driver);
    QCOMPARE(driver->metaObject()->className(), "TLGeneratorDriverKestrovan");
    QVERIFY(driver->isDirectConnection());

    // A fresh driver is switched off: its getters give the default settings and send nothing.
    const TLGeneratorSettings defaults;
    QCOMPARE(driver->targetDevice(), defaults.targetDevice);
    QCOMPARE(driver->mode(), defaults.mode);
    QCOMPARE(driver->kV(), defaults.kV);
    QCOMPARE(driver->mAs(), defaults.mAs);
    QCOMPARE(driver->mA(), defaults.mA);
    QCOMPARE(driver->ms(), defaults.ms);
    QCOMPARE(driver->density(), defaults.density);
    QCOMPARE(driver->focus(), defaults.focus);
    QCOMPARE(driver->aec(), defaults.aec);
    QCOMPARE(driver->minKV(), 40.0);
    QCOMPARE(driver->maxKV(), 150.0);
    QCOMPARE(driver->minMAs(), 0.5);
    QCOMPARE(driver->maxMAs(), 600.0);
    QCOMPARE(driver->minMA(), 1.0);
    QCOMPARE(driver->maxMA(), 800.0);
    QCOMPARE(driver->minMs(), 1.0);
    QCOMPARE(driver->maxMs(), 6000.0);
    QCOMPARE(driver->minDensity(), -8.0);
    QCOMPARE(driver->maxDensity(), 8.0);
    QVERIFY(!driver->densityInHalfPoints());

    // Switched off, a setter only stores.
    driver->setKV(70.5);
    QCOMPARE(driver->kV(), 70.5);

    // Nothing is open, so "version" knows nothing yet and "isDapEnabled" is false.
    QVariant value(42);
    QVERIFY(driver->executeCommand(QStringLiteral("version"), value).isSuccess());
    QCOMPARE(value.toString(), QString());
    QVERIFY(driver->executeCommand(QStringLiteral("isDapEnabled"), value).isSuccess());
    QCOMPARE(value, QVariant(false));
    // With no link, nothing went towards the wire.
    for (const QString &line : TLHostApplication::host()->logTexts())
        QVERIFY2(!line.startsWith(QLatin1String("query:")) && !line.startsWith(QLatin1String("command:")),
                 qPrintable(line));

    delete driver;
    QVERIFY(library.unload());
}

int main(int argc, char **argv)
{
    TLHostApplication app(argc, argv);
    TestDriverLibrary test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_driverlibrary.moc"
