// Small pieces every benchmark needs alike: medians, CPU time and elapsed time.
#pragma once

#include <QElapsedTimer>
#include <algorithm>
#include <sys/resource.h>
#include <vector>

namespace korvane::bench {

/// The middle value, the upper of the two middle ones for an even count; 0 for none.
inline double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

/// User + system CPU seconds of `who`: RUSAGE_SELF, or RUSAGE_CHILDREN (children waited for).
inline double cpuSeconds(int who)
{
    struct rusage u {};
    ::getrusage(who, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

/// CPU seconds of this process and of its children waited for so far.
inline double cpuSecondsWithChildren()
{
    return cpuSeconds(RUSAGE_SELF) + cpuSeconds(RUSAGE_CHILDREN);
}

inline double elapsedMs(const QElapsedTimer& timer)
{
    return double(timer.nsecsElapsed()) / 1e6;
}

inline double elapsedSeconds(const QElapsedTimer& timer)
{
    return double(timer.nsecsElapsed()) / 1e9;
}

} // namespace korvane::bench
