// The command exchange with the board on the driver's port.
#pragma once

#include <cstdint>
#include <string>

// How long an answer may take, from the start of the wait, in milliseconds.
constexpr int32_t answer_limit_ms = 1000;

// Pause, drain, write `command` and one more CR, pause, read one answer line;
// returns that line without spaces at its ends (empty when none came).
std::string exchange_command(const std::string &command);

// The bytes up to the first CR or LF, zero bytes dropped, gathered for at
// most answer_limit_ms.
std::string read_answer_line();

// Discards the bytes waiting on the driver's port. Bounded in time, so a
// board that never stops sending cannot hang the host.
void drain_port();

// Writes a whole command line to the driver's port; the number of bytes the
// device accepted.
int32_t send_command(const std::string &line);
