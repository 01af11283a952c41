// A board played by the test on the master side of a pseudo-terminal. The
// library opens the slave through a symbolic link in the test's device
// folder, exactly as it opens /dev/ttyUSB0 on a real machine.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "board_protocol.h"
#include "line_pace.h"
#include "pty_pair.h"

// What a board running the sketch reads on its inputs and has set on its
// outputs, indexed by analog channel or by pin.
struct sketch_pins {
    uint16_t analog[8] = {};
    bool input_high[14] = {};
    int pwm_duty[14] = {};    // -1 until the driver sets it
    int output_level[14] = {};  // -1 until the driver sets it
    sketch_pins()
    {
        for (int &duty : pwm_duty)
            duty = -1;
        for (int &level : output_level)
            level = -1;
    }
};

// The lines of what a board received, each with its CR; a last piece
// without one as it is.
std::vector<std::string> command_lines(const std::string &bytes);

struct board_reply {
    std::string bytes;     // sent back to the driver ("" for silence)
    int delay_ms = 0;      // after the command line arrived
    // Then these pieces, each at its own delay after the command line
    // arrived (an answer split across a limit).
    std::vector<std::pair<std::string, int>> later = {};
};

class fake_board {
public:
    // Makes the pty and the link <folder>/<name>. The test keeps a descriptor
    // of the slave open too, so the driver closing its port does not hang up
    // the line; hang_up() closes the master to play a board that vanishes.
    fake_board(const std::string &folder, const std::string &name);
    ~fake_board();
    fake_board(const fake_board &) = delete;
    fake_board &operator=(const fake_board &) = delete;

    const std::string &link_path() const { return link_; }
    const std::string &slave_path() const { return pty_.path; }
    int slave_fd() const { return pty_.slave; }

    // Answers each command line (the bytes before a CR; empty lines too) with
    // what the responder returns (replaces any sketch). Without a responder
    // the board is silent.
    void respond_with(std::function<board_reply(const std::string &line)> responder);

    // Answers every byte as the sketch does, with the sketch's own command
    // interpreter, reading and setting `pins` (replaces any responder): the
    // project's sketch with its extensions by default, or a classic one. Its
    // clock is the test's steady clock from this call (a fresh start, at
    // 9600, what an earlier sketch had not yet sent lost): a stream's frames go at their ticks, and the rate it moves to
    // paces the line when pace_like_line is on. Its serial buffer holds 63
    // bytes not yet on the line, so a stream the line cannot carry, or a
    // driver that does not read, loses whole frames as the board does.
    void answer_as_sketch(const sketch_pins &pins, sketch_kind kind = sketch_kind::extended);
    sketch_pins pins();
    // What the inputs read from now on; the sketch runs on (no restart).
    void set_inputs(const sketch_pins &pins);
    // Whether the sketch is streaming now.
    bool sketch_streaming();
    // The sketch's line rate now: 9600 until the driver moves it. While it
    // differs from the rate the driver set its end to, every byte between
    // them arrives as junk (0xF0), either way, as on a real line.
    uint32_t sketch_line_rate();
    // Each piece the sketch sends (one answer, or one stream frame) passes
    // through `filter` before it goes on the line: a test damages, cuts or
    // drops it ("" sends nothing). Kept until answer_as_sketch; nullptr ends it.
    // It runs on the board's thread with the board locked: it must not call
    // the board.
    void filter_sketch_output(std::function<std::string(const std::string &piece)> filter);
    // Holds each piece the sketch sends (after the filter) for the
    // milliseconds `delay` says (0: none): a late answer. What the sketch
    // sends after it waits behind it, as on a real line. Kept until
    // answer_as_sketch; nullptr ends it. Runs as the filter does.
    void delay_sketch_output(std::function<int(const std::string &piece)> delay);

    // Plays a board on a line of `baud` (10 bits a character, 0 for no
    // line at all): each byte the board sends reaches the driver one
    // character time after the one before, the LF of a CR LF one character
    // after the CR, and the board takes what the driver writes no faster
    // than the line carries it, so the device's buffer fills as a real one
    // does. Without it the board answers at once and reads without limit.
    // The sketch's moves (XB) change the pace once their answer has crossed;
    // a restart (answer_as_sketch) brings back this one.
    void pace_like_line(int baud = 9600);

    // Sends bytes as if the board wrote them unasked, after every answer
    // still on its way; returns once they are on the line (or the board
    // hung up). Blocks while the driver's side of the line is full.
    void send(const std::string &bytes);

    // Everything the driver wrote so far, byte for byte.
    std::string received();
    void clear_received();
    // Waits until at least `count` bytes were received; false on timeout.
    bool wait_received(size_t count, int timeout_ms);

    void hang_up();

private:
    using clock = std::chrono::steady_clock;
    struct outgoing {
        clock::time_point ready_at;  // not on the line before
        std::string bytes;
        uint64_t number;             // for send() to see its chunk gone
        uint32_t new_rate = 0;       // no bytes: the line moves to this rate here
    };

    void serve();
    void take(const char *bytes, size_t count);
    void queue(std::string bytes, clock::time_point ready_at, uint32_t new_rate = 0);
    void wake();
    void set_pace(int baud);
    bool rates_apart() const;
    void sketch_sends(clock::time_point now);
    std::optional<clock::time_point> run_sketch_clock(clock::time_point now);

    std::string link_;
    pty_pair pty_;  // the master is closed (and -1) once the board hung up
    int wake_pipe_[2] = {-1, -1};
    std::mutex mutex_;
    std::condition_variable arrived_, sent_;
    bool stopping_ = false, hang_up_asked_ = false;
    line_pace<clock::time_point> to_driver_, from_driver_;  // no pace until asked
    int paced_baud_ = 0;
    uint32_t line_rate_ = 9600;  // the sketch's end of the line, as its bytes go now
    std::deque<outgoing> outgoing_;
    uint64_t queued_count_ = 0, sent_count_ = 0;
    std::string received_;
    std::string line_;
    std::function<board_reply(const std::string &)> responder_;
    std::function<std::string(const std::string &)> sketch_filter_;
    std::function<int(const std::string &)> sketch_delay_;
    struct sketch;
    std::unique_ptr<sketch> sketch_;
    std::thread thread_;
};
