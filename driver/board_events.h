// A board's events (attached, detached, restarted, rate changed, stream
// ended): a queue the reader fills and the program empties, and a
// descriptor that is readable while the queue holds any, for a program
// that polls.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

#include "arduinoboard.h"

class board_events {
public:
    // The queue holds this many; beyond, the oldest goes and the next one
    // taken says how many went.
    static constexpr size_t kept = 256;

    // False when no descriptor could be had.
    bool open();
    // Closes the descriptor (after the reader ended).
    void close();

    int descriptor() const { return fd_; }

    // Adds an event, timed now.
    void add(ab_event_kind kind, int32_t value);

    // The oldest event, waiting up to `timeout` for one; kind AB_EVENT_NONE
    // when none came. `woken` is checked while waiting (the board closing).
    template <typename predicate> ab_event next(std::chrono::milliseconds timeout, predicate woken);
    // Wakes every wait (the board is closing).
    void wake_all();

private:
    ab_event take_locked();

    std::mutex lock_;
    std::condition_variable added_;
    std::deque<ab_event> queue_;
    uint64_t missed_ = 0;
    int fd_ = -1;
};

template <typename predicate> ab_event board_events::next(std::chrono::milliseconds timeout, predicate woken)
{
    std::unique_lock<std::mutex> lock(lock_);
    added_.wait_for(lock, timeout, [&] { return !queue_.empty() || woken(); });
    return take_locked();
}
