#pragma once

#include <QString>
#include <QStringList>

#include <cstdio>

class QIODevice;
class TLAbstractDevice;
class TLAbstractGeneratorDriver;
class TLCondition;
class TLHostSpinner;

// The command interpreter of kestrovan-host: one command a line, each answered by one line,
// "ok", "ok VALUE", "warning: TEXT" or "error: TEXT" (line feeds shown as \n). It calls the
// driver only through the generator-driver interface, in the calling (main) thread.
//
//   init  switchOn  switchOff  set NAME VALUE  get NAME  limits  update  activate  last
//   command NAME [VALUE]  health  block-queries on|off  device-state [N]  sleep MS  help  quit
//
// NAME of set/get: kv, mas, ma, ms, density, focus, aec, mode, target.
class TLHostScriptRunner
{
public:
    enum class Outcome { Ok, Warning, Error };
    struct Result
    {
        Outcome outcome = Outcome::Ok;
        QString text; // the value after "ok", or the message
    };

    // Longest sleep a script may ask for.
    static constexpr int MaxSleepMs = 3600000;

    TLHostScriptRunner(TLAbstractGeneratorDriver &driver, TLAbstractDevice &device);

    void setOutput(FILE *stream) { output = stream; }
    // Shown around driver calls; may be null.
    void setSpinner(TLHostSpinner *spinner) { busy = spinner; }

    // Runs one line and prints its result line (nothing for a blank line or a comment).
    // Returns false once "quit" has run.
    bool runLine(const QString &line);
    // Runs the lines of a script until its end, "quit" or an interrupt.
    void runScript(QIODevice &input);
    // Runs one line without printing. A blank line or comment gives an Ok with no text.
    Result execute(const QString &line);

    bool failed() const { return errors > 0; }
    int errorCount() const { return errors; }
    bool quitRequested() const { return quit; }

    // "ok VALUE", "warning: TEXT", "error: TEXT"; line feeds shown as \n.
    static QString resultLine(const Result &result);
    static Result fromCondition(const TLCondition &condition, const QString &okText = QString());
    static bool isBlankOrComment(const QString &line);
    static QString number(double value);
    static QStringList commandNames();
    static QStringList parameterNames();
    static QStringList helpLines();
    // Keeps the event loop running meanwhile, so that queued alarms arrive.
    static void sleepWithEvents(int milliseconds);

private:
    Result dispatch(const QStringList &words);
    Result set(const QString &name, const QString &value);
    Result get(const QString &name);
    Result limits();
    Result last();
    Result command(const QStringList &words);
    Result blockQueries(const QStringList &words);
    Result deviceState(const QStringList &words);
    Result sleep(const QStringList &words);
    void print(const QString &line);

    TLAbstractGeneratorDriver &driver;
    TLAbstractDevice &device;
    FILE *output = stdout;
    TLHostSpinner *busy = nullptr;
    int errors = 0;
    bool quit = false;
};
