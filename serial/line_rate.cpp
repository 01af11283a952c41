#include "line_rate.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

bool set_descriptor_rate(int fd, int32_t baud)
{
    if (fd < 0 || baud <= 0)
        return false;
    struct termios2 settings {};
    if (ioctl(fd, TCGETS2, &settings) != 0)
        return false;
    settings.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    settings.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    settings.c_ispeed = static_cast<speed_t>(baud);
    settings.c_ospeed = static_cast<speed_t>(baud);
    return ioctl(fd, TCSETS2, &settings) == 0;
}

uint32_t descriptor_rate(int fd)
{
    struct termios2 settings {};
    if (fd < 0 || ioctl(fd, TCGETS2, &settings) != 0)
        return 0;
    return settings.c_ospeed;
}
