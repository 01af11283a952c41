// The rate a terminal is set to, read and set through the kernel's termios2:
// 250000 baud and the like are none of <termios.h>'s fixed speeds, and its
// definitions clash with the kernel's, so this file keeps them apart. On the
// master of a pseudo-terminal they are the slave's settings: what its host
// chose.
#pragma once

#include <cstdint>

// The output rate in bits a second; 0 when it cannot be told.
uint32_t terminal_rate(int fd);

// Sets both rates, keeping the other settings; false when refused.
bool set_terminal_rate(int fd, uint32_t baud);
