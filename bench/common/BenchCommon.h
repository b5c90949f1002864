#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QStringList>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include <unistd.h>

// The driver's link thread as the kernel names it: the first 15 characters of its object name.
constexpr char DriverLinkThreadName[] = "KestrovanSerial";

// The number after the option "name" on the command line, or the fallback.
inline int argument(const QStringList &args, const QString &name, int fallback)
{
    const int at = args.indexOf(name);
    return at >= 0 && at + 1 < args.size() ? args.at(at + 1).toInt() : fallback;
}

// The value below which the share p (0..1) of the samples lies, the nearest sample taken; 0 when
// there are none. Shared by the benchmarks so that their medians and tails mean the same thing.
inline double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const double last = double(values.size() - 1);
    return values[std::min(values.size() - 1, size_t(std::lround(p * last)))];
}

// Resident memory of this process in KiB; -1 when unknown.
inline qint64 residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// The machine's load average over 1, 5 and 15 minutes: the figures mean less on a busy machine.
inline QString loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("?");
    return QString::fromLatin1(file.readAll().split(' ').mid(0, 3).join(' '));
}

// CPU seconds (user and system) from a stat line of /proc: fields 14 and 15 of the whole line,
// 12 and 13 after the name in parentheses.
inline double cpuSecondsOfStat(const QString &path)
{
    QFile stat(path);
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    return (fields.value(11).toDouble() + fields.value(12).toDouble()) / double(sysconf(_SC_CLK_TCK));
}

inline double processCpuSeconds()
{
    return cpuSecondsOfStat(QStringLiteral("/proc/self/stat"));
}

// CPU seconds of this process's live threads whose names start so (the kernel keeps 15
// characters of a name); -1 when there is none.
inline double threadsCpuSeconds(const QByteArray &namePrefix)
{
    const QDir tasks(QStringLiteral("/proc/self/task"));
    double seconds = -1;
    for (const QString &tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks.filePath(tid + QStringLiteral("/comm")));
        if (!comm.open(QIODevice::ReadOnly) || !comm.readAll().startsWith(namePrefix))
            continue;
        seconds = std::max(seconds, 0.0) + cpuSecondsOfStat(tasks.filePath(tid + QStringLiteral("/stat")));
    }
    return seconds;
}
