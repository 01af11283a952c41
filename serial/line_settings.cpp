#include "line_settings.h"

#include <cstring>

namespace {

// The 16 rates a line may have; 134 and 200, which the terminal interface
// also offers, and every rate above 115200 are refused.
bool speed_code(int32_t baud, speed_t *code)
{
    switch (baud) {
    case 0: *code = B0; return true;
    case 50: *code = B50; return true;
    case 75: *code = B75; return true;
    case 110: *code = B110; return true;
    case 150: *code = B150; return true;
    case 300: *code = B300; return true;
    case 600: *code = B600; return true;
    case 1200: *code = B1200; return true;
    case 1800: *code = B1800; return true;
    case 2400: *code = B2400; return true;
    case 4800: *code = B4800; return true;
    case 9600: *code = B9600; return true;
    case 19200: *code = B19200; return true;
    case 38400: *code = B38400; return true;
    case 57600: *code = B57600; return true;
    case 115200: *code = B115200; return true;
    default: return false;
    }
}

bool character_size(int32_t data_bits, tcflag_t *size)
{
    switch (data_bits) {
    case 5: *size = CS5; return true;
    case 6: *size = CS6; return true;
    case 7: *size = CS7; return true;
    case 8: *size = CS8; return true;
    default: return false;
    }
}

}  // namespace

bool terminal_settings_for(const line_settings &line, termios *settings)
{
    speed_t speed;
    tcflag_t size;
    if (!speed_code(line.baud, &speed) || !character_size(line.data_bits, &size) || line.handshake < 0 ||
        line.handshake > 3)
        return false;
    std::memset(settings, 0, sizeof *settings);
    settings->c_iflag = IGNPAR | ICRNL;
    if (line.handshake == 3)
        settings->c_iflag |= IXON | IXANY | IXOFF;
    settings->c_oflag = 0;
    settings->c_cflag = speed | size | CREAD | CLOCAL;
    if (line.stop_bits != 1.0f)  // 1.5, 2.0 and NaN all mean two stop bits
        settings->c_cflag |= CSTOPB;
    if (line.handshake == 2)
        settings->c_cflag |= CRTSCTS;
    settings->c_lflag = 0;
    settings->c_line = 0;
    // Start and stop characters 21 and 23, not the usual 17 and 19; only the
    // XON/XOFF handshake looks at them.
    settings->c_cc[VEOF] = 4;
    settings->c_cc[VTIME] = 0;
    settings->c_cc[VMIN] = 1;
    settings->c_cc[VSTART] = 21;
    settings->c_cc[VSTOP] = 23;
    return true;
}
