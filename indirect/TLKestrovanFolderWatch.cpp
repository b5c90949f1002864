#include "TLKestrovanFolderWatch.h"

#include <QFile>
#include <QThread>

#include <algorithm>
#include <iterator>

#if defined(Q_OS_LINUX)
#include <linux/magic.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/vfs.h>
#include <unistd.h>
#endif

namespace {
// Where changes may go unreported, the folder is listed again this often: the wait's reaction
// on a share stays what it has always been.
constexpr int RelistMs = 20;

#if defined(Q_OS_LINUX)
// Shared file systems that linux/magic.h does not name.
constexpr quint32 Gfs2Magic = 0x01161970;
constexpr quint32 LustreMagic = 0x0BD00BD0;
constexpr quint32 GpfsMagic = 0x47504653;
constexpr quint32 VirtualBoxSharedFolderMagic = 0x786F4256;

// Network and cluster file systems, and FUSE (sshfs, GVfs and rclone shares among others):
// entries made by another machine reach no notification here.
constexpr quint32 NetworkFileSystems[] = {
    NFS_SUPER_MAGIC,   SMB_SUPER_MAGIC, SMB2_SUPER_MAGIC, CIFS_SUPER_MAGIC, FUSE_SUPER_MAGIC,
    V9FS_MAGIC,        AFS_SUPER_MAGIC, AFS_FS_MAGIC,     CEPH_SUPER_MAGIC, CODA_SUPER_MAGIC,
    OCFS2_SUPER_MAGIC, Gfs2Magic,       LustreMagic,      GpfsMagic,        VirtualBoxSharedFolderMagic};

constexpr uint32_t EntryChanges = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
// After these the watch hears nothing more of the folder that the path now names.
constexpr uint32_t WatchEnds = IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_IGNORED;
#endif
} // namespace

TLKestrovanFolderWatch::TLKestrovanFolderWatch(const QString &folder) : watched(folder)
{
#if defined(Q_OS_LINUX)
    const QByteArray path = QFile::encodeName(folder);
    notifier = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (notifier >= 0 && ::inotify_add_watch(notifier, path.constData(), EntryChanges | WatchEnds) < 0) {
        ::close(notifier);
        notifier = -1;
    }
    struct statfs fileSystem;
    complete = notifier >= 0 && ::statfs(path.constData(), &fileSystem) == 0
               && !isNetworkFileSystem(quint32(fileSystem.f_type));
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

const QString &TLKestrovanFolderWatch::folder() const
{
    return watched;
}

bool TLKestrovanFolderWatch::reportsEveryChange() const
{
    return complete;
}

TLKestrovanFolderWatch::Changes TLKestrovanFolderWatch::waitForChanges(int timeoutMs)
{
    const int waitMs = qMax(0, complete ? timeoutMs : qMin(timeoutMs, RelistMs));
#if defined(Q_OS_LINUX)
    if (notifier >= 0) {
        pollfd ready{notifier, POLLIN, 0};
        const bool reported = ::poll(&ready, 1, waitMs) > 0;
        Changes changes = reported ? readChanges() : Changes();
        changes.everything = changes.everything || !complete;
        return changes;
    }
#endif
    QThread::msleep(static_cast<unsigned long>(waitMs));
    Changes changes;
    changes.everything = true;
    return changes;
}

bool TLKestrovanFolderWatch::isNetworkFileSystem(quint32 type)
{
#if defined(Q_OS_LINUX)
    return std::find(std::begin(NetworkFileSystems), std::end(NetworkFileSystems), type)
           != std::end(NetworkFileSystems);
#else
    Q_UNUSED(type)
    return true;
#endif
}

TLKestrovanFolderWatch::Changes TLKestrovanFolderWatch::readChanges()
{
    Changes changes;
#if defined(Q_OS_LINUX)
    alignas(inotify_event) char events[4096];
    ssize_t length;
    while ((length = ::read(notifier, events, sizeof events)) > 0) {
        for (const char *at = events; at < events + length;) {
            const auto *event = reinterpret_cast<const inotify_event *>(at);
            if (event->mask & WatchEnds)
                complete = false;
            // Events were dropped, or the watch ended: what changed is no longer known.
            changes.everything = changes.everything || (event->mask & (IN_Q_OVERFLOW | WatchEnds));
            if (event->len > 0)
                changes.names.append(QFile::decodeName(event->name));
            at += sizeof(inotify_event) + event->len;
        }
    }
#endif
    return changes;
}
