// Time limits on the millisecond clock: a deadline is where a wait started
// and how long it may last. Every wait of the system (an answer, a byte,
// room to write) is bounded by one.
#pragma once

#include <cstdint>

struct deadline {
    int32_t start_ms;  // elapsed_ms reading when the wait began
    int32_t limit_ms;  // how long it may last; 0 or less has passed at once
};

// A deadline that starts now.
deadline deadline_after(int32_t limit_ms);

// Milliseconds since the start at clock reading `now_ms`: the 32-bit readings
// are subtracted modulo 2^32, so a wait that spans the clock's wrap counts
// right (for up to 2^32 - 1 ms).
int64_t elapsed_at(const deadline &d, int32_t now_ms);

// Passed once more than the limit has elapsed: a reading of exactly the
// limit still goes on.
bool deadline_passed_at(const deadline &d, int32_t now_ms);
bool deadline_passed(const deadline &d);

// Milliseconds until the limit; 0 at the limit and once passed.
int64_t ms_left_at(const deadline &d, int32_t now_ms);
int64_t ms_left(const deadline &d);

// Sleeps until the deadline has passed, resuming after signals.
void sleep_until_passed(const deadline &d);
