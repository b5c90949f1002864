// kestrovan-host: loads the Kestrovan generator driver as the real host does and runs commands
// against it (see --help). Without --port and --indirect it runs a demonstration against the
// built-in simulators.

#include "TLHostApplication.h"
#include "TLHostCommandLine.h"
#include "TLHostDemo.h"
#include "TLHostInterrupt.h"
#include "TLHostPaths.h"
#include "TLHostPrompt.h"
#include "TLHostScriptRunner.h"
#include "TLHostSession.h"
#include "TLHostSpinner.h"

#include <QFile>
#include <QTranslator>

#include <cstdio>
#include <unistd.h>

namespace {
// Exit status of a run with bad usage (an error line of a command gives 1).
constexpr int BadUsage = 2;

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

int runCommands(TLHostSession &session, const TLHostCommandLine &options, TLHostSpinner &spinner)
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
    const bool opened = direct ? session.openDirect(options.port(), options)
                               : session.openIndirect(options.indirectFolder(), options);
    if (!opened)
        return usageError(session.errorString());

    TLHostScriptRunner runner(*session.driver(), session.device());
    runner.setSpinner(&spinner);
    if (prompt) {
        TLHostPrompt(runner).run();
    } else {
        runner.runScript(input);
    }
    session.close();
    return runner.failed() ? 1 : 0;
}
} // namespace

int main(int argc, char *argv[])
{
    TLHostApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kestrovan-host"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KESTROVAN_VERSION));

    TLHostCommandLine options;
    switch (options.parse(QCoreApplication::arguments())) {
    case TLHostCommandLine::Outcome::BadUsage:
        return usageError(options.errorText());
    case TLHostCommandLine::Outcome::Help:
        printText(stdout, options.helpText());
        return 0;
    case TLHostCommandLine::Outcome::Version:
        printText(stdout, QStringLiteral("kestrovan-host %1\n").arg(QCoreApplication::applicationVersion()));
        return 0;
    case TLHostCommandLine::Outcome::Run:
        break;
    }

    app.setPrinting(stderr, options.logLevel(), TLHostApplication::PrintFormat::Compact);
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

    QString plugin = options.plugin();
    if (plugin.isEmpty()) {
        plugin = TLHostPaths::defaultPlugin();
        if (plugin.isEmpty())
            return usageError(QStringLiteral("the driver library was not found (looked for %1); "
                                             "give it with --plugin")
                                  .arg(TLHostPaths::pluginCandidates().join(QStringLiteral(", "))));
    }
    TLHostSession session;
    if (!session.loadPlugin(plugin))
        return usageError(session.errorString());

    TLHostInterrupt::install();
    TLHostSpinner spinner(TLHostSpinner::standardErrorIsTerminal());
    if (options.mode() == TLHostCommandLine::Mode::Demo) {
        TLHostDemo demo(session, options, &spinner);
        return demo.run();
    }
    return runCommands(session, options, spinner);
}
