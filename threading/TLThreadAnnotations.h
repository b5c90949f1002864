#pragma once

// ThreadSanitizer cannot see Debian's Qt 5 QMutex, QWaitCondition and QThread::wait (futex
// based, Qt not instrumented). Our own lock, wake, wait and join points tell it about the
// happens-before edges they create. Outside the TSan build every call is empty.

#include <QMutex>
#include <QThread>
#include <QWaitCondition>

#if defined(KESTROVAN_TSAN)
#include <sanitizer/tsan_interface.h>
#endif

class TLThreadAnnotations
{
public:
    static void acquire(const void *address)
    {
#if defined(KESTROVAN_TSAN)
        __tsan_acquire(const_cast<void *>(address));
#else
        Q_UNUSED(address)
#endif
    }

    static void release(const void *address)
    {
#if defined(KESTROVAN_TSAN)
        __tsan_release(const_cast<void *>(address));
#else
        Q_UNUSED(address)
#endif
    }

    // Waits on the condition with the mutex held by the caller.
    static bool wait(QWaitCondition &condition, QMutex &mutex, unsigned long milliseconds)
    {
        release(&mutex);
        const bool woken = condition.wait(&mutex, milliseconds);
        acquire(&mutex);
        acquire(&condition);
        return woken;
    }

    static void wakeAll(QWaitCondition &condition)
    {
        release(&condition);
        condition.wakeAll();
    }

    // Called last in a thread's run(); paired with joined() after a successful wait().
    static void finishing(const QThread *thread)
    {
        release(thread);
    }
    static void joined(const QThread *thread)
    {
        acquire(thread);
    }
};
