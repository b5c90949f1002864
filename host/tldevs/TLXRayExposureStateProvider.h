#pragma once

#include "TLQObjectSingletonBase.h"
#include "TLSingleton.h"

#include <atomic>

// Publishes the exposure state to the rest of the host. Every call is recorded in
// TLHostCallLog; the host (or a test) sets whether an exposure is allowed now.
class TLXRayExposureStateProvider : public TLQObjectSingletonBase
{
    Q_OBJECT
public:
    static TLXRayExposureStateProvider *instance();

    bool isUnlocked();
    void setPrepareCheck();
    void setPrepareOk();
    void setPrepareOff();
    void setExposureOn();
    void setExposureOff();
    void setError();

    void setUnlocked(bool unlocked);

private:
    TLXRayExposureStateProvider();
    std::atomic<bool> unlocked{true};
};
