// The emulated board: inputs follow their sources, outputs are remembered for
// the table, and the answers wait in a queue for the line.
#pragma once

#include "board_protocol.h"
#include "protocol/board_channels.h"
#include "signals.h"

#include <cstdint>
#include <string>

// Pins by number, 0..13 (0 and 1 carry the line and are never used).
constexpr int digital_pins = command_interpreter::last_digital_pin + 1;
// A board restarts when a host opens its port and hears nothing until its
// boot loader hands over to the sketch, well within the driver's 2 s wait.
constexpr double boot_time_ms = 1000;

class sim_board : public board_io {
public:
    analog_source analog[analog_input_count];
    digital_source digital[digital_pins];

    // Last settings; -1 for an output never set.
    int pwm[digital_pins];
    int level[digital_pins];

    double now_s = 0;    // time the sources are read at and the board's clock, set by the caller
    std::string answer;  // answer bytes not yet taken by the caller
    std::string action;  // what the last output command did, for the log
    uint16_t room = 63;  // what its serial buffer takes now, set by the caller
    uint32_t moved_to = 0;  // a rate the interpreter moved the line to, taken by the caller

    sim_board();

    // What a restart leaves: every pin an input again, nothing driven.
    void restart();

    uint16_t read_analog(uint8_t channel) override;
    bool read_digital(uint8_t pin) override;
    void write_pwm(uint8_t pin, uint8_t duty) override;
    void write_digital(uint8_t pin, bool high) override;
    void send(uint8_t byte) override;
    uint32_t clock_us() override { return clock_us_at(now_s); }
    // The board's microsecond clock at a time after start.
    static uint32_t clock_us_at(double seconds);
    void set_line_rate(uint32_t baud) override { moved_to = baud; }
    uint16_t send_room() override { return room; }

private:
    uint32_t random_state_ = 1;
};
