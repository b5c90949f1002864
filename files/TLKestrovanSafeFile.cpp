#include "TLKestrovanSafeFile.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// Never waits for the writer of a named pipe, never makes a terminal ours, never leaks into a
// child process.
constexpr int ReadFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
// Fails when the name exists already, so that only a file made here is ever written.
constexpr int CreateFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
// As any file the program makes: the console software, often another user, must read it.
constexpr mode_t CreateMode = 0666;
// A clash of random names is rare; repeated ones mean something else is wrong.
constexpr int NameAttempts = 8;

int openWithoutFollowing(const QString &path)
{
    int fd;
    do {
        fd = ::open(QFile::encodeName(path).constData(), ReadFlags | O_NOFOLLOW);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

bool writeAll(int fd, const QByteArray &content)
{
    const char *next = content.constData();
    qint64 left = content.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, next, size_t(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        next += written;
        left -= written;
    }
    return true;
}
} // namespace

bool TLKestrovanSafeFile::openRegularFile(QFile &file, const QString &path, QIODevice::OpenMode mode)
{
    int fd = openWithoutFollowing(path);
    if (fd < 0 && errno == ELOOP) {
        // A link: followed only to a regular file, opened by its own name, which is no link. The
        // check before is only a shortcut; the one on the open descriptor decides.
        const QFileInfo target(QFileInfo(path).canonicalFilePath());
        if (!target.isFile())
            return false;
        fd = openWithoutFollowing(target.filePath());
    }
    if (fd < 0)
        return false;
    struct stat status;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)
        || !file.open(fd, QIODevice::ReadOnly | mode, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    return true;
}

TLKestrovanSafeFile::Read TLKestrovanSafeFile::readAtMost(QFile &file, qint64 maxBytes, QByteArray &content)
{
    content.clear();
    // What the file claims first, so that a large one is refused unread; then the read itself is
    // bounded, for a file that grows meanwhile or claims no size at all.
    if (file.size() > maxBytes)
        return Read::TooLarge;
    while (content.size() <= maxBytes) {
        const QByteArray piece = file.read(maxBytes + 1 - content.size());
        if (piece.isEmpty())
            return file.error() == QFileDevice::NoError ? Read::Whole : Read::Failed;
        content += piece;
    }
    content.clear();
    return Read::TooLarge;
}

bool TLKestrovanSafeFile::replace(const QString &path, const QByteArray &content)
{
    const QFileInfo target(path);
    for (int attempt = 0; attempt < NameAttempts; ++attempt) {
        // Hidden, so that nobody who lists the folder for a pattern takes it for theirs.
        const QByteArray temporary = QFile::encodeName(
            target.dir().filePath(QStringLiteral(".%1.%2")
                                      .arg(target.fileName())
                                      .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'))));
        const int fd = ::open(temporary.constData(), CreateFlags, CreateMode);
        if (fd < 0 && errno == EEXIST)
            continue;
        if (fd < 0)
            return false;
        // On disk before the name is taken, so that a crash leaves the old file or the whole new one.
        const bool written = writeAll(fd, content) && ::fsync(fd) == 0;
        if (::close(fd) == 0 && written
            && ::rename(temporary.constData(), QFile::encodeName(path).constData()) == 0)
            return true;
        ::unlink(temporary.constData());
        return false;
    }
    return false;
}
