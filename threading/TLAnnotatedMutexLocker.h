#pragma once

#include "TLThreadAnnotations.h"

// QMutexLocker that reports its lock and unlock to ThreadSanitizer.
class TLAnnotatedMutexLocker
{
public:
    explicit TLAnnotatedMutexLocker(QMutex *mutex) : mutex(mutex)
    {
        mutex->lock();
        TLThreadAnnotations::acquire(mutex);
    }
    ~TLAnnotatedMutexLocker() { unlock(); }

    void unlock()
    {
        if (locked) {
            TLThreadAnnotations::release(mutex);
            mutex->unlock();
            locked = false;
        }
    }

    TLAnnotatedMutexLocker(const TLAnnotatedMutexLocker &) = delete;
    TLAnnotatedMutexLocker &operator=(const TLAnnotatedMutexLocker &) = delete;

private:
    QMutex *mutex;
    bool locked = true;
};
