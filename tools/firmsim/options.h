// firmsim's command line.
#pragma once

#include "pin_model.h"

#include <cstdio>
#include <string>

struct firmsim_options {
    std::string firmware;       // the .hex or .elf to run
    std::string link;           // symbolic link to make to the slave ("" for none)
    double speed = 1;           // simulated seconds per wall second; 0: as fast as possible
    double start_delay_ms = 500;  // from the host's open to the chip's start
    pin_model pins;             // the inputs at start
};

constexpr double longest_start_delay_ms = 60000;

// Exit statuses, documented in the usage text.
enum firmsim_status {
    status_stopped = 0,      // ended by a signal or "quit"
    status_failure = 1,      // no pseudo-terminal, no link
    status_usage = 2,        // bad command line
    status_bad_firmware = 3, // missing, unreadable or not an AVR image
    status_chip_stopped = 4, // the firmware halted or crashed the chip
};

// Fills options from argv. Returns -1 to go on, or the exit status to end
// with at once (0 after --help, 2 after an error, reported on stderr).
int parse_options(int argc, char **argv, firmsim_options &options);

// Parses a speed: a positive factor, or "max" (0).
bool parse_speed(const std::string &text, double &speed);

extern const char firmsim_usage[];

// The example of the usage text, with paths that exist on this machine.
struct firmsim_example {
    std::string link, firmware, shell;
};
firmsim_example example_paths();
void print_usage(FILE *to);
