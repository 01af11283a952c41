// A board played by the test on the master side of a pseudo-terminal. The
// library opens the slave through a symbolic link in the test's device
// folder, exactly as it opens /dev/ttyUSB0 on a real machine.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

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

struct board_reply {
    std::string bytes;     // sent back to the driver ("" for silence)
    int delay_ms = 0;      // after the command line arrived
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
    const std::string &slave_path() const { return slave_; }
    int slave_fd() const { return slave_fd_; }

    // Answers each command line (the bytes before a CR; empty lines too) with
    // what the responder returns. Without a responder the board is silent.
    void respond_with(std::function<board_reply(const std::string &line)> responder);

    // Answers every byte as the sketch does, with the sketch's own command
    // interpreter, reading and setting `pins` (replaces any responder).
    void answer_as_sketch(const sketch_pins &pins);
    sketch_pins pins();

    // Sends bytes now, as if the board wrote them unasked.
    void send(const std::string &bytes);

    // Everything the driver wrote so far, byte for byte.
    std::string received();
    void clear_received();
    // Waits until at least `count` bytes were received; false on timeout.
    bool wait_received(size_t count, int timeout_ms);

    void hang_up();

private:
    void serve();

    std::string link_, slave_;
    int master_fd_ = -1, slave_fd_ = -1;
    int stop_pipe_[2] = {-1, -1};
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::string received_;
    std::string line_;
    std::function<board_reply(const std::string &)> responder_;
    struct sketch;
    std::unique_ptr<sketch> sketch_;
    std::thread thread_;
};
