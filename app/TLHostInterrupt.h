#pragma once

// Ctrl-C and SIGTERM while kestrovan-host runs: the first one asks the program to stop after
// the command at hand, so that the driver is destroyed as a host would and switches the
// generator off; a second one ends the program at once with the shell's status for the signal
// (130 for Ctrl-C, 143 for SIGTERM). Each says so on standard error.
class TLHostInterrupt
{
public:
    static void install();
    static bool requested();
    // 128 and the number of the first signal; 0 when none came.
    static int exitStatus();

    static constexpr int SignalStatusBase = 128;
};
