#include "TLAbstractDeviceDriver.h"

TLAbstractDeviceDriver::TLAbstractDeviceDriver(QObject *parent) : TLMainThreadObject(parent) {}

TLAbstractDeviceDriver::~TLAbstractDeviceDriver() = default;

QString TLAbstractDeviceDriver::model() const
{
    return QString();
}

QString TLAbstractDeviceDriver::serialNumber() const
{
    return QString();
}

TLCondition TLAbstractDeviceDriver::init()
{
    return TLCondition();
}

TLCondition TLAbstractDeviceDriver::startAcquisitionProcedure()
{
    return TLCondition();
}

TLCondition TLAbstractDeviceDriver::endAcquisitionProcedure()
{
    return TLCondition();
}

TLCondition TLAbstractDeviceDriver::activateForAcqusition()
{
    return TLCondition();
}

void TLAbstractDeviceDriver::cancelAcquisition() {}

QWidget *TLAbstractDeviceDriver::specialCalibrationWidget(QWidget *parent)
{
    Q_UNUSED(parent)
    return nullptr;
}

TLCondition
TLAbstractDeviceDriver::executeCalibration(const QVector<QSharedPointer<TLAbstractDevice>> &devices,
                                           QWidget *widget)
{
    Q_UNUSED(devices)
    Q_UNUSED(widget)
    return TLCondition();
}

void TLAbstractDeviceDriver::cancelCalibration() {}

TLCondition TLAbstractDeviceDriver::executeCommand(const QString &command, QVariant &value)
{
    Q_UNUSED(command)
    Q_UNUSED(value)
    return TLCondition();
}

TLAbstractDevice *TLAbstractDeviceDriver::device() const
{
    return hostDevice.load();
}

QSharedPointer<TLAbstractEquipmentSpecialConfigData> TLAbstractDeviceDriver::deviceConfig() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return config;
}

TLProcedureCodes TLAbstractDeviceDriver::procedureCodes() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return codes;
}

void TLAbstractDeviceDriver::setDevice(TLAbstractDevice *device)
{
    hostDevice.store(device);
}

void TLAbstractDeviceDriver::setDeviceConfig(
    const QSharedPointer<TLAbstractEquipmentSpecialConfigData> &newConfig)
{
    std::lock_guard<std::mutex> lock(mutex);
    config = newConfig;
}

void TLAbstractDeviceDriver::setProcedureCodes(const TLProcedureCodes &newCodes)
{
    std::lock_guard<std::mutex> lock(mutex);
    codes = newCodes;
}
