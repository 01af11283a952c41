// What the benchmarks here share to take their figures: the clock, the CPU
// time used, and the percentiles of a set of times.
#pragma once

#include <algorithm>
#include <chrono>
#include <sys/resource.h>
#include <vector>

// Milliseconds on the monotonic clock.
inline double now_ms()
{
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

// The CPU time (user + system) in milliseconds of the calling thread
// (RUSAGE_THREAD) or of the whole process (RUSAGE_SELF).
inline double cpu_ms(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

// The value at `fraction` (0 the least, 1 the most) of the sorted values, the
// nearest rank; 0 for none.
inline double percentile(std::vector<double> values, double fraction)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5)];
}
