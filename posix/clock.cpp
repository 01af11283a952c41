#include "clock.h"

#include <cerrno>
#include <ctime>

namespace {
// Whole seconds of the first reading; the clock counts from there. Set once,
// by whichever thread asks first (the board objects' readers and callers
// may all start at once).
int64_t clock_base_seconds(const timespec &first)
{
    static const int64_t base = first.tv_sec;
    return base;
}
}  // namespace

int32_t elapsed_ms()
{
    // A monotonic clock: a wall clock stepped back by hand or by NTP would
    // otherwise stall every wait for as long as the step.
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const int64_t ms = (static_cast<int64_t>(now.tv_sec) - clock_base_seconds(now)) * 1000 +
                       now.tv_nsec / 1000000;
    // Modular narrowing: the 32-bit reading wraps instead of overflowing.
    return static_cast<int32_t>(static_cast<uint32_t>(ms));
}

int64_t ms_since(int32_t start)
{
    const uint32_t diff = static_cast<uint32_t>(elapsed_ms()) - static_cast<uint32_t>(start);
    return static_cast<int32_t>(diff);
}

void delay_ms(int32_t ms)
{
    if (ms <= 0)
        return;
    // The end is fixed once, on the clock that elapsed_ms reads: a signal
    // must not cut the pause short (the board needs its 2000 ms after the
    // port opens, whatever timers the host runs), and resuming a relative
    // sleep would add each wake-up's overshoot to the pause.
    timespec end{};
    clock_gettime(CLOCK_MONOTONIC, &end);
    end.tv_sec += ms / 1000;
    end.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (end.tv_nsec >= 1000000000L) {
        end.tv_nsec -= 1000000000L;
        ++end.tv_sec;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &end, nullptr) == EINTR) {
    }
}

namespace {
int64_t clock_ns(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}
}  // namespace

int64_t realtime_ns()
{
    return clock_ns(CLOCK_REALTIME);
}

int64_t monotonic_ns()
{
    return clock_ns(CLOCK_MONOTONIC);
}
