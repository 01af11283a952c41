// The board object behind libarduinoboard's handles: one board's line and
// the reader that owns it, its locks, and what the library knows of the
// board. The reader (board_reader.cpp) is the only one that reads the
// board's descriptor, opens it again or closes it; it sorts every byte that
// comes and hands each answer to the request that waits for it
// (board_exchange.cpp), each frame to the stream (board_stream.cpp). The
// board's start after each open, the fast line and the recovery of a line
// in doubt are its too (board_start.cpp). A request writes its line and
// waits for its own answer (board_requests.cpp).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <thread>
#include <vector>

#include "arduinoboard.h"
#include "board_events.h"
#include "board_wire.h"
#include "board_stream.h"
#include "port_trace.h"
#include "posix/deadline.h"
#include "protocol/board_input.h"
#include "protocol/line_protocol.h"
#include "protocol/scan_answers.h"
#include "serial/kept_port.h"

// After a classic sketch's request got no whole answer, the next one waits
// for the line to stay quiet this long (at most its answer limit): an answer
// up to this late, or the rest of a cut one, is then never taken for it.
constexpr int32_t quiet_line_ms = 250;

// A classic scan's answers, taken a byte at a time as they come.
struct classic_scan_bytes {
    explicit classic_scan_bytes(const std::vector<answer_kind> &kinds) : answers(kinds), arrived(kinds.size()) {}
    scan_answers answers;
    struct arrival {
        int64_t real_ns = 0, monotonic_ns = 0;
    };
    std::vector<arrival> arrived;
};

// An answer a request waits for, and what it got: filled by the reader.
struct awaited_answer {
    enum class kind : uint8_t {
        none,      // a classic sketch's output: nothing comes, the line written is all
        tagged,    // "<value><tag>" (the project's sketch)
        line,      // a classic analog answer: the next line
        byte,      // a classic digital answer: the next byte
        identity,  // the sketch's identity line
        scan,      // a classic scan: every byte to `scan`
    };
    enum class state : uint8_t {
        waiting,
        answered,
        overtaken,  // the board answered a later request first: this one's never comes
        gone,       // the device went away
    };
    // What a tagged answer does to the line, done by the reader as it comes,
    // before it sorts the bytes after it.
    enum class effect : uint8_t { none, starts_stream, ends_stream };

    kind what = kind::tagged;
    char tag = 0;
    effect does = effect::none;
    classic_scan_bytes *scan = nullptr;
    uint64_t sent = 0;  // its line's place among the lines written (0: not written)

    state got = state::waiting;
    board_item item;
    int64_t arrived_ns = 0, arrived_monotonic_ns = 0;
};

// How a request's exchange went.
enum class exchange_outcome {
    answered,
    no_answer,  // nothing right within the limit
    gone,       // no port, or the device went away
    not_sent,   // the device took none (or not all) of the line within its limit
    closing,    // the board is being closed
};

enum class line_state : uint8_t {
    starting,  // the reader is starting the board (after an open, or to mend the line): requests wait
    ready,
    gone,      // no port: requests are AB_NO_PORT at once
};

// What the reader's start does next (board_start.cpp).
enum class start_reason : uint8_t {
    none,
    opened,         // the port opened (the board restarts): wait for it, ask what it is, set the line
    resync,         // the board stopped answering at a fast rate or in a stream: back to 9600, ask again
    restarted,      // the board restarted by itself: the line as asked again
    late_identity,  // the sketch said what it is after it was taken for a classic one
};

struct ab_board {
    // Set by the open, then never changed.
    pid_t owner = 0;  // the process that opened it: a forked child does not use it
    ab_options options{};
    std::string path;
    bool traced = false;  // ARDUINODRV_TRACE named a trace at ab_open

    // One program call on the line at a time: requests, stream start and
    // stop. Stream reads, the link and events never take it.
    std::mutex request_lock;
    // One line written at a time; the port is opened, closed or moved to
    // another rate only with it held too. Taken before the line lock.
    std::mutex write_lock;

    port_trace trace;  // ARDUINODRV_TRACE at ab_open
    std::mutex trace_lock;

    // Everything below; held briefly, never across a wait for the device.
    std::mutex line_lock;
    std::condition_variable changed;  // an answer came, samples came, the state changed

    kept_port port;  // the reader's (the open's before it starts, the close's after it ends)
    board_input input;
    std::vector<awaited_answer *> awaited;
    // Requests that got no answer, oldest first: theirs may still come, so
    // their tags are not used again until a later answer shows it will not.
    struct given_up {
        char tag;  // 0 for a classic request
        uint64_t sent;
    };
    std::deque<given_up> unanswered;
    uint64_t lines_sent = 0;
    char next_tag = 'a';
    bool classic_unsettled = false;  // a classic sketch's request got no whole answer
    int32_t unsettled_at_ms = 0;     // ... when it gave up
    bool line_cut = false;           // the device stopped reading in the middle of the last line (write lock)
    int32_t last_sent_ms = 0;        // when the last line went out
    int32_t last_received_ms = 0;    // when bytes last came
    uint64_t received_bytes = 0;
    uint64_t bad_frames_told = 0;

    line_state state = line_state::starting;
    start_reason start_due = start_reason::opened;
    bool started_once = false;  // the first start (ab_open's) is done
    deadline restarted{};       // the board restarts when its port opens: no command before this passed
    int32_t opened_ms = 0;
    sketch_identity sketch;     // what its sketch said it can do
    sketch_identity late_sketch;
    int32_t baud = 9600;        // the rate both ends agreed on
    bool doubt = false;         // a request got no answer: the reader asks the board at once
    // Seen while the start asks the sketch what it is: bytes that are no
    // answer at 9600 (a board at another rate, or streaming).
    bool noise_seen = false;
    // The board's uptime as it last told it, and when (elapsed_ms).
    bool uptime_known = false;
    uint32_t uptime_ms = 0;
    int32_t uptime_at_ms = 0;
    // The stream running or last run; shared with the readers waiting on it.
    std::shared_ptr<board_stream> stream;
    std::shared_ptr<board_stream> asked_stream;  // asked for: the stream once the board agrees
    ab_link link{};
    std::atomic<bool> stopping = false;  // the reader ends

    // The reader's own request that keeps the line (and learns the uptime).
    awaited_answer keep;
    bool keep_pending = false;
    deadline keep_deadline{};
    int keep_misses = 0;

    board_events events;
    int wake_fd = -1;  // wakes the reader
    std::thread reader;

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
// board's request lock (board_requests.cpp, board_stream.cpp).
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

// The status of a port that did not open, from the system's error.
ab_status status_of_open_failure(int error);

// The exchange (board_exchange.cpp). Lock order: request lock, write lock,
// line lock.

// Waits until the board is ready for a request: the reader's start done,
// the port open. AB_OK, or why not (closing, no port); the line lock held.
board_result wait_ready(ab_board &board, std::unique_lock<std::mutex> &lock);
// Whether a request answered by `kind` (a line or a byte) must carry a tag
// now (line lock held): with the project's sketch, while a stream runs, or
// while an earlier answer may still come that the classic answer could be
// taken for (a classic one before a line; any before a byte, which is
// taken whatever it is). When every request had its answer none can come
// late, and the classic form is the shortest.
bool tags_needed(const ab_board &board, awaited_answer::kind kind);
// Writes the line of `command` for `answer` and goes on: the reader's own
// requests, which it collects as it sorts (`answer` stays awaited until
// withdraw()). False when it could not go now (another line is being
// written, no tag is free, no port).
bool post(ab_board &board, const std::string &command, awaited_answer &answer);
// Takes an answer out of those awaited; one that got nothing is noted, for
// what may still come (line lock held).
void withdraw(ab_board &board, awaited_answer &answer, bool on_reader);
// Writes `line` and waits for `answer` up to limit_ms, on a program's
// thread while the reader sorts (on_reader: on the reader's own thread,
// which sorts as it waits). A tagged answer with no tag gets the next free
// one, and `line` is then `command` followed by it and the line end.
exchange_outcome exchange(ab_board &board, const std::string &command, awaited_answer &answer, int32_t limit_ms,
                          bool on_reader = false);
// Waits, line lock held, until no byte has come for quiet_ms since
// `since_ms` (elapsed_ms: a request that gave up), at most limit_ms.
void wait_quiet(ab_board &board, std::unique_lock<std::mutex> &lock, int32_t quiet_ms, int32_t limit_ms,
                int32_t since_ms);

// The reader (board_reader.cpp).
bool start_reader(ab_board &board);
void stop_reader(ab_board &board);
void wake_reader(ab_board &board);
// On the reader: sleeps in poll() until bytes come (and sorts them), the
// deadline passes, the reader is woken or the device goes.
void pump(ab_board &board, const deadline &until);
// On the reader: sorts what already waits in the device, without waiting.
void take_waiting(ab_board &board);
// Gives each piece the input holds to what waits for it (line lock held).
void sort_input(ab_board &board);
// Notes a new open of the board's port: the board restarts now (line lock held).
void note_open(ab_board &board);
// The board restarted: its outputs are off, its stream gone (line lock held).
void note_restart(ab_board &board, const char *why);
// The line moved to `baud` (both ends; write and line locks held).
void note_rate(ab_board &board, int32_t baud);
// Ends the stream host-side with `status` (line lock held).
void end_stream(ab_board &board, ab_status status, const std::string &why);

// The start after each open, and the line's repair (board_start.cpp), run
// by the reader.
void run_start(ab_board &board, start_reason reason);
// Judges the uptime the board told in `answer` (line lock held): a board
// whose clock went back restarted.
void note_uptime(ab_board &board, const std::string &value, bool judge);

// The trace's line for an event, when tracing (takes the trace lock).
void trace_board(ab_board &board, const char *event, std::string_view details = {});
