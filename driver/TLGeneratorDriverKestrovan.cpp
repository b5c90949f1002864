#include "TLGeneratorDriverKestrovan.h"

#include "KestrovanLog.h"
#include "TLAbstractDevice.h"
#include "TLAbstractSystemSettings.h"
#include "TLApplicationContext.h"
#include "TLFileSystemHelper.h"
#include "TLGeneratorConfigData.h"
#include "TLKestrovanIndirectCommunicator.h"
#include "TLKestrovanStatusWord.h"
#include "TLWaitHelper.h"

#include <QElapsedTimer>

using namespace Kestrovan;
using KestrovanLog::log;

namespace {
std::array<quint32, 3> targetCodes(const QSharedPointer<TLAbstractEquipmentSpecialConfigData> &config)
{
    const QSharedPointer<TLGeneratorConfigData> generator = config.dynamicCast<TLGeneratorConfigData>();
    return generator ? generator->targetDeviceCodes : std::array<quint32, 3>{{0, 0, 0}};
}
} // namespace

TLGeneratorDriverKestrovan::TLGeneratorDriverKestrovan(QObject *parent) : TLKestrovanProtocol(parent)
{
    connect(this, &TLKestrovanProtocol::communicationErrorOccurred, this,
            &TLGeneratorDriverKestrovan::onCommunicationError, Qt::QueuedConnection);
    // Any failure, shown or not, leaves the driver switched off with its port closed, so that
    // nothing waits on a dead line and a later switch-on opens a fresh one.
    // The reaction comes queued: by then the host may have opened a newer link, which it must
    // leave alone.
    connect(
        this, &TLKestrovanProtocol::linkFailed, this,
        [this] {
            if (!hasCurrentLinkFailed())
                return;
            closeConnection();
            switchedOn.store(false);
        },
        Qt::QueuedConnection);
}

TLGeneratorDriverKestrovan::~TLGeneratorDriverKestrovan()
{
    while (device() && device()->state() == DeviceState::Busy)
        TLWaitHelper::waitSomeMilliseconds(DeviceBusyPollMs);
    switchOff();
    indirectCommunicator.reset();
}

TLGeneratorSettings TLGeneratorDriverKestrovan::pending() const
{
    std::lock_guard<std::mutex> lock(settingsMutex);
    return pendingSettings;
}

template <typename Change> void TLGeneratorDriverKestrovan::store(Change change)
{
    std::lock_guard<std::mutex> lock(settingsMutex);
    change(pendingSettings);
}

QString TLGeneratorDriverKestrovan::numberText(double value)
{
    return QString::number(value, 'g', 6);
}

void TLGeneratorDriverKestrovan::sendSetting(int id, const QString &text,
                                             std::initializer_list<int> followUps)
{
    sendCommand(id, text, true);
    for (const int followUp : followUps) {
        if (!blockQueries())
            query(followUp, true);
    }
}

TLCondition TLGeneratorDriverKestrovan::notInitialised() const
{
    log(LogLevel::Error, QStringLiteral("indirect connection not initialised"));
    return TLCondition::error(tr("Der Generator ist nicht initialisiert."));
}

// --- power ---------------------------------------------------------------------------------

TLCondition TLGeneratorDriverKestrovan::switchOn()
{
    if (switchedOn.load())
        return TLCondition();

    TLCondition opened = openConnection();
    if (!opened.isSuccess()) {
        log(LogLevel::Error, QStringLiteral("failed to switch on generator - com port error"));
        return opened;
    }
    TLCondition sent = sendCommand(Power, QStringLiteral("1"), true);
    if (!sent.isSuccess()) {
        log(LogLevel::Error,
            QStringLiteral("failed to switch on generator - failed to send power on command"));
        return sent;
    }
    startStatusPolling();

    if (!waitForStatus1Bit(TLKestrovanStatusWord::GeneratorOnBit, PowerOnTimeoutMs)) {
        log(LogLevel::Error, QStringLiteral("failed to switch on generator - no power on acknowledgment"));
        return TLCondition::error(tr("Keine Einschalt-Rückmeldung vom Generator."));
    }

    switchedOn.store(true);
    log(LogLevel::Notice, QStringLiteral("generator switched on"));
    updateCurrentSettings();
    log(LogLevel::Notice, QStringLiteral("query init values finished"));
    setFocus(focus());
    log(LogLevel::Info, QStringLiteral("set focus for activation"));
    setTargetDevice(1);
    log(LogLevel::Info, QStringLiteral("set target device (table)"));
    return TLCondition();
}

TLCondition TLGeneratorDriverKestrovan::switchOff()
{
    if (!isPortOpen())
        return TLCondition();
    if (switchedOn.load()) {
        const TLCondition sent = sendCommand(Power, QStringLiteral("0"), true);
        if (!sent.isSuccess())
            log(LogLevel::Error,
                QStringLiteral("failed to switch off generator - failed to send power off command"));
    }
    closeConnection();
    switchedOn.store(false);
    log(LogLevel::Notice, QStringLiteral("generator switched off"));
    return TLCondition();
}

void TLGeneratorDriverKestrovan::onCommunicationError()
{
    if (!hasCurrentLinkFailed())
        return;
    if (isPortOpen())
        closeConnection();
    switchedOn.store(false);
    log(LogLevel::Notice, QStringLiteral("serial port closed after error"));
    if (TLAbstractDevice *hostDevice = device())
        hostDevice->setState(DeviceState::Error);
}

// --- life cycle and host commands ----------------------------------------------------------

TLCondition TLGeneratorDriverKestrovan::initGenerator()
{
    if (!isDirectConnection()) {
        log(LogLevel::Debug, QStringLiteral("init generator for indirect connection"));
        const QSharedPointer<TLGeneratorConfigData> config =
            deviceConfig().dynamicCast<TLGeneratorConfigData>();
        indirectCommunicator.reset(new TLKestrovanIndirectCommunicator);
        return indirectCommunicator->init(config ? config->communicationFolder : QString());
    }

    log(LogLevel::Debug, QStringLiteral("init generator for direct connection"));
    QString dataDirectory;
    if (TLApplicationContext *context = TLApplicationContext::instance()) {
        if (const QSharedPointer<TLAbstractSystemSettings> system = context->system())
            dataDirectory = system->dataDirectory();
    }
    const QString folderName = device() ? device()->folderName() : QString();
    const QString folder =
        TLFileSystemHelper::adaptFileOrPathToSystem(dataDirectory + QLatin1Char('/') + folderName);
    const TLCondition catalogue = errorHandler.loadErrorFile(folder);
    const TLCondition switched = switchOn();
    return switched.isSuccess() ? catalogue : switched;
}

TLCondition TLGeneratorDriverKestrovan::executeCommand(const QString &command, QVariant &value)
{
    if (command == QLatin1String("version")) {
        value = QVariant(currentValue(Version, true, true));
        return TLCondition();
    }
    if (command == QLatin1String("isDapEnabled")) {
        value = QVariant(statusDapEnabled());
        return TLCondition();
    }
    // Not one of the host's own commands: how the line fares, for a host that wants to show it.
    if (command == QLatin1String("linkHealth")) {
        value = linkHealth();
        return TLCondition();
    }
    // Not one of the host's own commands either: which driver the host loaded.
    if (command == QLatin1String("driverVersion")) {
        value = QVariant(QStringLiteral(KESTROVAN_DRIVER_VERSION));
        return TLCondition();
    }
    if (command == QLatin1String("switchOn"))
        return switchOn();
    if (command == QLatin1String("switchOff"))
        return switchOff();
    return TLCondition();
}

TLCondition TLGeneratorDriverKestrovan::activateForAcqusition()
{
    if (!isDirectConnection()) {
        const QString code = procedureCodes().code2();
        log(LogLevel::Debug,
            QStringLiteral("activate generator for acquisition in indirect connection mode (code: %1)")
                .arg(code));
        if (!indirectCommunicator)
            return notInitialised();
        return indirectCommunicator->activate(code);
    }

    log(LogLevel::Debug, QStringLiteral("activate generator for acquisition in direct connection mode"));
    if (!switchedOn.load() || !statusGeneratorOn()) {
        log(LogLevel::Error, QStringLiteral("no connection to generator"));
        return TLCondition::error(tr("Die Verbindung zum Generator ist nicht hergestellt."));
    }
    sendCommand(ResetError, QString(), true);
    if (!waitForStatus1Bit(TLKestrovanStatusWord::FocusReadyBit, FocusReadyTimeoutMs))
        return TLCondition::error(tr("Fokus nicht bereit."));
    return TLCondition();
}

// --- settings ------------------------------------------------------------------------------

TLCondition TLGeneratorDriverKestrovan::updateCurrentSettings()
{
    if (blockQueries() || !isDirectConnection())
        return TLCondition();
    for (const int id : {Focus, TargetDevice, ExposureMode, KV, MA, Ms, MAs, Aec})
        query(id, false);
    query(Density, true);
    return TLCondition();
}

TLCondition TLGeneratorDriverKestrovan::lastExposureSettings(TLGeneratorSettings &settings)
{
    if (isDirectConnection())
        return lastExposureSettingsDirect(settings);

    log(LogLevel::Debug, QStringLiteral("query last exposure settings in indirect connection mode"));
    if (!indirectCommunicator) {
        settings = TLGeneratorSettings();
        return notInitialised();
    }
    settings = indirectCommunicator->lastExposureSettings();
    return TLCondition();
}

TLCondition TLGeneratorDriverKestrovan::lastExposureSettingsDirect(TLGeneratorSettings &settings)
{
    log(LogLevel::Debug, QStringLiteral("query last exposure settings in direct connection mode"));
    TLGeneratorSettings result = currentSettings();
    // A value counts only when its reply came: without one it reads 0, never as the value of an
    // earlier exposure that is still stored.
    QStringList unanswered;
    const auto lastValue = [this, &unanswered](int id, const QString &name) {
        const quint64 before = receivedCount(id);
        query(id, true);
        if (receivedCount(id) == before) {
            if (!unanswered.contains(name))
                unanswered << name;
            return QString();
        }
        return currentValue(id, false, false);
    };
    result.kV = lastValue(LastKV, QStringLiteral("kV")).toDouble();
    result.mAs = lastValue(LastMAs, QStringLiteral("mAs")).toDouble();
    result.mA = lastValue(LastMA, QStringLiteral("mA")).toDouble();
    result.ms = lastValue(LastMs, QStringLiteral("ms")).toDouble() * 0.5;

    if (statusDapEnabled()) {
        QElapsedTimer timer;
        timer.start();
        float dose = lastValue(LastDose, QStringLiteral("dose")).toFloat();
        // On a link that is no longer open no later answer can come.
        while (!(dose > 0.0f) && isLinkRunning()) {
            if (timer.elapsed() > DoseTimeoutMs)
                break;
            TLWaitHelper::waitSomeMilliseconds(DoseRetryPauseMs);
            unanswered.removeAll(QStringLiteral("dose"));
            dose = lastValue(LastDose, QStringLiteral("dose")).toFloat();
        }
        if (dose > 0.0f)
            result.dap.setValue(dose, DAPValueUnit::mGy_cm2);
    }

    if (!unanswered.isEmpty())
        log(LogLevel::Warning,
            QStringLiteral("no reply for the last exposure's ") + unanswered.join(QStringLiteral(", ")));
    log(LogLevel::Debug,
        QStringLiteral("last exposure settings: %1 kV, %2 mAs, %3 mA, %4 ms, %5 uGy")
            .arg(numberText(result.kV), numberText(result.mAs), numberText(result.mA), numberText(result.ms),
                 numberText(static_cast<double>(result.dap.value(DAPValueUnit::mGy_cm2)))));
    settings = result;
    return TLCondition();
}

int TLGeneratorDriverKestrovan::targetDevice()
{
    if (!switchedOn.load())
        return pending().targetDevice;
    const QString text = currentValue(TargetDevice, true, true);
    if (text.size() < 2)
        return 1;
    const QChar second = text.at(1);
    const quint32 digit = (second >= QLatin1Char('0') && second <= QLatin1Char('9'))
                              ? static_cast<quint32>(second.unicode() - '0')
                              : 0;
    const std::array<quint32, 3> codes = targetCodes(deviceConfig());
    for (int i = 0; i < 3; ++i) {
        if (codes[static_cast<size_t>(i)] == digit)
            return i + 1;
    }
    return 1;
}

void TLGeneratorDriverKestrovan::setTargetDevice(int device)
{
    if (!switchedOn.load()) {
        store([device](TLGeneratorSettings &s) { s.targetDevice = device; });
        return;
    }
    const std::array<quint32, 3> codes = targetCodes(deviceConfig());
    const quint32 code = (device >= 1 && device <= 3) ? codes[static_cast<size_t>(device - 1)] : 0;
    sendSetting(TargetDevice, QString::asprintf("%02x", code), {TargetDevice});
    updateCurrentSettings();
}

int TLGeneratorDriverKestrovan::mode()
{
    if (!switchedOn.load())
        return pending().mode;
    const QString text = currentValue(ExposureMode, true, true);
    if (text == QLatin1String("2"))
        return 2;
    if (text == QLatin1String("3"))
        return 3;
    return 1;
}

void TLGeneratorDriverKestrovan::setMode(int mode)
{
    if (!switchedOn.load()) {
        store([mode](TLGeneratorSettings &s) { s.mode = mode; });
        return;
    }
    const QString text = (mode >= 1 && mode <= 3) ? QString::number(mode) : QString();
    log(LogLevel::Debug, QStringLiteral("set mode: %1").arg(text));
    sendSetting(ExposureMode, text, {ExposureMode, Aec});
}

double TLGeneratorDriverKestrovan::numberSetting(int id, double TLGeneratorSettings::*field)
{
    return switchedOn.load() ? currentValue(id, true, true).toDouble() : pending().*field;
}

void TLGeneratorDriverKestrovan::setNumberSetting(int id, const char *name, double value,
                                                  double TLGeneratorSettings::*field,
                                                  std::initializer_list<int> followUps)
{
    if (!switchedOn.load()) {
        store([field, value](TLGeneratorSettings &s) { s.*field = value; });
        return;
    }
    log(LogLevel::Debug, QStringLiteral("set %1: %2").arg(QLatin1String(name), numberText(value)));
    sendSetting(id, numberText(value), followUps);
}

double TLGeneratorDriverKestrovan::kV()
{
    return numberSetting(KV, &TLGeneratorSettings::kV);
}

void TLGeneratorDriverKestrovan::setKV(double value)
{
    setNumberSetting(KV, "kV", value, &TLGeneratorSettings::kV, {KV, MAs, MA, Ms});
}

double TLGeneratorDriverKestrovan::mAs()
{
    return numberSetting(MAs, &TLGeneratorSettings::mAs);
}

void TLGeneratorDriverKestrovan::setMAs(double value)
{
    setNumberSetting(MAs, "mAs", value, &TLGeneratorSettings::mAs, {KV, MAs, MA, Ms});
}

double TLGeneratorDriverKestrovan::mA()
{
    return numberSetting(MA, &TLGeneratorSettings::mA);
}

void TLGeneratorDriverKestrovan::setMA(double value)
{
    setNumberSetting(MA, "mA", value, &TLGeneratorSettings::mA, {KV, MAs, MA, Ms});
}

double TLGeneratorDriverKestrovan::ms()
{
    return numberSetting(Ms, &TLGeneratorSettings::ms);
}

void TLGeneratorDriverKestrovan::setMs(double value)
{
    setNumberSetting(Ms, "ms", value, &TLGeneratorSettings::ms, {KV, MAs, MA, Ms});
}

double TLGeneratorDriverKestrovan::density()
{
    return numberSetting(Density, &TLGeneratorSettings::density);
}

void TLGeneratorDriverKestrovan::setDensity(double value)
{
    setNumberSetting(Density, "density", value, &TLGeneratorSettings::density, {Density});
}

int TLGeneratorDriverKestrovan::focus()
{
    if (!switchedOn.load())
        return pending().focus;
    return currentValue(Focus, true, true) == QLatin1String("2") ? 2 : 1;
}

void TLGeneratorDriverKestrovan::setFocus(int value)
{
    if (!switchedOn.load()) {
        store([value](TLGeneratorSettings &s) { s.focus = value; });
        return;
    }
    const QString text = (value == 1 || value == 2) ? QString::number(value) : QString();
    log(LogLevel::Debug, QStringLiteral("set focus: %1").arg(text));
    sendSetting(Focus, text, {Focus, MAs, MA});
}

int TLGeneratorDriverKestrovan::aec()
{
    if (!switchedOn.load())
        return pending().aec;
    return currentValue(Aec, true, true).toInt(nullptr, 10);
}

void TLGeneratorDriverKestrovan::setAec(int value)
{
    if (!switchedOn.load()) {
        store([value](TLGeneratorSettings &s) { s.aec = value; });
        return;
    }
    log(LogLevel::Debug, QStringLiteral("set aec: %1").arg(value));
    sendSetting(Aec, QString::number(value), {Aec, KV});
}
