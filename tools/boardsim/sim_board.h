// The emulated board: inputs follow their sources, outputs are remembered for
// the table, and the answers wait in a queue for the line.
#pragma once

#include "board_protocol.h"
#include "signals.h"

#include <cstdint>
#include <string>

constexpr int analog_channels = 6;
constexpr int digital_pins = 14;  // 0..13; only 2..13 are ever used
constexpr int pwm_pins[] = {3, 5, 6, 9};
// A board restarts when a host opens its port and hears nothing until its
// boot loader hands over to the sketch, well within the driver's 2 s wait.
constexpr double boot_time_ms = 1000;
// The pins the driver reads (its digital inputs 0..3).
constexpr int input_pins[] = {2, 4, 7, 8};

class sim_board : public board_io {
public:
    analog_source analog[analog_channels];
    digital_source digital[digital_pins];

    // Last settings; -1 for an output never set.
    int pwm[digital_pins];
    int level[digital_pins];

    double now_s = 0;    // time the sources are read at, set by the caller
    std::string answer;  // answer bytes not yet taken by the caller
    std::string action;  // what the last output command did, for the log

    sim_board();

    // What a restart leaves: every pin an input again, nothing driven.
    void restart();

    uint16_t read_analog(uint8_t channel) override;
    bool read_digital(uint8_t pin) override;
    void write_pwm(uint8_t pin, uint8_t duty) override;
    void write_digital(uint8_t pin, bool high) override;
    void send(uint8_t byte) override;

private:
    uint32_t random_state_ = 1;
};
