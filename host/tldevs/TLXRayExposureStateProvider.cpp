#include "TLXRayExposureStateProvider.h"

#include "TLHostCallLog.h"

TLXRayExposureStateProvider::TLXRayExposureStateProvider() = default;

TLXRayExposureStateProvider *TLXRayExposureStateProvider::instance()
{
    static TLXRayExposureStateProvider provider;
    return &provider;
}

bool TLXRayExposureStateProvider::isUnlocked()
{
    TLHostCallLog::record(QStringLiteral("TLXRayExposureStateProvider::isUnlocked()"));
    return unlocked.load();
}

void TLXRayExposureStateProvider::setPrepareCheck()
{
    TLHostCallLog::record(QStringLiteral("TLXRayExposureStateProvider::setPrepareCheck()"));
}

void TLXRayExposureStateProvider::setPrepareOk()
{
    TLHostCallLog::record(QStringLiteral("TLXRayExposureStateProvider::setPrepareOk()"));
}

void TLXRayExposureStateProvider::setPrepareOff()
{
    TLHostCallLog::record(QStringLiteral("TLXRayExposureStateProvider::setPrepareOff()"));
}

void TLXRayExposureStateProvider::setExposureOn()
{
    TLHostCallLog::record(QStringLiteral("TLXRayExposureStateProvider::setExposureOn()"));
}

void TLXRayExposureStateProvider::setExposureOff()
{
    TLHostCallLog::record(QStringLiteral("TLXRayExposureStateProvider::setExposureOff()"));
}

void TLXRayExposureStateProvider::setError()
{
    TLHostCallLog::record(QStringLiteral("TLXRayExposureStateProvider::setError()"));
}

void TLXRayExposureStateProvider::setUnlocked(bool value)
{
    unlocked.store(value);
}
