// The serial line to the board, as one fact: the settings it is opened with,
// how long the board takes to start, and the devices a board may appear as.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "serial/line_settings.h"

// The line the board's sketch speaks: 9600 baud, 8 data bits, one stop bit,
// no parity, no flow control.
constexpr line_settings driver_line{9600, 8, stop_bits::one, handshake::none};

// The same line as a board object opens it: its reader takes every byte as
// it comes, and a stream's frames hold any byte, a CR too.
constexpr line_settings owned_line{driver_line.baud, driver_line.data_bits, driver_line.stop, driver_line.flow, false};

// The board restarts when its port opens and needs this long to start its
// sketch: nothing is sent to it before.
constexpr int32_t board_start_ms = 2000;

// The device families a board appears as, and the numbers tried in each:
// ttyUSB0 to ttyUSB20, then ttyACM0 to ttyACM20.
constexpr const char *candidate_families[] = {"ttyUSB", "ttyACM"};
constexpr int32_t first_candidate_number = 0;
constexpr int32_t last_candidate_number = 20;

// The paths of every candidate device under `folder`, in the order above.
std::vector<std::string> candidate_paths(const char *folder);

// True when `name` is a family followed by decimal digits ("ttyACM3"), in
// or beyond the range tried.
bool is_candidate_family_name(const std::string &name);
