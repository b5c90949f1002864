#pragma once

#include <QtGlobal>

class QElapsedTimer;
class TLDirectTestRig;
class TLSignalTally;

// Checks shared by the scenarios in which the line dies while the generator is on: nothing
// spins meanwhile, the host is told once, and the driver comes back on a new line (a new
// pseudo-terminal, as after re-plugging an adapter). Failures are reported through QtTest.
class TLLinkLossCheck
{
public:
    // A loop that spins on a dead port uses a whole core: far above this share of the wall time.
    static constexpr double MaxCpuShare = 0.5;
    // Measured for this long.
    static constexpr int CpuSpanMs = 2000;

    // CPU time of the whole process divided by the wall time, over a span in which the test's
    // thread only handles events.
    static double cpuShareOver(int milliseconds);
    // Whether the text is one of those the link gives when it gives a telegram up: the last
    // write's failure, or no acknowledgement at all.
    static bool isLinkFailureText(const QString &text, const QString &port);
    // After the line went: device state 4 within allowedMs (plus a margin) of `since` (when the
    // cable went, or when the dead line was first written to), one alarm with a link failure text, one
    // communication error, the port closed and the link thread gone, no spinning, the driver usable while
    // off, and recovery on a new line. linkErrors counts communicationErrorOccurred.
    static void verifyLossAndRecovery(TLDirectTestRig &rig, const TLSignalTally &linkErrors,
                                      const QElapsedTimer &since, qint64 allowedMs);
    // Starts the simulator on a new pseudo-terminal, points the configuration at it and sends
    // the host's "switchOn". False, with the reason in the test log, if the driver did not
    // come back switched on, with its port open and the status poll running.
    static bool recoverOnNewLine(TLDirectTestRig &rig);
};
