// Opening and closing board objects (board_open.cpp).
#pragma once

#include <string>
#include <vector>

#include "board_object.h"

// Where the system's /sys and /dev are for ab_open(NULL): "" for the real
// ones; a folder of the build tree in the tests' builds.
extern const char *const board_system_root;

void default_options(ab_options &options);

// Opens the board on `port` (null or "auto": the one likely device) and
// waits for its start; `opened` is null unless the result is AB_OK. May
// throw std::bad_alloc.
board_result open_board(const char *port, const ab_options *options, ab_board *&opened);

// Closes a board ab_open gave, once no call uses it; nothing for one that is
// not open.
void close_board(ab_board *board);
