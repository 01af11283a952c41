// The board's channels: how many of each kind, the pin behind each, and the
// command that reads or sets one. The sketch, the library's two interfaces
// and the tools that play a board all count channels this way.
#pragma once

#include <cstdint>
#include <string>

// Analog inputs are the converter's channels 0-5 (pins A0-A5), read by number.
constexpr int32_t analog_input_count = 6;

// Pins of the other kinds, by channel.
constexpr int32_t digital_input_pins[] = {2, 4, 7, 8};
constexpr int32_t pwm_output_pins[] = {3, 5, 6, 9};
constexpr int32_t digital_output_pins[] = {10, 11, 12, 13};
constexpr int32_t channels_of_each_kind = 4;

// The board's raw analog reading: its converter has 10 bits, and a reading
// is in volts raw x 5 / 1024 (1024 steps of 5 V / 1024 each).
constexpr int32_t highest_analog_reading = 1023;
constexpr double analog_full_scale_volts = 5.0;
constexpr double analog_reading_steps = 1024.0;
// A PWM output's duty, 0 (off) to 255 (always on).
constexpr int32_t highest_pwm_duty = 255;

// The pin of `channel` in `pins`, or 0 for a channel the board lacks.
constexpr int32_t pin_of_channel(const int32_t (&pins)[channels_of_each_kind], int32_t channel)
{
    return channel >= 0 && channel < channels_of_each_kind ? pins[channel] : 0;
}

// The commands, without their line end ("EA3", "EB2", "SA3255", "SBA1").
// Numbers are written in decimal, a digital output's pin as one upper-case
// hexadecimal digit.
std::string analog_input_command(const std::string &channel_text);
std::string digital_input_command(int32_t pin);
std::string pwm_output_command(int32_t pin, int32_t duty);
std::string digital_output_command(int32_t pin, bool on);

// A pin as one upper-case hexadecimal digit ("A" for 10); empty outside 0
// to 15.
std::string pin_code(int32_t pin);
