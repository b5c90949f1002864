#include "TLKestrovanFolderWatch.h"

#include <QFile>
#include <QThread>

#if defined(Q_OS_LINUX)
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>
#endif

TLKestrovanFolderWatch::TLKestrovanFolderWatch(const QString &folder)
{
#if defined(Q_OS_LINUX)
    notifier = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    constexpr uint32_t Changes =
        IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;
    if (notifier >= 0 && ::inotify_add_watch(notifier, QFile::encodeName(folder).constData(), Changes) < 0) {
        ::close(notifier);
        notifier = -1;
    }
#else
    Q_UNUSED(folder)
#endif
}

TLKestrovanFolderWatch::~TLKestrovanFolderWatch()
{
#if defined(Q_OS_LINUX)
    if (notifier >= 0)
        ::close(notifier);
#endif
}

bool TLKestrovanFolderWatch::waitForChange(int timeoutMs)
{
#if defined(Q_OS_LINUX)
    if (notifier >= 0) {
        pollfd watched{notifier, POLLIN, 0};
        if (::poll(&watched, 1, timeoutMs) <= 0)
            return false;
        // The events themselves do not matter, only that there were some.
        char events[4096];
        while (::read(notifier, events, sizeof events) > 0) {}
        return true;
    }
#endif
    QThread::msleep(static_cast<unsigned long>(qMax(0, timeoutMs)));
    return false;
}
