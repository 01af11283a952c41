// Moving an open line to another rate: any rate the device's driver can
// make (250000 baud and the like are none of the terminal interface's fixed
// speeds). Apart from <termios.h>, whose definitions the kernel's own
// termios2 would clash with.
#pragma once

#include <cstdint>

// Sets the line of descriptor `fd` to `baud` bits a second both ways,
// keeping its other settings, and discards what it had received. False when
// the device refuses.
bool set_descriptor_rate(int fd, int32_t baud);
