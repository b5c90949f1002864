// kestrovan-host: loads the Kestrovan generator driver as the real host does and runs commands
// against it (see --help). Without --port and --indirect it runs a demonstration against the
// built-in simulators.

#include "TLHostCommandLine.h"
#include "TLHostConsoleApplication.h"
#include "TLHostDemo.h"
#include "TLHostInterrupt.h"
#include "TLHostPaths.h"
#include "TLHostPrompt.h"
#include "TLHostScriptRunner.h"
#include "TLHostSession.h"
#include "TLHostSpinner.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTimer>
#include <QTranslator>

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {
// Exit status of a run with bad usage (an error line of a command gives 1).
constexpr int BadUsage = 2;
constexpr int PluginMissing = 1;
// How often the end says that it still waits for a busy device.
constexpr int BusyReminderMs = 10000;

int usageError(const QString &text)
{
    std::fprintf(stderr, "kestrovan-host: %s\nTry kestrovan-host --help for the options.\n",
                 qUtf8Printable(text));
    return BadUsage;
}

void printText(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fflush(stream);
}

// The driver, destroyed as a host destroys it, waits while the host's device is busy, with no
// end: say so, and keep saying so, so that nobody takes it for a hang.
void closeSession(TLHostSession &session, TLHostConsoleApplication &console)
{
    QTimer reminder;
    if (session.device().state() == DeviceState::Busy) {
        console.note(
            QStringLiteral("waiting for the host device to leave state 1 (busy); only then does the "
                           "driver switch the generator off. Ctrl-C or SIGTERM twice ends at once."));
        QElapsedTimer waited;
        waited.start();
        QObject::connect(&reminder, &QTimer::timeout, [&] {
            console.note(QStringLiteral("still waiting for the host device to leave state 1 (busy), %1 s")
                             .arg(waited.elapsed() / 1000));
        });
        reminder.start(BusyReminderMs);
    }
    session.close();
}

int runCommands(TLHostSession &session, const TLHostCommandLine &options, TLHostSpinner &spinner,
                TLHostConsoleApplication &console)
{
    const QString script = options.script();
    const bool prompt = script.isEmpty() && ::isatty(STDIN_FILENO);
    QFile input;
    if (!prompt) {
        bool readable = false;
        if (script.isEmpty() || script == QLatin1String("-")) {
            readable = input.open(stdin, QIODevice::ReadOnly);
        } else {
            input.setFileName(script);
            readable = input.open(QIODevice::ReadOnly);
        }
        if (!readable)
            return usageError(
                QStringLiteral("cannot read the script %1: %2").arg(script, input.errorString()));
    }

    const bool direct = options.mode() == TLHostCommandLine::Mode::Direct;
    console.hints().setPort(direct ? options.port() : QString());
    console.hints().setFolders(direct ? QString() : options.indirectFolder(), options.workingDirectory());
    const bool opened = direct ? session.openDirect(options.port(), options)
                               : session.openIndirect(options.indirectFolder(), options);
    if (!opened)
        return usageError(session.errorString());

    TLHostScriptRunner runner(*session.driver(), session.device());
    runner.setSpinner(&spinner);
    if (prompt) {
        TLHostPrompt(runner).run();
    } else {
        runner.runScript(input.handle());
    }
    closeSession(session, console);
    if (TLHostInterrupt::requested())
        return TLHostInterrupt::exitStatus();
    return runner.failed() ? 1 : 0;
}
} // namespace

int main(int argc, char *argv[])
{
    // A trace or log read through a pipe whose reader ends must not kill the host while the
    // generator is switched on: the write fails instead, and the run goes on.
    std::signal(SIGPIPE, SIG_IGN);
    TLHostConsoleApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kestrovan-host"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KESTROVAN_VERSION));

    TLHostCommandLine options;
    const TLHostCommandLine::Outcome outcome = options.parse(QCoreApplication::arguments());
    switch (outcome) {
    case TLHostCommandLine::Outcome::BadUsage:
        return usageError(options.errorText());
    case TLHostCommandLine::Outcome::Help:
        printText(stdout, options.helpText());
        return 0;
    case TLHostCommandLine::Outcome::Version:
        printText(stdout, QStringLiteral("kestrovan-host %1\n").arg(QCoreApplication::applicationVersion()));
        break;
    case TLHostCommandLine::Outcome::Run:
        break;
    }

    const bool versionOnly = outcome == TLHostCommandLine::Outcome::Version;
    app.setLogLevel(options.logLevel());
    QString logError;
    if (!versionOnly && !options.logFile().isEmpty() && !app.openLogFile(options.logFile(), logError))
        return usageError(logError);
    // Only the demonstration reads the records back (its alarm step); a long session would
    // otherwise keep every log line in memory.
    app.setRecording(options.mode() == TLHostCommandLine::Mode::Demo);

    QTranslator translator;
    const QString language = options.language().trimmed();
    if (language != QLatin1String("de")) {
        const QString file = TLHostPaths::translationFile(language);
        if (file.isEmpty())
            return usageError(
                QStringLiteral("no translation for language \"%1\" (looked for %2)")
                    .arg(language, TLHostPaths::translationCandidates(language).join(QStringLiteral(", "))));
        if (!translator.load(file))
            return usageError(QStringLiteral("cannot load the translation %1").arg(file));
        QCoreApplication::installTranslator(&translator);
    }

    // Asked for the version, a missing plug-in is an answer, not bad usage.
    const auto pluginError = [versionOnly](const QString &text) {
        if (!versionOnly)
            return usageError(text);
        std::fprintf(stderr, "kestrovan-host: %s\n", qUtf8Printable(text));
        return PluginMissing;
    };
    QString plugin = options.plugin();
    if (plugin.isEmpty()) {
        plugin = TLHostPaths::defaultPlugin();
        if (plugin.isEmpty())
            return pluginError(QStringLiteral("the driver library was not found (looked for %1); "
                                              "give it with --plugin")
                                   .arg(TLHostPaths::pluginCandidates().join(QStringLiteral(", "))));
    }
    TLHostSession session;
    if (!session.loadPlugin(plugin))
        return pluginError(session.errorString());
    const QString driverLine =
        QStringLiteral("driver %1 (%2)").arg(session.pluginVersion(), session.pluginPath());
    if (versionOnly) {
        printText(stdout, driverLine + QLatin1Char('\n'));
        return 0;
    }
    app.note(QStringLiteral("version %1, %2").arg(QCoreApplication::applicationVersion(), driverLine));

    TLHostInterrupt::install();
    TLHostSpinner spinner(TLHostSpinner::standardErrorIsTerminal());
    if (options.mode() == TLHostCommandLine::Mode::Demo) {
        TLHostDemo demo(session, options, &spinner);
        return demo.run();
    }
    return runCommands(session, options, spinner, app);
}
