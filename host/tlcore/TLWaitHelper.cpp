#include "TLWaitHelper.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

namespace {
constexpr int SleepSliceMs = 5;
}

void TLWaitHelper::waitSomeMilliseconds(quint32 milliseconds)
{
    QDeadlineTimer deadline(static_cast<qint64>(milliseconds));
    const bool hasEvents = QAbstractEventDispatcher::instance() != nullptr;
    while (!deadline.hasExpired()) {
        const qint64 left = deadline.remainingTime();
        if (hasEvents)
            QCoreApplication::processEvents(QEventLoop::AllEvents, static_cast<int>(left));
        QThread::msleep(static_cast<unsigned long>(qMin<qint64>(left, SleepSliceMs)));
    }
}
