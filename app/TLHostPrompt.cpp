#include "TLHostPrompt.h"

#include "TLHostInterrupt.h"
#include "TLHostScriptRunner.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#if defined(KESTROVAN_HOST_LIBEDIT)
#include <editline/readline.h>
#elif defined(KESTROVAN_HOST_READLINE)
#include <readline/history.h>
#include <readline/readline.h>
#endif

namespace {
const char PromptText[] = "kestrovan> ";

#if defined(KESTROVAN_HOST_LIBEDIT) || defined(KESTROVAN_HOST_READLINE)
// Completion: command names first, value names after get and set, driver commands after command.
QStringList completionWords()
{
    const QString line = QString::fromLocal8Bit(rl_line_buffer, rl_point);
    const QStringList words = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    const bool newWord = line.endsWith(QLatin1Char(' '));
    const int index = words.size() - (newWord ? 0 : 1);
    if (index <= 0)
        return TLHostScriptRunner::commandNames();
    if (index == 1 && (words.first() == QLatin1String("get") || words.first() == QLatin1String("set")))
        return TLHostScriptRunner::parameterNames();
    if (index == 1 && words.first() == QLatin1String("command"))
        return {QStringLiteral("version"),   QStringLiteral("isDapEnabled"), QStringLiteral("switchOn"),
                QStringLiteral("switchOff"), QStringLiteral("linkHealth"),   QStringLiteral("driverVersion")};
    if (index == 1 && words.first() == QLatin1String("block-queries"))
        return {QStringLiteral("on"), QStringLiteral("off")};
    return {};
}

char *completionCandidate(const char *text, int state)
{
    static QStringList matches;
    static int next = 0;
    if (state == 0) {
        matches.clear();
        next = 0;
        const QString prefix = QString::fromLocal8Bit(text);
        for (const QString &word : completionWords()) {
            if (word.startsWith(prefix))
                matches << word;
        }
    }
    if (next >= matches.size())
        return nullptr;
    return ::strdup(matches.at(next++).toLocal8Bit().constData());
}

char **complete(const char *text, int, int)
{
    rl_attempted_completion_over = 1; // no file names
    return rl_completion_matches(text, completionCandidate);
}
#endif
} // namespace

TLHostPrompt *TLHostPrompt::current = nullptr;

TLHostPrompt::TLHostPrompt(TLHostScriptRunner &runner) : runner(runner) {}

TLHostPrompt::~TLHostPrompt() = default;

bool TLHostPrompt::hasLineEditing()
{
#if defined(KESTROVAN_HOST_LIBEDIT) || defined(KESTROVAN_HOST_READLINE)
    return true;
#else
    return false;
#endif
}

QString TLHostPrompt::historyFile()
{
    return QDir::homePath() + QStringLiteral("/.kestrovan_host_history");
}

void TLHostPrompt::lineHandler(char *line)
{
    if (current)
        current->onLine(line);
    else
        std::free(line);
}

void TLHostPrompt::onLine(char *line)
{
    lineDone = true;
    if (!line) {
        // End of input: leave the prompt's line and stop.
        std::fputc('\n', stdout);
        std::fflush(stdout);
        finish();
        return;
    }
    const QString text = QString::fromLocal8Bit(line);
#if defined(KESTROVAN_HOST_LIBEDIT) || defined(KESTROVAN_HOST_READLINE)
    if (!TLHostScriptRunner::isBlankOrComment(text))
        add_history(line);
#endif
    std::free(line);
    if (!runner.runLine(text) || TLHostInterrupt::requested())
        finish();
}

void TLHostPrompt::finish()
{
    done = true;
    loop->quit();
}

void TLHostPrompt::readInput()
{
#if defined(KESTROVAN_HOST_LIBEDIT) || defined(KESTROVAN_HOST_READLINE)
    lineDone = false;
    rl_callback_read_char();
#if defined(KESTROVAN_HOST_LIBEDIT)
    // libedit leaves edit mode before it hands over a line and would show the next prompt
    // only when more input arrives: show it now, in edit mode (GNU readline does so itself).
    if (lineDone && !done)
        rl_callback_handler_install(PromptText, lineHandler);
#endif
#else
    char buffer[512];
    const ssize_t count = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (count <= 0) {
        onLine(nullptr);
        return;
    }
    // A terminal in raw mode ends lines with a carriage return.
    pending.append(QByteArray(buffer, static_cast<int>(count)).replace('\r', '\n'));
    int end = 0;
    while (!done && (end = pending.indexOf('\n')) >= 0) {
        const QByteArray line = pending.left(end);
        pending.remove(0, end + 1);
        onLine(::strdup(line.constData()));
        if (!done) {
            std::fputs(PromptText, stdout);
            std::fflush(stdout);
        }
    }
#endif
}

void TLHostPrompt::run()
{
    QEventLoop events;
    loop = &events;
    done = false;
    current = this;

    std::printf("kestrovan-host: type help for the commands, quit or Ctrl-D to end.\n");
    std::fflush(stdout);
#if defined(KESTROVAN_HOST_LIBEDIT) || defined(KESTROVAN_HOST_READLINE)
    const QByteArray history = QFile::encodeName(historyFile());
    using_history();
    read_history(history.constData());
    rl_attempted_completion_function = complete;
    rl_callback_handler_install(PromptText, lineHandler);
#else
    std::fputs(PromptText, stdout);
    std::fflush(stdout);
#endif

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &events, [this] { readInput(); });
    QTimer interrupt;
    TLHostInterrupt::quitOnRequest(events, interrupt);
    events.exec();
    input.setEnabled(false);

#if defined(KESTROVAN_HOST_LIBEDIT) || defined(KESTROVAN_HOST_READLINE)
    rl_callback_handler_remove();
    stifle_history(HistoryLines);
    write_history(history.constData());
#endif
    current = nullptr;
    loop = nullptr;
}
