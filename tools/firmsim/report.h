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
    uint32_t baud = 0;             // the rate the firmware set on its UART
    uint64_t lost = 0;             // bytes from the chip the host did not read in time
    uint64_t garbled = 0;          // bytes that crossed between different rates
    uint64_t lags = 0;
    double lag_s = 0;              // simulated time lost to them
};

// avr may be null before the chip first starts: the outputs show as inputs.
std::string report_line(const board_status &status, const pin_model &pins, const avr_t *avr);
