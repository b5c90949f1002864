#pragma once

// Ctrl-C and SIGTERM while kestrovan-host runs: the first one asks the program to stop after
// the command at hand, so that the driver is destroyed as a host would and switches the
// generator off; a second one ends the program at once with the shell's status for the signal
// (130 for Ctrl-C, 143 for SIGTERM). Each says so on standard error.
class QEventLoop;
class QTimer;

class TLHostInterrupt
{
public:
    static void install();
    static bool requested();
    // 128 and the number of the first signal; 0 when none came.
    static int exitStatus();

    // Quits the loop once an interrupt came, looking every PollMs with the timer (a signal handler
    // may not touch Qt). The timer must live as long as the loop runs.
    static void quitOnRequest(QEventLoop &loop, QTimer &poll);

    static constexpr int SignalStatusBase = 128;
    static constexpr int PollMs = 50;
};
