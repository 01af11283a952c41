// Which device numbers are pseudo-terminals' slaves, and which pty a slave
// is: the port's claim differs there (the lock alone), and a tool tells a
// pty link (socat's, an emulator's) from a board's own serial device.
#pragma once

#include <sys/types.h>

// A pseudo-terminal's slave: Unix98 (majors 136-143) or a legacy BSD one
// (major 3).
bool is_pseudo_terminal(dev_t device);

// The number N of a Unix98 slave (/dev/pts/N), which its master's
// /proc/PID/fdinfo gives as "tty-index"; -1 for any other device.
int pseudo_terminal_index(dev_t device);
