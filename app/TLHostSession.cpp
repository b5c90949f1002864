#include "TLHostSession.h"

#include "TLGeneratorConfigData.h"
#include "TLHostApplication.h"
#include "TLHostCommandLine.h"
#include "TLHostHints.h"
#include "TLHostPaths.h"
#include "TLHostSystemSettings.h"
#include "TLProcedureCodes.h"
#include "TLSerialTraceRelay.h"
#include "TLXRayExposureStateProvider.h"
#include "TLXRaySynchronizer.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

TLHostSession::TLHostSession() = default;

TLHostSession::~TLHostSession()
{
    close();
    // The library stays loaded: objects of the plug-in (its Qt meta-objects, queued events)
    // may be referred to until the process ends.
}

bool TLHostSession::loadPlugin(const QString &path)
{
    const QFileInfo info(path);
    if (!info.isFile()) {
        error = QStringLiteral("the driver library %1 does not exist").arg(path);
        return false;
    }
    library.setFileName(info.absoluteFilePath());
    if (!library.load()) {
        error = QStringLiteral("cannot load the driver library %1: %2").arg(path, library.errorString());
        return false;
    }
    entry = reinterpret_cast<DriverEntry>(library.resolve("driver"));
    if (!entry) {
        error = QStringLiteral("%1 is no generator driver: it exports no \"driver\"").arg(path);
        return false;
    }
    return true;
}

QString TLHostSession::pluginVersion() const
{
    if (!entry)
        return QStringLiteral("unknown");
    const std::unique_ptr<TLAbstractGeneratorDriver> asked(entry());
    QVariant version;
    // A driver that does not know the command leaves the value as it was: invalid.
    if (asked)
        asked->executeCommand(QStringLiteral("driverVersion"), version);
    return version.isValid() && !version.toString().isEmpty() ? version.toString()
                                                              : QStringLiteral("unknown");
}

bool TLHostSession::openDirect(const QString &portName, const TLHostCommandLine &options)
{
    return open(true, portName, options);
}

bool TLHostSession::openIndirect(const QString &folder, const TLHostCommandLine &options)
{
    const QFileInfo info(folder);
    if (info.exists() && !info.isDir()) {
        error = QStringLiteral("--indirect %1 is a file, not a folder").arg(folder);
        return false;
    }
    return open(false, folder, options);
}

bool TLHostSession::setDirectories(const TLHostCommandLine &options)
{
    TLHostSystemSettings &settings = TLHostApplication::host()->systemSettings();
    QString data = options.dataDirectory();
    if (data.isEmpty())
        data = TLHostPaths::defaultDataDirectory();
    settings.setDataDirectory(data);

    QString working = options.workingDirectory();
    if (working.isEmpty()) {
        if (!workingFolder)
            workingFolder.reset(
                new QTemporaryDir(QDir::tempPath() + QStringLiteral("/kestrovan-host-XXXXXX")));
        if (!workingFolder->isValid()) {
            error = QStringLiteral("cannot make a temporary working folder: %1")
                        .arg(workingFolder->errorString());
            return false;
        }
        working = workingFolder->path();
    }
    settings.setWorkingDirectory(working);
    return true;
}

bool TLHostSession::open(bool direct, const QString &portOrFolder, const TLHostCommandLine &options)
{
    close();
    if (!entry) {
        error = QStringLiteral("no driver library is loaded");
        return false;
    }
    if (!setDirectories(options))
        return false;

    portForDriver = direct ? portOrFolder : QString();
    if (direct && !options.traceFile().isEmpty()) {
        relay.reset(new TLSerialTraceRelay);
        if (!relay->start(portOrFolder, options.traceFile())) {
            error = relay->errorString();
            const QString hint = TLHostHints::portProblem(portOrFolder);
            if (!hint.isEmpty())
                error += QStringLiteral("\nhint: ") + hint;
            relay.reset();
            return false;
        }
        portForDriver = relay->slavePath();
    }

    QSharedPointer<TLGeneratorConfigData> config(new TLGeneratorConfigData);
    config->portName = portForDriver;
    config->targetDeviceCodes = options.targetCodes();
    config->communicationFolder = direct ? QString() : portOrFolder;

    hostDevice.setFolderName(options.deviceFolder());
    hostDevice.setState(DeviceState::Ready);

    TLXRayExposureStateProvider::instance()->setUnlocked(!options.locked());
    TLXRaySynchronizer::instance()->setDetectorReadyAnswer(options.detectorReady());
    TLXRaySynchronizer::instance()->setXRayWindowAnswer(options.windowOpen());

    generatorDriver.reset(entry());
    if (!generatorDriver) {
        error = QStringLiteral("the driver library made no driver object");
        return false;
    }
    generatorDriver->setDirectConnection(direct);
    generatorDriver->setDevice(&hostDevice);
    generatorDriver->setDeviceConfig(config);
    generatorDriver->setProcedureCodes(TLProcedureCodes(QString(), options.procedureCode()));
    return true;
}

void TLHostSession::close()
{
    generatorDriver.reset();
    if (relay) {
        relay->stop();
        relay.reset();
    }
}
