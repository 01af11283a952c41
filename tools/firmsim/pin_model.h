// The board's pins as the outside world sees them: the voltages on the analog
// inputs and the levels on the digital inputs that firmsim's caller sets, and
// what the firmware drives on its outputs, read from the chip's registers.
#pragma once

#include "board_protocol.h"
#include "protocol/board_channels.h"

#include <cstdint>
#include <string>

struct avr_t;

// The pins an emulator's caller may drive: all but 0 and 1, which carry the
// serial line.
constexpr int first_board_pin = command_interpreter::first_digital_pin;
constexpr int last_board_pin = command_interpreter::last_digital_pin;

class pin_model {
public:
    pin_model();

    // Settings, kept across resets and put on the chip by apply().
    void set_analog(int channel, uint32_t millivolts) { millivolts_[channel] = millivolts; dirty_ = true; }
    void set_input(int pin, bool high) { input_[pin] = high; dirty_ = true; }
    uint32_t analog(int channel) const { return millivolts_[channel]; }
    bool input(int pin) const { return input_[pin]; }

    // Puts the settings on the chip's pins (after a change).
    void apply(avr_t *avr);
    // The same after a reset of the chip, which forgets every level.
    void apply_after_reset(avr_t *avr);
    void apply_changes(avr_t *avr)
    {
        if (dirty_)
            apply(avr);
    }

    // -1 while the pin is an input, else its level 0 or 1.
    static int output_level(const avr_t *avr, int pin);
    // The duty that a PWM pin puts out, 0..255: the timer's compare value
    // while the timer drives the pin, else 0 or 255 from its plain level;
    // -1 while the pin is an input.
    static int pwm_duty(const avr_t *avr, int pin);

private:
    uint32_t millivolts_[analog_input_count];
    bool input_[last_board_pin + 1];
    bool dirty_ = true;
};

// What the chip's converter reads for a voltage on its 5 V reference:
// floor(mV x 1024 / 5000), at most 1023.
uint16_t chip_reading(uint32_t millivolts);
// The value to give simavr's converter so that it reads as the chip does:
// simavr scales by 1023 / 5000 where the chip scales by 1024 / 5000, which
// reads one count low for about half of all voltages.
uint32_t simavr_millivolts(uint32_t millivolts);
