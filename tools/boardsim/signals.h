// What the emulated board's inputs show over time: each analog channel and
// each digital pin follows a source given on the command line.
#pragma once

#include <cstdint>
#include <string>

#include "protocol/board_channels.h"

enum class analog_kind { constant, sine, ramp, noise };

// Readings are in the board's raw range, 0..highest_analog_reading.
constexpr double analog_full_scale = highest_analog_reading;

struct analog_source {
    analog_kind kind = analog_kind::constant;
    double level = 0;     // constant value, sine middle, ramp start, noise middle
    double span = 0;      // sine amplitude, ramp end, noise amplitude
    double period_s = 1;  // sine and ramp
};

enum class digital_kind { constant, square };

struct digital_source {
    digital_kind kind = digital_kind::constant;
    bool level = false;   // constant level
    double period_s = 1;  // square wave: high for the first half of each period
};

// Parses "512", "const:512", "sine:MID:AMP:PERIOD", "ramp:FROM:TO:PERIOD",
// "noise:MID:AMP". A PERIOD is a duration with its unit, more than zero.
// False, with the reason in error, on anything else.
bool parse_analog_source(const std::string &text, analog_source &source, std::string &error);

// "" when every value of the source lies in the board's range; else what
// the board reads instead, for a warning.
std::string clamp_warning(const analog_source &source);

// Parses "0", "1", "square:PERIOD".
bool parse_digital_source(const std::string &text, digital_source &source, std::string &error);

// The reading at t seconds after start; noise draws from random_state.
uint16_t analog_value(const analog_source &source, double t, uint32_t &random_state);
bool digital_value(const digital_source &source, double t);

// Short description for the table, e.g. "sine 512±400/2s".
std::string describe(const analog_source &source);
std::string describe(const digital_source &source);
