// The board object behind libarduinoboard's handles: one board's port and
// line, its lock, and what the library knows of its link. Its requests
// (board_requests.cpp) run on the same exchange as the 71 exports, without
// their pauses.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>

#include "arduinoboard.h"
#include "exchange.h"
#include "port_trace.h"
#include "posix/deadline.h"
#include "protocol/line_protocol.h"

// After a request that got no whole answer, the next one waits for the line
// to stay quiet this long (at most its answer limit) before it asks.
constexpr int32_t quiet_line_ms = 250;

struct ab_board {
    // Set by the open, then never changed.
    pid_t owner = 0;  // the process that opened it: a forked child does not use it
    ab_options options{};
    std::string path;

    // One request at a time on the line; held for the whole request.
    std::mutex request_lock;
    line_exchange exchange;
    port_trace trace;  // ARDUINODRV_TRACE at ab_open; the exchange's when open
    uint64_t seen_opens = 0;  // the port's opens when the board last looked
    deadline restarted{};     // the board restarts when its port opens: no command before this passed
    sketch_identity sketch;   // what its sketch said it can do after the last open
    uint16_t next_tag = 0;    // the next tagged request's
    // The stream running, if any (board_stream.h); its samples are read
    // without the request lock.
    std::shared_ptr<class board_stream> stream;

    // What ab_link_state tells; changed and read under state_lock alone, so
    // reading it never waits for a request.
    std::mutex state_lock;
    ab_link link{};

    // The calls using the board, guarded by the registry's lock
    // (board_registry.cpp); closing is set there too, and read by requests
    // that waited for the board's lock.
    int users = 0;
    std::atomic<bool> closing = false;
};

// How a request on a board ended: its status and, when it failed, why.
struct board_result {
    ab_status status = AB_OK;
    std::string why;  // for ab_last_error; "" with AB_OK
};

// The requests, on a board the caller may use (registered, not closing,
// this process's) with channel and value already checked. Each takes the
// board's request lock.
board_result read_analog(ab_board &board, int32_t channel, ab_reading &reading);
board_result read_digital(ab_board &board, int32_t channel, ab_reading &reading);
board_result write_pwm(ab_board &board, int32_t channel, int32_t duty);
board_result write_digital(ab_board &board, int32_t channel, bool on);
board_result scan(ab_board &board, ab_scan_result &result);
board_result stream_start(ab_board &board, unsigned analog_mask, unsigned digital_mask, int32_t interval_us);
board_result stream_read(ab_board &board, ab_sample *samples, size_t max, int timeout_ms, size_t *count);
board_result stream_stop(ab_board &board);
// Masks that name only inputs the board has.
bool stream_masks_valid(unsigned analog_mask, unsigned digital_mask);

// The port open, the board started (waiting out its restart after a reopen)
// and no stream running, or why not; called with the request lock held.
board_result ready(ab_board &board);

// Sends `command` and reads lines until `wanted` (bool(const std::string &))
// takes one, within limit_ms (board_start.cpp).
template <typename taker> bool ask(ab_board &board, const std::string &command, int32_t limit_ms, taker wanted);

// The status of a port that did not open, from the system's error.
ab_status status_of_open_failure(int error);

// Notes a new open of the board's port (the first or a reopen): the board
// restarts now, with every output off. Takes the state lock.
void note_open(ab_board &board);

// Once the board has started after an open: asks what its sketch can do,
// and moves the line to the rate the options ask for when it can
// (board_start.cpp).
void start_sketch(ab_board &board);

template <typename taker> bool ask(ab_board &board, const std::string &command, int32_t limit_ms, taker wanted)
{
    line_exchange &exchange = board.exchange;
    exchange.settle(0, board.options.timeout_ms);
    if (exchange.send_line(command_line(command)) == 0 || exchange.line_cut())
        return false;
    answer_line line;
    return exchange.receive(deadline_after(limit_ms), [&](char byte) {
               if (!line.take(byte))
                   return false;
               if (wanted(line.text()))
                   return true;
               line = answer_line();
               return false;
           }) == answer_outcome::answered;
}
