// Small pieces every benchmark needs alike: medians, CPU time, elapsed time and where the
// shared samples are.
#pragma once

#include <QElapsedTimer>
#include <QString>
#include <QtGlobal>
#include <algorithm>
#include <chrono>
#include <functional>
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

/// The median of `runs` timed calls after one untimed call that warms the cache, in units of
/// `Period` (std::milli, std::micro).
template <class Period> double medianOfRuns(int runs, const std::function<void()>& work)
{
    std::vector<double> times;
    times.reserve(size_t(runs));
    work();
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        work();
        times.push_back(std::chrono::duration<double, Period>(std::chrono::steady_clock::now() - start).count());
    }
    return median(std::move(times));
}

/// The samples folder: the one named first on the command line, else $KORVANE_TESTDATA, else
/// `fallback` (the build's guess).
inline QString samplesRoot(int argc, char* argv[], const char* fallback)
{
    QString root = argc > 1 ? QString::fromLocal8Bit(argv[1]) : qEnvironmentVariable("KORVANE_TESTDATA");
    if (root.isEmpty())
        root = QString::fromUtf8(fallback);
    return root;
}

/// Widget benchmarks run without a display unless told otherwise; call before QApplication.
inline void offscreenUnlessSet()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

} // namespace korvane::bench
