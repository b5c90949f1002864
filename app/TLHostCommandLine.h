#pragma once

#include "LogLevel.h"
#include "TLHostAnswer.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QHash>
#include <QString>
#include <QStringList>

#include <array>

// The options of kestrovan-host, from the command line and from an INI file given by
// --config (same keys as the long options; the command line wins). Only parses and checks
// values: paths are resolved later, where the files are used.
class TLHostCommandLine
{
public:
    enum class Outcome { Run, Help, Version, BadUsage };
    // Demo: neither --port nor --indirect; the simulators stand in for the generator.
    enum class Mode { Demo, Direct, Indirect };

    TLHostCommandLine();
    TLHostCommandLine(const TLHostCommandLine &) = delete;
    TLHostCommandLine &operator=(const TLHostCommandLine &) = delete;

    // arguments: as QCoreApplication::arguments(), the program name first.
    Outcome parse(const QStringList &arguments);
    // Why parse() returned BadUsage, in one line.
    QString errorText() const { return error; }
    QString helpText() const;

    Mode mode() const { return connectionMode; }
    QString port() const { return text(QStringLiteral("port")); }
    QString indirectFolder() const { return text(QStringLiteral("indirect")); }
    std::array<quint32, 3> targetCodes() const { return codes; }
    // Empty: the sample catalogue shipped with the program.
    QString dataDirectory() const { return text(QStringLiteral("data-dir")); }
    QString deviceFolder() const { return text(QStringLiteral("device-folder")); }
    // Empty: a temporary folder of the session.
    QString workingDirectory() const { return text(QStringLiteral("working-dir")); }
    QString procedureCode() const { return text(QStringLiteral("procedure-code")); }
    bool locked() const { return isLocked; }
    TLHostAnswer detectorReady() const { return detectorAnswer; }
    TLHostAnswer windowOpen() const { return windowAnswer; }
    LogLevel logLevel() const { return level; }
    // Empty: the driver built or installed with this program.
    QString plugin() const { return text(QStringLiteral("plugin")); }
    QString traceFile() const { return text(QStringLiteral("trace")); }
    QString logFile() const { return text(QStringLiteral("log-file")); }
    // "de" (the texts as written) or the name of a translation such as "en".
    QString language() const { return text(QStringLiteral("language")); }
    // A script file, "-" for standard input, or empty.
    QString script() const { return scriptPath; }

    static constexpr int MaxAnswerDelayMs = 600000;

private:
    QString text(const QString &key) const { return values.value(key); }
    bool readConfig(const QString &path);
    bool checkValues();
    bool parseAnswer(const QString &key, TLHostAnswer &answer);

    QCommandLineParser parser;
    QList<QCommandLineOption> valueOptions;
    QCommandLineOption configOption;
    QCommandLineOption lockedOption;
    QCommandLineOption helpOption;
    QCommandLineOption versionOption;

    QHash<QString, QString> values; // by long option name, after merging file and command line
    QString error;
    Mode connectionMode = Mode::Demo;
    std::array<quint32, 3> codes{{1, 2, 3}};
    bool isLocked = false;
    TLHostAnswer detectorAnswer = TLHostAnswer::atOnce();
    TLHostAnswer windowAnswer = TLHostAnswer::atOnce();
    LogLevel level = LogLevel::Info;
    QString scriptPath;
};
