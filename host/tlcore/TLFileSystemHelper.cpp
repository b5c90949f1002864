#include "TLFileSystemHelper.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {
constexpr qint64 CopyChunkBytes = qint64(64) * 1024;
// Random names beside the destination that clash this often in a row mean something is wrong.
constexpr int TemporaryNameAttempts = 8;

QString tr(const char *text)
{
    return QCoreApplication::translate("TLFileSystemHelper", text);
}

// A new hidden file beside the destination, made here and by nobody else (O_EXCL), readable by
// others as any new file; its name goes to temporary. -1 when none could be made.
int createBeside(const QString &destination, QByteArray &temporary)
{
    const QFileInfo target(destination);
    for (int attempt = 0; attempt < TemporaryNameAttempts; ++attempt) {
        temporary = QFile::encodeName(target.dir().filePath(QStringLiteral(".%1.%2").arg(
            target.fileName(), QString::number(QRandomGenerator::global()->generate64(), 36))));
        const int fd =
            ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}
} // namespace

QString TLFileSystemHelper::adaptFileOrPathToSystem(const QString &path)
{
    QString adapted = path;
    const QChar separator = QDir::separator();
    for (QChar &c : adapted) {
        if (c == QLatin1Char('\\') || c == QLatin1Char('/'))
            c = separator;
    }
    return adapted;
}

TLCondition TLFileSystemHelper::copyFile(const QString &source, const QString &destination, bool overwrite)
{
    const QString details = QStringLiteral("%1 -> %2").arg(source, destination);
    if (!overwrite && QFileInfo::exists(destination))
        return TLCondition::error(tr("Die Zieldatei existiert bereits."), details);

    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        return TLCondition::error(tr("Die Quelldatei kann nicht gelesen werden."),
                                  details + QStringLiteral(": ") + in.errorString());

    // Written beside the destination and renamed over it: nobody sees it half-written, and a
    // link in its place is replaced, never written through.
    QByteArray temporary;
    const int fd = createBeside(destination, temporary);
    if (fd < 0)
        return TLCondition::error(tr("Die Zieldatei kann nicht geschrieben werden."),
                                  details + QStringLiteral(": ") + qt_error_string(errno));
    QFile out;
    out.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle);
    QString text; // of the first failure
    QString reason;
    while (text.isEmpty() && !in.atEnd()) {
        const QByteArray chunk = in.read(CopyChunkBytes);
        if (chunk.isEmpty() && in.error() != QFileDevice::NoError) {
            text = tr("Die Quelldatei kann nicht gelesen werden.");
            reason = in.errorString();
        } else if (out.write(chunk) != chunk.size()) {
            text = tr("Die Zieldatei kann nicht geschrieben werden.");
            reason = out.errorString();
        }
    }
    // On disk before the name is taken, so that a crash leaves the old file or the whole new one.
    if (text.isEmpty()
        && (!out.flush() || ::fsync(out.handle()) != 0
            || ::rename(temporary.constData(), QFile::encodeName(destination).constData()) != 0)) {
        text = tr("Die Zieldatei kann nicht geschrieben werden.");
        reason = qt_error_string(errno);
    }
    out.close();
    if (text.isEmpty())
        return TLCondition();
    ::unlink(temporary.constData());
    return TLCondition::error(text, details + QStringLiteral(": ") + reason);
}
