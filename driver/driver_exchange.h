// The 71 exports' traffic with the board: one exchange on the driver's
// port, with the original's pauses and neutral results.
#pragma once

#include <cstdint>
#include <string>

#include "exchange.h"

// The 71 exports' exchange, on the driver's port.
extern line_exchange driver_exchange;

// Analog inputs: pause 9 ms, drain what waits, write the command line and
// one more CR, pause 1 ms, read one answer line. Returns the answer line
// without spaces at its ends (empty when none came). Without a port, or
// with the device gone, it still takes the whole answer limit, so a host
// polling an unplugged board is paced as by a silent one.
std::string exchange_command(const std::string &command);

// exchange_byte's result when no answer byte came within answer_limit_ms.
constexpr int32_t no_answer_byte = -1;

// The digital input: drain, write the command line, take the first answer
// byte (0 to 255) that is not a CR or LF. At once without a port.
int32_t exchange_byte(const std::string &command);

// The outputs: write the command line (see line_exchange::send_line), read
// nothing. The number of bytes sent.
int32_t send_command(const std::string &command);
