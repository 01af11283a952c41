// What the board object's tests share: a board on a fake one, opened with
// short limits (a fake board needs no start), and a stopwatch.
#pragma once

#include <chrono>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string>
#include <thread>
#include <unistd.h>

#include "arduinoboard.h"
#include "elapsed.h"
#include "fake_board.h"
#include "serial/line_rate.h"

// Options for a fake board: no restart to wait for, a short answer limit.
inline ab_options fake_board_options(int timeout_ms = 300)
{
    ab_options options;
    ab_default_options(&options);
    options.timeout_ms = timeout_ms;
    options.start_ms = 0;
    return options;
}

// A board object on `board`, closed at the end of the scope. What the open
// sent (its question to the sketch) is cleared from what the board received.
class open_board {
public:
    open_board(fake_board &board, const ab_options &options)
    {
        status = ab_open(board.link_path().c_str(), &options, &handle);
        board.clear_received();
    }
    explicit open_board(fake_board &board) : open_board(board, fake_board_options()) {}
    ~open_board() { ab_close(handle); }
    open_board(const open_board &) = delete;
    open_board &operator=(const open_board &) = delete;

    ab_board *operator*() const { return handle; }

    ab_status status = AB_BAD_ARGUMENT;
    ab_board *handle = nullptr;
};

// The reading of analog input `channel`, or its status when it failed.
struct analog_result {
    ab_status status;
    ab_reading reading;
};
inline analog_result read_analog(ab_board *board, int channel)
{
    analog_result result{};
    result.status = ab_read_analog(board, channel, &result.reading);
    return result;
}

inline ab_link link_of(ab_board *board)
{
    ab_link link{};
    EXPECT_EQ(ab_link_state(board, &link), AB_OK);
    return link;
}

// Milliseconds `call` took, on the steady clock.
template <typename F> long long ms_taken(F &&call)
{
    const auto start = std::chrono::steady_clock::now();
    call();
    return ms_between(start, std::chrono::steady_clock::now());
}

// Generous upper bound for a call that ends by a time limit: the machine is
// shared, and the tests may run under an emulator and sanitizers.
constexpr long long slow_machine_ms = 5000;

// Whether this system gives a line any rate (termios2, which qemu-i386
// lacks): where it cannot, no line moves and the fast line cannot be seen.
inline bool lines_can_move()
{
    const int fd = posix_openpt(O_RDWR | O_NOCTTY);
    const bool can = fd >= 0 && descriptor_rate(fd) != 0;
    if (fd >= 0)
        close(fd);
    return can;
}

// Waits until `done()` holds, at most timeout_ms, looking every 10 ms; what
// it last said.
template <typename predicate> bool eventually(predicate done, int timeout_ms = 10000)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end)
            return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}
