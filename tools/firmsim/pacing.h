// Keeps the chip's simulated time in step with the wall clock, at a chosen
// speed, so the serial line and the firmware's delays run at their real pace.
#pragma once

#include <cstdint>

class pacer {
public:
    // speed: simulated seconds per wall second; 0 runs as fast as the host can.
    explicit pacer(double speed) : speed_(speed) {}

    void set_speed(double speed, uint64_t cycle, double now);
    double speed() const { return speed_; }

    // Starts counting from this cycle and moment (a reset, a resume).
    void start(uint64_t cycle, double now);

    // The cycle the chip should have reached by now. A chip that fell far
    // behind (a busy host) is not made to race: the lag is dropped.
    uint64_t target_cycle(uint64_t cycle, double now);

    // How long to sleep before the chip has work again, in seconds.
    double idle_s() const { return speed_ > 0 ? slice_s : 0; }

    // How often the chip fell behind real time by more than longest_lag_s,
    // and the simulated time it thereby lost to the wall clock.
    uint64_t lags() const { return lags_; }
    double lag_s() const;

    static constexpr double slice_s = 0.001;     // run the chip in steps of 1 ms of wall time
    static constexpr double longest_lag_s = 0.05;

private:
    double speed_;
    double start_s_ = 0;
    uint64_t start_cycle_ = 0;
    uint64_t lags_ = 0;
    double lost_cycles_ = 0;
};
