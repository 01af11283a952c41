// What the benchmarks here share to take their figures: the clock, the CPU
// time used (this process's and another's), the machine's load, and the
// percentiles of a set of times.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <sys/resource.h>
#include <sys/types.h>
#include <unistd.h>
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

inline double median(const std::vector<double> &values)
{
    return percentile(values, 0.5);
}

// The CPU time (user + system) in milliseconds of another process, all its
// threads, from /proc/<pid>/stat (in clock ticks: 10 ms steps); -1 when it
// cannot be read.
inline double process_cpu_ms(pid_t pid)
{
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    FILE *file = std::fopen(path.c_str(), "r");
    if (file == nullptr)
        return -1;
    char text[1024];
    const size_t count = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    text[count] = 0;
    // The name, field 2, is in parentheses and may hold spaces: the fields
    // after its last ')' are 3 onwards, utime and stime the 14th and 15th.
    const std::string fields(text);
    const size_t name_end = fields.rfind(')');
    unsigned long long user = 0, system = 0;
    if (name_end == std::string::npos ||
        std::sscanf(fields.c_str() + name_end + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &user,
                    &system) != 2)
        return -1;
    return static_cast<double>(user + system) * 1e3 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The machine's load average over the last minute, as the kernel writes it.
inline std::string load_average()
{
    std::string load = "?";
    if (FILE *file = std::fopen("/proc/loadavg", "r")) {
        char text[32];
        if (std::fscanf(file, "%31s", text) == 1)
            load = text;
        std::fclose(file);
    }
    return load;
}
