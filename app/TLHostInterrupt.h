#pragma once

// Ctrl-C and SIGTERM while kestrovan-host runs: the first one asks the program to stop after
// the command at hand, so that the driver is destroyed as a host would and switches the
// generator off; a second one ends the program at once.
class TLHostInterrupt
{
public:
    static void install();
    static bool requested();
};
