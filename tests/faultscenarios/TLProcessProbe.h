#pragma once

#include <QString>

// What the process looks like from outside: its threads, the CPU it has used and its resident
// memory, read from /proc and getrusage. Used to show that no thread outlives the driver and
// that nothing spins while the line is dead.
class TLProcessProbe
{
public:
    // Entries of /proc/self/task.
    static int threadCount();
    // Whether a thread's name (the kernel keeps 15 characters) starts with this prefix.
    static bool hasThreadNamed(const QString &prefix);
    // User and system CPU of the whole process, in seconds.
    static double cpuSeconds();
    // VmRSS of /proc/self/status, in KiB (-1 if unreadable).
    static qint64 residentKiB();
};
