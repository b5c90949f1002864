#pragma once

#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <cstdio>

class TLAbstractDevice;
class TLAbstractGeneratorDriver;
class TLCondition;
class TLHostSpinner;

// The command interpreter of kestrovan-host: one command a line, each answered by one line,
// "ok", "ok VALUE", "warning: TEXT" or "error: TEXT" (line feeds shown as \n), stamped when it
// runs in kestrovan-host. It calls the driver only through the generator-driver interface, in
// the calling (main) thread.
//
// A result says what really happened: a warning quotes what the driver reported as a warning
// or an error (and the alarms it raised) during the command; a value that was only stored, or
// read from the store, says so and why; "last" says when no exposure ran since the last one.
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
    // Longest script line; a longer one is run as it stands and fails.
    static constexpr int MaxLineBytes = 65536;

    TLHostScriptRunner(TLAbstractGeneratorDriver &driver, TLAbstractDevice &device);

    void setOutput(FILE *stream) { output = stream; }
    // Shown around driver calls; may be null.
    void setSpinner(TLHostSpinner *spinner) { busy = spinner; }

    // Runs one line and prints its result line (nothing for a blank line or a comment).
    // Returns false once "quit" has run.
    bool runLine(const QString &line);
    // Runs the lines read from the descriptor (a pipe, a terminal or a file) until its end,
    // "quit" or an interrupt. The host's events run while it waits for a line, so that alarms
    // and log lines appear when they happen.
    void runScript(int descriptor);
    // Runs one line without printing. A blank line or comment gives an Ok with no text.
    Result execute(const QString &line);

    bool failed() const { return errors > 0; }
    int errorCount() const { return errors; }
    bool quitRequested() const { return quit; }

    // "ok VALUE", "warning: TEXT", "error: TEXT"; line feeds shown as \n.
    static QString resultLine(const Result &result);
    // The result line, stamped in kestrovan-host.
    static void printResult(FILE *stream, const Result &result);
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
    // After init, switchOn and switchOff: whether the generator is on, and what to check.
    Result switched(const QString &name, const TLCondition &condition);
    // Why the driver neither sends nor reads now; empty when it does.
    QString offReason() const;
    QString notReadReason();
    // Empty from a driver that does not know the command.
    QVariantMap linkHealth();
    void runLines(QByteArray &pending, bool ended);
    void print(const QString &line);

    TLAbstractGeneratorDriver &driver;
    TLAbstractDevice &device;
    FILE *output = stdout;
    TLHostSpinner *busy = nullptr;
    int errors = 0;
    bool quit = false;
    bool powered = false;  // direct mode: the last init or switch-on succeeded, no switch-off since
    int exposuresSeen = 0; // exposures the host saw end up to the last "last"
};
