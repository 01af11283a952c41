// The parts of board_bench beyond the read of one input and the 16 boards
// (board_bench.cpp), each in a file of its own: every input in one ab_scan
// against the 71 exports' requests one after another
// (board_bench_scan.cpp), and streams timed by the board, read through
// ab_stream_* (board_bench_stream.cpp). Each runs the sketch's firmware on
// firmsim at real time, prints its figures and returns false when it could
// not measure.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "arduinoboard.h"

// The board on `link` (the default options when null), or null once the
// reason is on standard error: a turn that gets none cannot measure.
inline ab_board *open_bench_board(const std::string &link, const ab_options *options = nullptr)
{
    ab_board *board = nullptr;
    if (ab_open(link.c_str(), options, &board) == AB_OK)
        return board;
    std::fprintf(stderr, "board_bench: ab_open: %s\n", ab_last_error());
    return nullptr;
}

// The defaults on the 9600-baud line: the turns that set the board object
// beside a bare 9600-baud request, or beside the 71 exports, keep to it.
inline ab_options slow_line_options()
{
    ab_options options;
    ab_default_options(&options);
    options.baud = 9600;
    return options;
}

// Runs a program and gives its standard output once it has ended, and its
// exit status (-1 when it did not run or was killed).
int run_program(const std::vector<std::string> &arguments, std::string &out);
// board_bench.py's exit status when pyserial is missing.
constexpr int no_pyserial = 3;

// `rounds` rounds of a turn each way, `reads` timed reads of the ten
// inputs a turn.
bool run_scan_bench(const std::string &folder, int rounds, int reads);

struct stream_bench_settings {
    int32_t baud = 1000000;    // the fast line the streams run on
    double seconds = 60;       // the stream of the six analog inputs at 1 kHz
    double step_seconds = 5;   // each interval of the single input's stream
};
bool run_stream_bench(const std::string &folder, const stream_bench_settings &settings);

// The line's owner where its users see it (board_bench_requests.cpp): in
// `rounds` rounds of `calls` requests a turn, the board object's one-shot
// reads (its default fast line, and 9600) and scans against bare requests
// at 9600, 57600 and 1000000 baud, on the sketch's firmware and on a paced
// boardsim; a stream of six inputs at 1 kHz for `seconds` with a request
// every 10 ms beside it; 64 boards opened at once beside a busy loop.
bool run_requests_bench(const std::string &folder, int rounds, int calls, double seconds);
