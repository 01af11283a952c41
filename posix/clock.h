// The millisecond clock and the pause used for every timing of the system.
#pragma once

#include <cstdint>

// Milliseconds of a monotonic clock, counted from the start of the second in
// which the process first asked (so the first reading is below 1000). Wraps
// after about 24.8 days; compare readings with ms_since, never with `-`.
int32_t elapsed_ms();

// Milliseconds from `start` (an earlier elapsed_ms reading) to now, correct
// across the wrap of the 32-bit clock.
int64_t ms_since(int32_t start);

// Pauses for `ms` milliseconds, resuming after signals; 0 or less returns at once.
void delay_ms(int32_t ms);

// Nanoseconds of the system's time (CLOCK_REALTIME, since 1970): when a
// reading came, as a person or another program dates it.
int64_t realtime_ns();

// Nanoseconds of the monotonic clock: for durations alone.
int64_t monotonic_ns();
