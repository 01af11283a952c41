// Small tools shared by the request tests: scripted answers, the driver's
// side of the line as the test sees it, and a stopwatch.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "fake_board.h"

// Answers every command line with `bytes` after `delay_ms`; the empty line of
// an exchange's second CR gets nothing.
inline std::function<board_reply(const std::string &)> answer_all(const std::string &bytes, int delay_ms = 0)
{
    return [bytes, delay_ms](const std::string &line) {
        return line.empty() ? board_reply{} : board_reply{bytes, delay_ms};
    };
}

// Bytes waiting to be read on the driver's side of the line. The test's own
// descriptor of the slave shares the driver's input queue.
inline int waiting_for_driver(const fake_board &board)
{
    int count = 0;
    if (ioctl(board.slave_fd(), FIONREAD, &count) != 0)
        return -1;
    return count;
}

// Waits until at least `count` bytes wait for the driver; false on timeout.
// Edge-triggered, the slave wakes the wait at each arrival, not only once.
inline bool wait_waiting_for_driver(const fake_board &board, int count, int timeout_ms)
{
    const int watch = epoll_create1(EPOLL_CLOEXEC);
    epoll_event arrival{};
    arrival.events = EPOLLIN | EPOLLET;
    epoll_ctl(watch, EPOLL_CTL_ADD, board.slave_fd(), &arrival);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    bool enough;
    while (!(enough = waiting_for_driver(board) >= count)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() < 0)
            break;
        epoll_wait(watch, &arrival, 1, static_cast<int>(left.count()) + 1);
    }
    close(watch);
    return enough;
}

// Milliseconds that `call` took.
template <typename F> double time_ms(F &&call)
{
    const auto start = std::chrono::steady_clock::now();
    call();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// Generous upper bound for a request that ends by its time limits: the
// machine is shared and the tests may run under an emulator and sanitizers.
constexpr double slow_machine_bound_ms = 15000.0;
