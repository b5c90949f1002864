#include "TLHostPaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace {
QString besideProgram(const QString &relative)
{
    return QDir::cleanPath(QCoreApplication::applicationDirPath() + QLatin1Char('/') + relative);
}

QString installedShare()
{
    return besideProgram(QStringLiteral(KESTROVAN_BIN_TO_DATAROOT "/kestrovan"));
}
} // namespace

QStringList TLHostPaths::pluginCandidates()
{
    return {besideProgram(QStringLiteral(KESTROVAN_BIN_TO_LIB "/" KESTROVAN_PLUGIN_FILE_NAME)),
            QStringLiteral(KESTROVAN_BUILD_PLUGIN)};
}

QStringList TLHostPaths::dataCandidates()
{
    return {installedShare() + QStringLiteral("/data"), besideProgram(QStringLiteral("data"))};
}

QStringList TLHostPaths::translationCandidates(const QString &language)
{
    const QString name = QStringLiteral("/kestrovan_%1.qm").arg(language);
    return {installedShare() + QStringLiteral("/translations") + name,
            QStringLiteral(KESTROVAN_BUILD_TRANSLATIONS) + name};
}

QString TLHostPaths::defaultPlugin()
{
    return firstExisting(pluginCandidates(), false);
}

QString TLHostPaths::defaultDataDirectory()
{
    return firstExisting(dataCandidates(), true);
}

QString TLHostPaths::translationFile(const QString &language)
{
    const QString file = firstExisting(translationCandidates(language), false);
    // "en_GB" falls back to "en".
    const int country = language.indexOf(QLatin1Char('_'));
    return file.isEmpty() && country > 0 ? translationFile(language.left(country)) : file;
}

QString TLHostPaths::firstExisting(const QStringList &paths, bool directory)
{
    for (const QString &path : paths) {
        const QFileInfo info(path);
        if (directory ? info.isDir() : info.isFile())
            return path;
    }
    return QString();
}
