// The requests' traffic with the board on the driver's port: the line
// protocol's one home on the host's side. A request passes its bare command
// ("EA3"); the exchange frames the line and has one of three shapes:
//  - exchange_command (analog inputs): pause 9 ms, drain what waits, write
//    the command line and one more CR, pause 1 ms, read one answer line;
//  - exchange_byte (the digital input): drain, write the line, take one
//    answer byte;
//  - send_command (the outputs): write the line, read nothing.
// Every line goes out whole or not at all (see send_command), and every wait
// sleeps until its byte or its limit.
#pragma once

#include <cstdint>
#include <string>

#include "protocol/line_protocol.h"

// Returns the answer line without spaces at its ends (empty when none came).
std::string exchange_command(const std::string &command);

// exchange_byte's result when no answer byte came within answer_limit_ms.
constexpr int32_t no_answer_byte = -1;

// The first answer byte (0 to 255) that is not a CR or LF: a line end can
// only be the tail of an earlier answer still on its way.
int32_t exchange_byte(const std::string &command);

// Writes the command's whole line: waits for room while the device's buffer
// is full (a fast host is held to the line's pace), up to
// command_write_limit_ms; a line that finds no room in that time is dropped
// whole, and one the device has begun to take gets as long again for its
// rest. A piece left by a device that stopped reading in the middle of a
// line is ended by a CR before the next line. The number of bytes sent.
int32_t send_command(const std::string &command);
