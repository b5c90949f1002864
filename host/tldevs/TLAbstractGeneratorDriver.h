#pragma once

#include "TLAbstractDeviceDriver.h"
#include "TLGeneratorSettings.h"

// Base of every generator driver. The host chooses the connection mode and whether follow-up
// queries are blocked; both may be read from any thread.
class TLAbstractGeneratorDriver : public TLAbstractDeviceDriver
{
    Q_OBJECT
public:
    explicit TLAbstractGeneratorDriver(QObject *parent = nullptr);
    ~TLAbstractGeneratorDriver() override;

    virtual bool isDirectConnection() const;
    virtual TLCondition initGenerator();
    virtual TLCondition transferSettings(const TLGeneratorSettings &settings);
    virtual TLCondition updateCurrentSettings();
    // The settings as the driver's getters report them now.
    virtual TLGeneratorSettings currentSettings();

    virtual TLCondition lastExposureSettings(TLGeneratorSettings &settings) = 0;
    virtual int targetDevice() = 0;
    virtual void setTargetDevice(int device) = 0;
    virtual int mode() = 0;
    virtual void setMode(int mode) = 0;
    virtual double minKV() const = 0;
    virtual double maxKV() const = 0;
    virtual double kV() = 0;
    virtual void setKV(double kV) = 0;
    virtual double minMAs() const = 0;
    virtual double maxMAs() const = 0;
    virtual double mAs() = 0;
    virtual void setMAs(double mAs) = 0;
    virtual double minMA() const = 0;
    virtual double maxMA() const = 0;
    virtual double mA() = 0;
    virtual void setMA(double mA) = 0;
    virtual double minMs() const = 0;
    virtual double maxMs() const = 0;
    virtual double ms() = 0;
    virtual void setMs(double ms) = 0;
    virtual bool densityInHalfPoints() const;
    virtual double minDensity() const = 0;
    virtual double maxDensity() const = 0;
    virtual double density() = 0;
    virtual void setDensity(double density) = 0;
    virtual int focus() = 0;
    virtual void setFocus(int focus) = 0;
    virtual int aec() = 0;
    virtual void setAec(int aec) = 0;

    bool blockQueries() const;

    // Set by the host.
    void setDirectConnection(bool direct);
    void setBlockQueries(bool block);

signals:
    void valueChanged();

private:
    std::atomic<bool> direct{true};
    std::atomic<bool> queriesBlocked{false};
};
