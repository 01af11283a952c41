#include "line_settings.h"

#include <cstring>

namespace {

template <typename code_type> struct code_of {
    int32_t value;
    code_type code;
};

// The 16 rates a line may have; 134 and 200, which the terminal interface
// also offers, and every rate above 115200 are refused.
constexpr code_of<speed_t> speeds[] = {
    {0, B0},       {50, B50},       {75, B75},       {110, B110},     {150, B150},     {300, B300},
    {600, B600},   {1200, B1200},   {1800, B1800},   {2400, B2400},   {4800, B4800},   {9600, B9600},
    {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200},
};

constexpr code_of<tcflag_t> character_sizes[] = {{5, CS5}, {6, CS6}, {7, CS7}, {8, CS8}};

template <typename code_type, size_t count>
bool find_code(const code_of<code_type> (&table)[count], int32_t value, code_type *code)
{
    for (const code_of<code_type> &entry : table) {
        if (entry.value == value) {
            *code = entry.code;
            return true;
        }
    }
    return false;
}

}  // namespace

bool terminal_settings_for(const line_settings &line, termios *settings)
{
    speed_t speed;
    tcflag_t size;
    if (!find_code(speeds, line.baud, &speed) || !find_code(character_sizes, line.data_bits, &size) ||
        (line.stop != stop_bits::one && line.stop != stop_bits::two) ||
        (line.flow != handshake::none && line.flow != handshake::rts_cts && line.flow != handshake::xon_xoff))
        return false;
    std::memset(settings, 0, sizeof *settings);
    settings->c_iflag = IGNPAR | (line.cr_as_lf ? ICRNL : 0);
    if (line.flow == handshake::xon_xoff)
        settings->c_iflag |= IXON | IXANY | IXOFF;
    settings->c_oflag = 0;
    settings->c_cflag = size | CREAD | CLOCAL;
    if (line.stop == stop_bits::two)
        settings->c_cflag |= CSTOPB;
    if (line.flow == handshake::rts_cts)
        settings->c_cflag |= CRTSCTS;
    if (cfsetispeed(settings, speed) != 0 || cfsetospeed(settings, speed) != 0)
        return false;
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
