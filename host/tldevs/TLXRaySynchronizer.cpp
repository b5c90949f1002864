#include "TLXRaySynchronizer.h"

#include "TLHostCallLog.h"

namespace {
QString timeText(const QDateTime &time)
{
    return time.isNull() ? QStringLiteral("null") : time.toString(Qt::ISODateWithMs);
}
} // namespace

TLXRaySynchronizer::TLXRaySynchronizer() = default;

TLXRaySynchronizer *TLXRaySynchronizer::instance()
{
    static TLXRaySynchronizer synchronizer;
    return &synchronizer;
}

void TLXRaySynchronizer::exposureButtonPressed()
{
    TLHostCallLog::record(QStringLiteral("TLXRaySynchronizer::exposureButtonPressed()"));
}

bool TLXRaySynchronizer::waitForDetectorReady(int timeoutMs)
{
    TLHostCallLog::record(QStringLiteral("TLXRaySynchronizer::waitForDetectorReady(%1)").arg(timeoutMs));
    TLHostAnswer answer = TLHostAnswer::atOnce();
    {
        std::lock_guard<std::mutex> lock(mutex);
        answer = detectorReady;
    }
    return answer.wait(timeoutMs);
}

bool TLXRaySynchronizer::waitForOpenXRayWindow(int timeoutMs)
{
    TLHostCallLog::record(QStringLiteral("TLXRaySynchronizer::waitForOpenXRayWindow(%1)").arg(timeoutMs));
    TLHostAnswer answer = TLHostAnswer::atOnce();
    {
        std::lock_guard<std::mutex> lock(mutex);
        answer = xrayWindow;
    }
    return answer.wait(timeoutMs);
}

void TLXRaySynchronizer::setExposureOn(const QDateTime &time)
{
    TLHostCallLog::record(QStringLiteral("TLXRaySynchronizer::setExposureOn(%1)").arg(timeText(time)));
}

void TLXRaySynchronizer::setExposureOff(const QDateTime &time)
{
    TLHostCallLog::record(QStringLiteral("TLXRaySynchronizer::setExposureOff(%1)").arg(timeText(time)));
}

void TLXRaySynchronizer::setDetectorReadyAnswer(const TLHostAnswer &answer)
{
    std::lock_guard<std::mutex> lock(mutex);
    detectorReady = answer;
}

void TLXRaySynchronizer::setXRayWindowAnswer(const TLHostAnswer &answer)
{
    std::lock_guard<std::mutex> lock(mutex);
    xrayWindow = answer;
}
