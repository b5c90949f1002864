#include "TLHostHints.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

void TLHostHints::setFolders(const QString &communicationFolder, const QString &workingFolder)
{
    communication = communicationFolder;
    working = workingFolder;
}

QStringList TLHostHints::serialPortsById()
{
    const QDir folder(QString::fromLatin1(SerialByIdFolder));
    QStringList ports;
    for (const QString &name :
         folder.entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name))
        ports << folder.filePath(name);
    return ports;
}

QString TLHostHints::portProblem(const QString &path)
{
    if (path.isEmpty())
        return QString();
    const QByteArray name = QFile::encodeName(path);
    struct stat info
    {};
    if (::stat(name.constData(), &info) != 0) {
        const QStringList ports = serialPortsById();
        return ports.isEmpty()
                   ? QStringLiteral("%1 does not exist, and %2/ lists no serial adapter: is it plugged in?")
                         .arg(path, QLatin1String(SerialByIdFolder))
                   : QStringLiteral("%1 does not exist; serial adapters plugged in: %2")
                         .arg(path, ports.join(QStringLiteral(", ")));
    }
    if (::access(name.constData(), R_OK | W_OK) != 0 && errno == EACCES) {
        // The reentrant lookup: a host may ask for hints from any thread.
        group entry{};
        group *owner = nullptr;
        char buffer[GroupBufferBytes];
        const bool found = ::getgrgid_r(info.st_gid, &entry, buffer, sizeof buffer, &owner) == 0 && owner;
        const QString groupName = found ? QString::fromLocal8Bit(owner->gr_name) : QStringLiteral("dialout");
        return QStringLiteral("no permission to open %1: add your user to the group %2 "
                              "(sudo usermod -aG %2 $USER) and log in again")
            .arg(path, groupName);
    }
    return QString();
}

QString TLHostHints::folderProblem(const QString &what, const QString &path)
{
    if (path.isEmpty())
        return QString();
    const QFileInfo info(path);
    if (info.exists() && !info.isDir())
        return QStringLiteral("the %1 %2 is a file, not a folder").arg(what, path);
    if (info.isDir() && ::access(QFile::encodeName(path).constData(), W_OK | X_OK) != 0)
        return QStringLiteral("the %1 %2 cannot be written: activate will fail").arg(what, path);
    return QString();
}

QString TLHostHints::afterSwitchOnFailure() const
{
    return portProblem(port);
}

QString TLHostHints::afterGiveUp() const
{
    return QStringLiteral("the generator on %1 stopped answering: check the cable and its plugs, that the "
                          "generator is powered on, and that the cable is a null-modem cable")
        .arg(port.isEmpty() ? QStringLiteral("the serial port") : port);
}

QString TLHostHints::afterIndirectInit() const
{
    QStringList problems;
    for (const QString &problem : {folderProblem(QStringLiteral("communication folder"), communication),
                                   folderProblem(QStringLiteral("working folder"), working)}) {
        if (!problem.isEmpty())
            problems << problem;
    }
    return problems.join(QStringLiteral("; "));
}
