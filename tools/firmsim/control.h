// The commands firmsim takes on standard input while it runs.
#pragma once

#include <string>

enum class control_kind { none, set_analog, set_input, halt, run, speed, report, help, quit, bad };

struct control_command {
    control_kind kind = control_kind::none;  // none: an empty line
    int index = 0;        // analog channel or pin
    long value = 0;       // millivolts or level
    double speed = 1;     // 0 for max
    std::string error;    // for bad
};

control_command parse_control(const std::string &line);

extern const char control_help[];
