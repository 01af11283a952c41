// What boardsim shows: the traffic log lines and the table of the board's
// inputs and outputs.
#pragma once

#include "board_protocol.h"
#include "sim_board.h"

#include <string>
#include <vector>

// Bytes as readable text: printable ASCII as is, \r \n \t \\ \" and \xHH.
std::string escape_bytes(const std::string &bytes);

// One log line (without its newline), e.g.
//   "    12.345  EA0           -> \"512\\r\\n\""
std::string log_line(double t, const std::string &line, line_outcome outcome, const std::string &answer,
                     const std::string &action);

struct traffic_counts {
    long lines = 0, answered = 0, applied = 0, ignored = 0, dropped = 0;
    long lost = 0;  // bytes that came while the board restarted
    // The line and the stream, as the interpreter has them.
    uint32_t rate = 9600;
    bool streaming = false;
    uint32_t frames = 0, frames_dropped = 0;  // of the stream running or last run
};

// What the counters of the table mean, for a line above it.
extern const char counts_legend[];

// The table, one string per line: the traffic counts, the outputs (PWM duty,
// digital levels, "-" for never set), then, with_inputs, the inputs as the
// board reads them at board.now_s.
std::vector<std::string> board_table(sim_board &board, const traffic_counts &counts, bool port_open,
                                     bool with_inputs);
