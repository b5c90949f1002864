#pragma once

#include "TLAbstractEquipmentConfigData.h"
#include "TLCondition.h"
#include "TLMainThreadObject.h"
#include "TLProcedureCodes.h"

#include <QSharedPointer>
#include <QVariant>
#include <QVector>

#include <atomic>
#include <mutex>

class QWidget;
class TLAbstractDevice;

// Base of every device driver. The virtual operations stand in the host's slot order.
// What device(), deviceConfig() and procedureCodes() return is set by the host.
class TLAbstractDeviceDriver : public TLMainThreadObject
{
    Q_OBJECT
public:
    explicit TLAbstractDeviceDriver(QObject *parent = nullptr);
    ~TLAbstractDeviceDriver() override;

    virtual QString model() const;
    virtual QString serialNumber() const;
    virtual TLCondition init();
    virtual TLCondition startAcquisitionProcedure();
    virtual TLCondition endAcquisitionProcedure();
    virtual TLCondition activateForAcqusition();
    virtual void cancelAcquisition();
    virtual QWidget *specialCalibrationWidget(QWidget *parent);
    virtual TLCondition executeCalibration(const QVector<QSharedPointer<TLAbstractDevice>> &devices,
                                           QWidget *widget);
    virtual void cancelCalibration();
    virtual TLCondition executeCommand(const QString &command, QVariant &value);

    TLAbstractDevice *device() const;
    QSharedPointer<TLAbstractEquipmentSpecialConfigData> deviceConfig() const;
    TLProcedureCodes procedureCodes() const;

    // Set by the host.
    void setDevice(TLAbstractDevice *device);
    void setDeviceConfig(const QSharedPointer<TLAbstractEquipmentSpecialConfigData> &config);
    void setProcedureCodes(const TLProcedureCodes &codes);

private:
    mutable std::mutex mutex;
    std::atomic<TLAbstractDevice *> hostDevice{nullptr};
    QSharedPointer<TLAbstractEquipmentSpecialConfigData> config;
    TLProcedureCodes codes;
};
