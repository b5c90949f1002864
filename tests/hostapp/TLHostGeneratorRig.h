#pragma once

#include "TLKestrovanGeneratorSimulator.h"

#include <QStringList>
#include <QTemporaryDir>

#include <functional>

class TLHostProcess;

// The generator simulator on a pseudo-terminal with known values (version V7.3, dose meter on,
// a fixed last exposure) and an error catalogue that explains code 105, for running
// kestrovan-host in direct mode.
class TLHostGeneratorRig
{
public:
    // A short sleep of the program while a test waits for something it shows.
    static constexpr int PollStepMs = 200;

    TLHostGeneratorRig();
    bool isReady() const { return ready; }
    TLKestrovanGeneratorSimulator &sim() { return simulator; }

    // --port, --data-dir and --log-level for the program.
    QStringList arguments(const QString &logLevel = QStringLiteral("warning")) const;
    // Lets the running program sleep in short steps until the check holds or the time is up.
    static bool sleepUntil(TLHostProcess &host, const std::function<bool()> &check, int timeoutMs);

    static QString lastExposureLine() { return QStringLiteral("ok kv=81 mas=16 ma=250 ms=50 dap=3.5"); }

private:
    TLKestrovanGeneratorSimulator simulator;
    QTemporaryDir data;
    bool ready = false;
};
