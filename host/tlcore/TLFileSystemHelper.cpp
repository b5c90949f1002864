#include "TLFileSystemHelper.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSaveFile>

namespace {
constexpr qint64 CopyChunkBytes = qint64(64) * 1024;

QString tr(const char *text)
{
    return QCoreApplication::translate("TLFileSystemHelper", text);
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
    if (!overwrite && QFile::exists(destination))
        return TLCondition::error(tr("Die Zieldatei existiert bereits."), details);

    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        return TLCondition::error(tr("Die Quelldatei kann nicht gelesen werden."),
                                  details + QStringLiteral(": ") + in.errorString());

    QSaveFile out(destination);
    if (!out.open(QIODevice::WriteOnly))
        return TLCondition::error(tr("Die Zieldatei kann nicht geschrieben werden."),
                                  details + QStringLiteral(": ") + out.errorString());
    while (!in.atEnd()) {
        const QByteArray chunk = in.read(CopyChunkBytes);
        if (chunk.isEmpty() && in.error() != QFileDevice::NoError) {
            out.cancelWriting();
            return TLCondition::error(tr("Die Quelldatei kann nicht gelesen werden."),
                                      details + QStringLiteral(": ") + in.errorString());
        }
        if (out.write(chunk) != chunk.size()) {
            out.cancelWriting();
            return TLCondition::error(tr("Die Zieldatei kann nicht geschrieben werden."),
                                      details + QStringLiteral(": ") + out.errorString());
        }
    }
    if (!out.commit())
        return TLCondition::error(tr("Die Zieldatei kann nicht geschrieben werden."),
                                  details + QStringLiteral(": ") + out.errorString());
    return TLCondition();
}
