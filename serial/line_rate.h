// A line's rate through the kernel's termios2: any rate the device's driver
// can make (250000 baud and the like are none of the terminal interface's
// fixed speeds). Apart from <termios.h>, whose definitions the kernel's own
// termios2 would clash with. The libraries move their line with it; firmsim
// reads the rate its host chose, and the tools' tests set theirs.
#pragma once

#include <cstdint>

// Sets the line of descriptor `fd` to `baud` bits a second both ways,
// keeping its other settings. False when the device refuses.
bool set_descriptor_rate(int fd, int32_t baud);

// The line's output rate in bits a second; 0 when it cannot be told. On the
// master of a pseudo-terminal it is the slave's: what its host chose.
uint32_t descriptor_rate(int fd);
