#pragma once

#include <QStringList>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

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
