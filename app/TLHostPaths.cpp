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

// An installed program must not pick up a build's plug-in or catalogue that happens to
// still lie where it was built: only the program in the build folder itself uses them.
bool runFromBuildFolder()
{
    const QString built = QFileInfo(QStringLiteral(KESTROVAN_BUILD_PROGRAM_DIR)).canonicalFilePath();
    return !built.isEmpty() && QFileInfo(QCoreApplication::applicationDirPath()).canonicalFilePath() == built;
}
} // namespace

QStringList TLHostPaths::pluginCandidates()
{
    if (runFromBuildFolder())
        return {QStringLiteral(KESTROVAN_BUILD_PLUGIN)};
    return {besideProgram(QStringLiteral(KESTROVAN_BIN_TO_LIB "/" KESTROVAN_PLUGIN_FILE_NAME))};
}

QStringList TLHostPaths::dataCandidates()
{
    if (runFromBuildFolder())
        return {besideProgram(QStringLiteral("data"))};
    return {installedShare() + QStringLiteral("/data")};
}

QStringList TLHostPaths::translationCandidates(const QString &language)
{
    const QString name = QStringLiteral("/kestrovan_%1.qm").arg(language);
    if (runFromBuildFolder())
        return {QStringLiteral(KESTROVAN_BUILD_TRANSLATIONS) + name};
    return {installedShare() + QStringLiteral("/translations") + name};
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
