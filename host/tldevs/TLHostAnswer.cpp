#include "TLHostAnswer.h"

#include <QThread>

bool TLHostAnswer::wait(int limitMs) const
{
    const int limit = limitMs < 0 ? 0 : limitMs;
    if (delay == Never || delay > limit) {
        QThread::msleep(static_cast<unsigned long>(limit));
        return false;
    }
    if (delay > 0)
        QThread::msleep(static_cast<unsigned long>(delay));
    return true;
}
