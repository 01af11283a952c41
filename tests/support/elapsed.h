// Durations as the tests measure them: on the steady clock, never on the
// library's own (reading that in the test process would start it there, and
// every forked child would inherit its start).
#pragma once

#include <chrono>

inline long long ms_between(std::chrono::steady_clock::time_point from, std::chrono::steady_clock::time_point to)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}
