#pragma once

#include <QString>
#include <QStringList>

// Where kestrovan-host finds what was built or installed with it: the driver plug-in, the
// sample error catalogue and the translations. The program run where it was built uses that
// build's files; any other copy, such as an installed one, only the files installed beside it
// (bin/ next to lib/.../kestrovan/ and share/kestrovan/), never those of a build folder.
class TLHostPaths
{
public:
    // The driver plug-in; empty when none is found.
    static QString defaultPlugin();
    // The folder that holds "kestrovan/errors.csv"; empty when none is found.
    static QString defaultDataDirectory();
    // The compiled translation for a language such as "en" or "en_GB" (which falls back to
    // "en"); empty when none is found.
    static QString translationFile(const QString &language);

    // Candidates in the order they are tried (for messages).
    static QStringList pluginCandidates();
    static QStringList dataCandidates();
    static QStringList translationCandidates(const QString &language);

private:
    static QString firstExisting(const QStringList &paths, bool directory);
};
