// The requests' traffic with the board on the driver's port. A request has
// one of three shapes:
//  - exchange_command (analog inputs): pause 9 ms, drain what waits, write
//    the command and one more CR, pause 1 ms, read one answer line;
//  - exchange_byte (the digital input): drain, write the line, take one
//    answer byte;
//  - send_command (the outputs): write the line, read nothing.
// Every line goes out whole or not at all (see send_command), and every wait
// sleeps until its byte or its limit.
#pragma once

#include <cstdint>
#include <string>

// How long an answer may take, from the start of the wait, in milliseconds.
constexpr int32_t answer_limit_ms = 1000;
// How long a command line may wait for room in a full device.
constexpr int32_t command_write_limit_ms = 1000;

// Returns the answer line without spaces at its ends (empty when none came).
std::string exchange_command(const std::string &command);

// The answer line: the bytes up to the first CR or LF, zero bytes dropped,
// gathered for at most answer_limit_ms. CR and LF that come before the
// line's first byte end an earlier answer and are skipped. A port that is
// not open, or a device gone, gives the empty line once the limit passed.
std::string read_answer_line();

// exchange_byte's result when no answer byte came within answer_limit_ms.
constexpr int32_t no_answer_byte = -1;

// The first answer byte (0 to 255) that is not a CR or LF: a line end can
// only be the tail of an earlier answer still on its way.
int32_t exchange_byte(const std::string &line);

// Writes a whole command line: waits for room while the device's buffer is
// full (a fast host is held to the line's pace), up to
// command_write_limit_ms; a line that finds no room in that time is dropped
// whole, and one the device has begun to take gets as long again for its
// rest. A piece left by a device that stopped reading in the middle of a
// line is ended by a CR before the next line. The number of bytes sent.
int32_t send_command(const std::string &line);

// Discards the bytes waiting on the driver's port. Bounded in time, so a
// board that never stops sending cannot hang the host.
void drain_port();
