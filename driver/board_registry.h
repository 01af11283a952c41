// The boards a program has open. A handle the program holds is a number the
// registry gave, never reused while the process lives (not the board's
// address, which the memory of a board opened later may take): a call finds
// its board here before it touches it, so a board being closed, or one
// already closed, is refused instead of used after its memory is gone;
// ab_close waits here until no call uses the board.
#pragma once

#include "board_object.h"

// Adds an open board; the handle the program gets for it.
ab_board *register_board(ab_board *board);

// Removes the board of `handle` and marks it closing, so no call starts to
// use it and calls waiting for it turn back; returns it, or null when the
// handle names no board.
ab_board *unregister_board(const ab_board *handle);

// Waits until no call uses the board unregistered. In a forked child the
// parent's calls are not waited for (they do not run there).
void wait_until_unused(ab_board *board);

// A call's use of a board: found among the registered ones, not closing, and
// kept from being freed until the use ends.
class board_use {
public:
    explicit board_use(const ab_board *handle);
    ~board_use();
    board_use(const board_use &) = delete;
    board_use &operator=(const board_use &) = delete;

    // Registered and not closing.
    bool found() const { return board_ != nullptr; }
    // Opened by this process, not by a parent before a fork.
    bool ours() const;
    ab_board &board() const { return *board_; }

private:
    ab_board *board_ = nullptr;
};
