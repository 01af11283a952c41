// The serial line to the board, as one fact: the settings each program opens
// it with, and the devices a board may appear as.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The arguments of open_port that describe the line (see serial_port.h for
// what each one means).
struct line_settings {
    int32_t baud;
    int32_t parity;  // accepted and unused: the line never has parity
    int32_t data_bits;
    float stop_bits;
    int32_t handshake;
    int32_t input_buffer_size;  // accepted and unused
    int32_t output_buffer_size;  // accepted and unused
};

// The line the board's sketch speaks: 9600 baud, 8 data bits, one stop bit,
// no parity, no flow control.
constexpr line_settings driver_line{9600, 0, 8, 1.0f, 0, 1024, 1024};
// The port lister's line. The lister itself only opens and closes each
// candidate (device_opens), so that a device another program is using keeps
// its settings.
constexpr line_settings portlist_line{38400, 256, 8, 1.0f, 0, 1024, 1024};

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

int32_t open_port_with(int32_t id, const char *path, const line_settings &line);
int32_t keep_port_open_with(int32_t id, const char *path, const line_settings &line, bool exclusive);
