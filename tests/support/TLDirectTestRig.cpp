#include "TLDirectTestRig.h"

#include "TLGeneratorConfigData.h"
#include "TLHostCallLog.h"
#include "TLHostSystemSettings.h"
#include "TLXRayExposureStateProvider.h"
#include "TLXRaySynchronizer.h"

#include <QDir>
#include <QFile>

namespace {
const QString DeviceFolder = QStringLiteral("kestrovan");
constexpr int SettleMs = 5000;
} // namespace

TLDirectTestRig::TLDirectTestRig() : hostDevice(DeviceFolder)
{
    host().clearRecords();
    host().systemSettings().setDataDirectory(data.path());
    host().systemSettings().setWorkingDirectory(data.path());
    TLHostCallLog::clear();
    TLXRaySynchronizer::instance()->setDetectorReadyAnswer(TLHostAnswer::atOnce());
    TLXRaySynchronizer::instance()->setXRayWindowAnswer(TLHostAnswer::atOnce());
    TLXRayExposureStateProvider::instance()->setUnlocked(true);
    QDir(data.path()).mkpath(DeviceFolder);

    ready = data.isValid() && simulator.start();
    generatorDriver.reset(new TLGeneratorDriverKestrovan);
    setPortName(simulator.slavePath());
    generatorDriver->setDevice(&hostDevice);
}

TLDirectTestRig::~TLDirectTestRig()
{
    hostDevice.setState(DeviceState::Off);
    generatorDriver.reset();
    simulator.stop();
}

void TLDirectTestRig::writeErrorCatalogue(const QByteArray &content)
{
    QFile file(data.path() + QLatin1Char('/') + DeviceFolder + QStringLiteral("/errors.csv"));
    if (file.open(QIODevice::WriteOnly))
        file.write(content);
}

void TLDirectTestRig::setPortName(const QString &portName)
{
    QSharedPointer<TLGeneratorConfigData> config(new TLGeneratorConfigData);
    config->portName = portName;
    config->targetDeviceCodes = {{quint32(TargetCodes[0]), quint32(TargetCodes[1]), quint32(TargetCodes[2])}};
    generatorDriver->setDeviceConfig(config);
}

bool TLDirectTestRig::switchOn()
{
    return generatorDriver->switchOn().isSuccess() && generatorDriver->isSwitchedOn();
}

bool TLDirectTestRig::quietMoment()
{
    simulator.line().clearTranscript();
    return waitForPayload("qs?", SettleMs) && simulator.line().waitForIdle(SettleMs);
}

bool TLDirectTestRig::waitUntilSent()
{
    // The link writes in order and lets a telegram go only once it is echoed: when a status query
    // queued behind the others has gone, they have all reached the simulator.
    const int before = simulator.line().countTelegramsFromDriver("st?");
    return generatorDriver->sendCommand(Kestrovan::Status1, QStringLiteral("?"), true).isSuccess()
           && simulator.line().countTelegramsFromDriver("st?") > before;
}

QByteArrayList TLDirectTestRig::payloadsFromDriver(bool withStatusPoll) const
{
    QByteArrayList payloads;
    for (const QByteArray &telegram : simulator.line().telegramsFromDriver()) {
        const QByteArray payload = telegram.left(telegram.size() - 1);
        if (withStatusPoll || (payload != "st?" && payload != "qs?"))
            payloads << payload;
    }
    return payloads;
}

bool TLDirectTestRig::waitForPayload(const QByteArray &payload, int timeoutMs) const
{
    return simulator.line().waitForTelegramFromDriver(payload, timeoutMs);
}
