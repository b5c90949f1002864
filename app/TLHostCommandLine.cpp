#include "TLHostCommandLine.h"

#include <QFileInfo>
#include <QSettings>

namespace {
// Qt's help leaves a default out: it is named at the end of the description.
QCommandLineOption valueOption(const char *name, const char *description, const char *valueName,
                               const QString &defaultValue = QString())
{
    QString text = QString::fromLatin1(description);
    if (!defaultValue.isEmpty())
        text.insert(text.size() - 1, QStringLiteral(" (default: %1)").arg(defaultValue));
    return QCommandLineOption(QString::fromLatin1(name), text, QString::fromLatin1(valueName), defaultValue);
}

const QStringList &levelNames()
{
    static const QStringList names = {QStringLiteral("trace"),   QStringLiteral("debug"),
                                      QStringLiteral("info"),    QStringLiteral("notice"),
                                      QStringLiteral("warning"), QStringLiteral("error")};
    return names;
}

// Largest code the driver can send: two hexadecimal digits.
constexpr quint32 MaxTargetCode = 0xff;
} // namespace

TLHostCommandLine::TLHostCommandLine()
    : valueOptions{
        valueOption("port", "Direct mode on this serial port.", "PATH"),
          valueOption("indirect", "Indirect mode with this communication folder.", "FOLDER"),
          valueOption("target-codes", "Codes of target devices 1, 2 and 3.", "A,B,C",
                      QStringLiteral("1,2,3")),
          valueOption("data-dir", "Base folder of the error catalogue (default: the sample "
                                  "shipped with this program).",
                      "DIR"),
          valueOption("device-folder", "Folder of the device below the data folder.", "NAME",
                      QStringLiteral("kestrovan")),
          valueOption("working-dir", "Where the parameter file is made first (default: a "
                                     "temporary folder).",
                      "DIR"),
          valueOption("procedure-code", "Procedure code handed to the console software.", "CODE"),
          valueOption("detector-ready", "The host's answer when the driver waits for the "
                                        "detector: yes, no or a delay in milliseconds.",
                      "yes|no|MS", QStringLiteral("yes")),
          valueOption("window-open", "The host's answer when the driver waits for the X-ray "
                                     "window: yes, no or a delay in milliseconds.",
                      "yes|no|MS", QStringLiteral("yes")),
          valueOption("log-level", "Lowest level of log lines on standard error.",
                      "trace|debug|info|notice|warning|error", QStringLiteral("info")),
          valueOption("plugin", "The driver library to load (default: the one built or "
                                "installed with this program).",
                      "PATH"),
          valueOption("trace", "Record every byte on the serial line in this file.", "FILE"),
          valueOption("log-file", "Write the log lines, alarms and each command with its result to "
                                  "this file as well, stamped on the clock of --trace.",
                      "FILE"),
          valueOption("language", "Language of the driver's texts: de, or a translation such "
                                  "as en.",
                      "NAME", QStringLiteral("de")),
      },
      configOption(valueOption("config", "Read options from an INI file (same keys as the long "
                                         "options; the command line wins).",
                               "FILE")),
      lockedOption(QStringLiteral("locked"),
                   QStringLiteral("The host refuses a prepare (exposure state provider locked).")),
      helpOption(parser.addHelpOption()),
      versionOption(parser.addVersionOption())
{
    parser.setApplicationDescription(
        QStringLiteral("Loads the Kestrovan generator driver and runs commands against it: from a script "
                       "(a file, or - for standard input), or at a prompt when standard input is a "
                       "terminal. With neither --port nor --indirect it runs a demonstration against "
                       "built-in simulators.\n\nCommands: ")
        + QStringLiteral("init, switchOn, switchOff, set NAME VALUE, get NAME, limits, update, "
                         "activate, last, command NAME, health, block-queries on|off, device-state [N], "
                         "sleep MS, help, quit. Each prints one result line, stamped: ok, ok VALUE, "
                         "warning: TEXT or error: TEXT."));
    parser.addOptions(valueOptions);
    parser.addOption(configOption);
    parser.addOption(lockedOption);
    parser.addPositionalArgument(QStringLiteral("script"),
                                 QStringLiteral("Command file, or - for standard input."),
                                 QStringLiteral("[script]"));
}

QString TLHostCommandLine::helpText() const
{
    return parser.helpText();
}

TLHostCommandLine::Outcome TLHostCommandLine::parse(const QStringList &arguments)
{
    if (!parser.parse(arguments)) {
        error = parser.errorText();
        return Outcome::BadUsage;
    }
    if (parser.isSet(helpOption) || parser.isSet(QStringLiteral("help-all")))
        return Outcome::Help;

    for (const QCommandLineOption &option : qAsConst(valueOptions)) {
        const QString key = option.names().constFirst();
        const QStringList given = parser.values(option);
        if (given.size() > 1) {
            error = QStringLiteral("--%1 given more than once").arg(key);
            return Outcome::BadUsage;
        }
        values.insert(key, option.defaultValues().value(0));
    }
    if (parser.isSet(configOption) && !readConfig(parser.value(configOption)))
        return Outcome::BadUsage;
    for (const QCommandLineOption &option : qAsConst(valueOptions)) {
        if (parser.isSet(option))
            values.insert(option.names().constFirst(), parser.value(option));
    }
    if (parser.isSet(lockedOption))
        isLocked = true;
    // The version is the plug-in's too: --plugin counts, the rest does not.
    if (parser.isSet(versionOption))
        return Outcome::Version;

    const QStringList positional = parser.positionalArguments();
    if (positional.size() > 1) {
        error = QStringLiteral("only one script may be given, not %1").arg(positional.size());
        return Outcome::BadUsage;
    }
    scriptPath = positional.value(0);
    return checkValues() ? Outcome::Run : Outcome::BadUsage;
}

bool TLHostCommandLine::readConfig(const QString &path)
{
    if (!QFileInfo(path).isFile()) {
        error = QStringLiteral("configuration file %1 does not exist").arg(path);
        return false;
    }
    QSettings file(path, QSettings::IniFormat);
    if (file.status() != QSettings::NoError) {
        error = QStringLiteral("configuration file %1 cannot be read").arg(path);
        return false;
    }
    for (const QString &key : file.allKeys()) {
        // Keys outside a section belong to "General"; accept them either way.
        const QString name = key.startsWith(QLatin1String("General/")) ? key.mid(8) : key;
        const QVariant raw = file.value(key);
        // An unquoted "1,2,12" comes back as a list.
        const QString value =
            raw.type() == QVariant::StringList ? raw.toStringList().join(QLatin1Char(',')) : raw.toString();
        if (name == QLatin1String("locked")) {
            const QString flag = value.trimmed().toLower();
            if (flag == QLatin1String("true") || flag == QLatin1String("yes") || flag == QLatin1String("on")
                || flag == QLatin1String("1")) {
                isLocked = true;
            } else if (flag == QLatin1String("false") || flag == QLatin1String("no")
                       || flag == QLatin1String("off") || flag == QLatin1String("0")) {
                isLocked = false;
            } else {
                error = QStringLiteral("%1: locked must be true or false, not \"%2\"").arg(path, value);
                return false;
            }
            continue;
        }
        if (!values.contains(name)) {
            error = QStringLiteral("%1: unknown key \"%2\"").arg(path, name);
            return false;
        }
        values.insert(name, value);
    }
    return true;
}

bool TLHostCommandLine::parseAnswer(const QString &key, TLHostAnswer &answer)
{
    const QString value = text(key).trimmed().toLower();
    if (value == QLatin1String("yes")) {
        answer = TLHostAnswer::atOnce();
        return true;
    }
    if (value == QLatin1String("no")) {
        answer = TLHostAnswer::never();
        return true;
    }
    bool ok = false;
    const int delayMs = value.toInt(&ok, 10);
    if (!ok || delayMs < 0 || delayMs > MaxAnswerDelayMs) {
        error = QStringLiteral("--%1 must be yes, no or a delay of 0..%2 milliseconds, not \"%3\"")
                    .arg(key)
                    .arg(MaxAnswerDelayMs)
                    .arg(text(key));
        return false;
    }
    answer = TLHostAnswer::after(delayMs);
    return true;
}

bool TLHostCommandLine::checkValues()
{
    const bool direct = !port().isEmpty();
    const bool indirect = !indirectFolder().isEmpty();
    if (direct && indirect) {
        error = QStringLiteral("--port and --indirect exclude each other: choose one mode");
        return false;
    }
    connectionMode = direct ? Mode::Direct : (indirect ? Mode::Indirect : Mode::Demo);

    const QStringList parts = text(QStringLiteral("target-codes")).split(QLatin1Char(','));
    bool codesOk = parts.size() == 3;
    for (int i = 0; codesOk && i < 3; ++i) {
        const uint code = parts.at(i).trimmed().toUInt(&codesOk, 10);
        codesOk = codesOk && code <= MaxTargetCode;
        if (codesOk)
            codes[static_cast<size_t>(i)] = code;
    }
    if (!codesOk) {
        error = QStringLiteral("--target-codes needs three numbers 0..%1 separated by commas "
                               "(e.g. 1,2,12), not \"%2\"")
                    .arg(MaxTargetCode)
                    .arg(text(QStringLiteral("target-codes")));
        return false;
    }

    if (!parseAnswer(QStringLiteral("detector-ready"), detectorAnswer)
        || !parseAnswer(QStringLiteral("window-open"), windowAnswer))
        return false;

    const int levelIndex = levelNames().indexOf(text(QStringLiteral("log-level")).trimmed().toLower());
    if (levelIndex < 0) {
        error = QStringLiteral("--log-level must be one of %1, not \"%2\"")
                    .arg(levelNames().join(QLatin1Char('|')), text(QStringLiteral("log-level")));
        return false;
    }
    level = static_cast<LogLevel>(levelIndex);

    if (deviceFolder().isEmpty()) {
        error = QStringLiteral("--device-folder must not be empty");
        return false;
    }
    if (language().trimmed().isEmpty()) {
        error = QStringLiteral("--language must not be empty");
        return false;
    }
    if (connectionMode == Mode::Demo && !scriptPath.isEmpty()) {
        error = QStringLiteral("a script needs --port or --indirect (without them the "
                               "demonstration runs)");
        return false;
    }
    if (connectionMode == Mode::Indirect && !traceFile().isEmpty()) {
        error = QStringLiteral("--trace records a serial line: it needs --port (or the "
                               "demonstration), not --indirect");
        return false;
    }
    return true;
}
