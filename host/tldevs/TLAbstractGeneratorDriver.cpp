#include "TLAbstractGeneratorDriver.h"

TLAbstractGeneratorDriver::TLAbstractGeneratorDriver(QObject *parent) : TLAbstractDeviceDriver(parent) {}

TLAbstractGeneratorDriver::~TLAbstractGeneratorDriver() = default;

bool TLAbstractGeneratorDriver::isDirectConnection() const
{
    return direct.load();
}

TLCondition TLAbstractGeneratorDriver::initGenerator()
{
    return TLCondition();
}

TLCondition TLAbstractGeneratorDriver::transferSettings(const TLGeneratorSettings &settings)
{
    setTargetDevice(settings.targetDevice);
    setMode(settings.mode);
    setKV(settings.kV);
    setMAs(settings.mAs);
    setMA(settings.mA);
    setMs(settings.ms);
    setDensity(settings.density);
    setFocus(settings.focus);
    setAec(settings.aec);
    return TLCondition();
}

TLCondition TLAbstractGeneratorDriver::updateCurrentSettings()
{
    return TLCondition();
}

TLGeneratorSettings TLAbstractGeneratorDriver::currentSettings()
{
    TLGeneratorSettings settings;
    settings.targetDevice = targetDevice();
    settings.mode = mode();
    settings.kV = kV();
    settings.mAs = mAs();
    settings.mA = mA();
    settings.ms = ms();
    settings.density = density();
    settings.focus = focus();
    settings.aec = aec();
    return settings;
}

bool TLAbstractGeneratorDriver::densityInHalfPoints() const
{
    return false;
}

bool TLAbstractGeneratorDriver::blockQueries() const
{
    return queriesBlocked.load();
}

void TLAbstractGeneratorDriver::setDirectConnection(bool isDirect)
{
    direct.store(isDirect);
}

void TLAbstractGeneratorDriver::setBlockQueries(bool block)
{
    queriesBlocked.store(block);
}
