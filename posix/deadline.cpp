#include "deadline.h"

#include "clock.h"

deadline deadline_after(int32_t limit_ms)
{
    return deadline{elapsed_ms(), limit_ms};
}

int64_t elapsed_at(const deadline &d, int32_t now_ms)
{
    return static_cast<uint32_t>(now_ms) - static_cast<uint32_t>(d.start_ms);
}

bool deadline_passed_at(const deadline &d, int32_t now_ms)
{
    return elapsed_at(d, now_ms) > d.limit_ms;
}

bool deadline_passed(const deadline &d)
{
    return deadline_passed_at(d, elapsed_ms());
}

int64_t ms_left_at(const deadline &d, int32_t now_ms)
{
    const int64_t left = d.limit_ms - elapsed_at(d, now_ms);
    return left > 0 ? left : 0;
}

int64_t ms_left(const deadline &d)
{
    return ms_left_at(d, elapsed_ms());
}

void sleep_until_passed(const deadline &d)
{
    // The clock counts whole milliseconds: at the limit itself one more
    // millisecond makes the deadline pass.
    while (!deadline_passed(d))
        delay_ms(static_cast<int32_t>(ms_left(d)) + 1);
}
