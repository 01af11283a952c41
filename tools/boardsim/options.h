// boardsim's command line.
#pragma once

#include "sim_board.h"

#include <string>

struct boardsim_options {
    std::string link;       // symbolic link to make to the slave ("" for none)
    std::string log;        // traffic log file, "-" for standard output, "" for none
    bool pace = false;      // answer at the speed of the line: 9600 baud, or the rate the driver moved it to
    bool classic = false;   // a classic sketch: the driver's four commands alone
    bool reset = true;      // restart as a board does when a host opens the port
    bool table = true;      // live table of outputs when stdout is a terminal
    bool summary = false;   // outputs seen, printed at exit
    analog_source analog[analog_input_count];
    digital_source digital[digital_pins];
};

// Fills options from argv. Returns -1 to go on, or the exit status to end
// with at once (0 after --help, 2 after an error, reported on stderr).
int parse_options(int argc, char **argv, boardsim_options &options);

// The text of --help.
void print_usage();
