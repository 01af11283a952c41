#include "pacing.h"

#include "firmware_image.h"

void pacer::set_speed(double speed, uint64_t cycle, double now)
{
    speed_ = speed;
    start(cycle, now);
}

void pacer::start(uint64_t cycle, double now)
{
    start_cycle_ = cycle;
    start_s_ = now;
}

uint64_t pacer::target_cycle(uint64_t cycle, double now)
{
    if (speed_ <= 0)
        return cycle + static_cast<uint64_t>(slice_s * chip_hz);  // a slice, then look at the host
    const double due = static_cast<double>(start_cycle_) + (now - start_s_) * speed_ * chip_hz;
    const double behind = due - static_cast<double>(cycle);
    if (behind > longest_lag_s * speed_ * chip_hz) {
        ++lags_;
        lost_cycles_ += behind / speed_;
        start(cycle, now);
        return cycle + static_cast<uint64_t>(slice_s * speed_ * chip_hz);
    }
    return behind > 0 ? static_cast<uint64_t>(due) : cycle;
}

double pacer::lag_s() const
{
    return lost_cycles_ / chip_hz;
}
