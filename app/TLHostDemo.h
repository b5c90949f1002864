#pragma once

#include "TLHostScriptRunner.h"

#include <QList>
#include <QString>

#include <cstdio>
#include <functional>

class TLHostCommandLine;
class TLHostSession;
class TLHostSpinner;

// What kestrovan-host does without --port and --indirect: a complete run of the driver against
// the built-in simulators, printed step by step with the same result lines as a script.
//   direct:   the generator simulator on a pseudo-terminal; init, settings, one exposure
//             released by the simulated hand switch, the last exposure, a generator error
//             reaching the host's alarm, switch-off;
//   indirect: the console-software simulator in a temporary folder; init, activate with a
//             procedure code, the exposure at the console, the last exposure.
// It ends with a table of the steps and their results.
class TLHostDemo
{
public:
    // Limits of the demonstration's own waits.
    static constexpr int ExposureTimeoutMs = 15000;
    static constexpr int AlarmPollMs = 2500; // the status poll runs every 1000 ms
    static constexpr int AlarmTimeoutMs = 5000;
    static constexpr int ConsoleTimeoutMs = 5000;

    TLHostDemo(TLHostSession &session, const TLHostCommandLine &options, TLHostSpinner *spinner);

    void setOutput(FILE *stream) { output = stream; }
    // 0 when no step failed, 1 otherwise.
    int run();

private:
    struct Step
    {
        QString part;
        QString name;
        TLHostScriptRunner::Result result;
    };

    bool runDirect();
    bool runIndirect();
    // Runs a command line of the interpreter as one step; false when it failed.
    bool command(TLHostScriptRunner &runner, const QString &line);
    // A step of the simulators or of the host itself.
    bool action(const QString &name, const std::function<TLHostScriptRunner::Result()> &work);
    bool record(const QString &name, const TLHostScriptRunner::Result &result);
    void heading(const QString &text);
    void print(const QString &line);
    void printSummary();
    // Runs the event loop until the test holds or the time is up.
    static bool waitFor(const std::function<bool()> &done, int timeoutMs);

    TLHostSession &session;
    const TLHostCommandLine &options;
    TLHostSpinner *spinner;
    FILE *output = stdout;
    QString part;
    QList<Step> steps;
};
