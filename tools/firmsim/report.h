// What firmsim tells about the board: one line of NAME=VALUE fields that a
// test or a script can read (firmsim --help lists them).
#pragma once

#include "pin_model.h"

#include <cstdint>
#include <string>

struct avr_t;

struct board_status {
    const char *chip = "waiting";  // waiting, starting, running, halted
    bool host_open = false;
    double sim_s = 0;              // chip time since its last start
    uint64_t rx = 0, tx = 0;       // bytes given to and sent by the chip
    uint64_t lags = 0;
};

// avr may be null before the chip first starts: the outputs show as inputs.
std::string report_line(const board_status &status, const pin_model &pins, const avr_t *avr);
