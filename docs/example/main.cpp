// A minimal host: loads the driver plug-in, configures the driver, initialises it, sets a
// value, activates it for an acquisition and reads the last exposure.
//   kestrovan-example direct /dev/serial/by-id/usb-FTDI_USB_Serial_XXXX-if00-port0
//   kestrovan-example indirect /srv/console-share
#include "TLGeneratorConfigData.h"
#include "TLHostApplication.h"
#include "TLHostDevice.h"
#include "TLHostSystemSettings.h"
#include "driver.h"

#include <QDir>
#include <QLibrary>
#include <QLocale>
#include <QTranslator>

#include <cstdio>
#include <memory>

namespace {
// Prints a failure; true when the program can go on (a warning, or success).
bool report(const char *step, const TLCondition &result)
{
    if (!result.isSuccess())
        std::fprintf(stderr, "%s: %s (%s)\n", step, qUtf8Printable(result.text()),
                     qUtf8Printable(result.details()));
    return !result.isError();
}
} // namespace

int main(int argc, char *argv[])
{
    // The application object is also the host context: the driver logs to it, shows alarms
    // through it and asks it for the two directories.
    TLHostApplication app(argc, argv);
    app.setPrinting(stderr, LogLevel::Info);
    // The driver's texts in the user's language where a translation is installed (kestrovan_en.qm
    // for English); German, the driver's own, needs none.
    QTranslator translator;
    if (translator.load(QLocale(), QStringLiteral("kestrovan"), QStringLiteral("_"),
                        QStringLiteral(KESTROVAN_TRANSLATIONS_DIR)))
        QCoreApplication::installTranslator(&translator);
    const QStringList args = QCoreApplication::arguments();
    const bool direct = args.value(1) == QLatin1String("direct");
    if (args.size() != 3 || (!direct && args.value(1) != QLatin1String("indirect"))) {
        std::fprintf(stderr, "usage: kestrovan-example direct PORT | indirect FOLDER\n");
        return 2;
    }
    app.systemSettings().setDataDirectory(QStringLiteral(KESTROVAN_DATA_DIR));
    app.systemSettings().setWorkingDirectory(QDir::tempPath());

    // The library stays loaded for the life of the process.
    QLibrary plugin(QStringLiteral(KESTROVAN_DRIVER_PLUGIN));
    const auto entry = reinterpret_cast<decltype(&driver)>(plugin.resolve("driver"));
    if (!entry) {
        std::fprintf(stderr, "%s\n", qUtf8Printable(plugin.errorString()));
        return 1;
    }
    TLHostDevice device(QStringLiteral("kestrovan")); // errors.csv: <data directory>/kestrovan/
    std::unique_ptr<TLAbstractGeneratorDriver> generator(entry());

    auto config = QSharedPointer<TLGeneratorConfigData>::create();
    if (direct)
        config->portName = args.at(2);
    else
        config->communicationFolder = args.at(2);
    config->targetDeviceCodes = {{1, 2, 3}};
    generator->setDirectConnection(direct);
    generator->setDevice(&device);
    generator->setDeviceConfig(config);
    generator->setProcedureCodes(TLProcedureCodes(QString(), QStringLiteral("AB12")));

    if (!report("init", generator->initGenerator()))
        return 1;
    generator->setKV(70);
    if (!report("activate", generator->activateForAcqusition()))
        return 1;
    // ... the acquisition ...
    TLGeneratorSettings last;
    generator->lastExposureSettings(last);
    std::printf("last exposure: %g kV, %g mAs, %g mA, %g ms\n", last.kV, last.mAs, last.mA, last.ms);
    return 0; // the driver's destructor switches the generator off
}
