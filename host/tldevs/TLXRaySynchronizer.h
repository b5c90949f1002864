#pragma once

#include "TLHostAnswer.h"
#include "TLQObjectSingletonBase.h"
#include "TLSingleton.h"

#include <QDateTime>

#include <mutex>

// Synchronises the exposure with the detector. Every call is recorded in TLHostCallLog;
// the host (or a test) sets how the two waits answer.
class TLXRaySynchronizer : public TLQObjectSingletonBase
{
    Q_OBJECT
public:
    static TLXRaySynchronizer *instance();

    void exposureButtonPressed();
    bool waitForDetectorReady(int timeoutMs);
    bool waitForOpenXRayWindow(int timeoutMs);
    void setExposureOn(const QDateTime &time);
    void setExposureOff(const QDateTime &time);

    void setDetectorReadyAnswer(const TLHostAnswer &answer);
    void setXRayWindowAnswer(const TLHostAnswer &answer);

private:
    TLXRaySynchronizer();
    mutable std::mutex mutex;
    TLHostAnswer detectorReady = TLHostAnswer::atOnce();
    TLHostAnswer xrayWindow = TLHostAnswer::atOnce();
};
