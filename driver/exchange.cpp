#include "exchange.h"

#include "driver_state.h"
#include "serial/clock.h"
#include "serial/deadline.h"
#include "serial/serial_port.h"
#include "text_convert.h"

namespace {
constexpr int32_t pause_before_drain_ms = 9;
constexpr int32_t pause_after_write_ms = 1;
constexpr int32_t drain_limit_ms = 1000;

bool is_line_end(char byte)
{
    return byte == '\r' || byte == '\n';
}
}  // namespace

namespace {
// A device that stops reading in the middle of a line keeps the piece it
// took. The next line then starts with a CR of its own, so the piece reaches
// the board as a line by itself, which the board ignores, and never glued
// to the front of the next command.
bool last_line_cut = false;
}  // namespace

int32_t send_command(const std::string &line)
{
    const std::string out = last_line_cut ? '\r' + line : line;
    const int32_t sent = write_port_whole(driver_port, out.c_str(), deadline_after(command_write_limit_ms));
    last_line_cut = sent > 0 && sent < static_cast<int32_t>(out.size());
    return sent;
}

void drain_port()
{
    const deadline d = deadline_after(drain_limit_ms);
    char discard[256];
    int32_t waiting;
    while ((waiting = port_bytes_waiting(driver_port)) > 0 && !deadline_passed(d)) {
        const int32_t chunk = waiting < static_cast<int32_t>(sizeof discard) ? waiting : static_cast<int32_t>(sizeof discard);
        read_port(driver_port, discard, chunk);
    }
}

std::string read_answer_line()
{
    std::string line;
    const deadline d = deadline_after(answer_limit_ms);
    while (wait_port_readable(driver_port, d)) {
        char byte;
        if (read_port(driver_port, &byte, 1) != 1)
            break;  // readable, yet nothing to read: the device is gone
        if (is_line_end(byte)) {
            if (line.empty())
                continue;
            return line;
        }
        if (byte != '\0')
            line.push_back(byte);
    }
    // No port, or a device gone: the request still takes its whole limit, so
    // a host polling an unplugged board is paced as by a silent one.
    sleep_until_passed(d);
    return line;
}

int32_t exchange_byte(const std::string &line)
{
    drain_port();
    if (send_command(line) == 0)
        return no_answer_byte;  // nothing went out, so no answer can come
    // At 9600 baud the command alone takes about 4 ms on the wire: the answer
    // byte is waited for, within the same limit as an analog answer.
    const deadline d = deadline_after(answer_limit_ms);
    while (wait_port_readable(driver_port, d)) {
        char byte;
        if (read_port(driver_port, &byte, 1) != 1)
            break;
        if (!is_line_end(byte))
            return static_cast<unsigned char>(byte);
    }
    return no_answer_byte;
}

std::string exchange_command(const std::string &command)
{
    delay_ms(pause_before_drain_ms);
    drain_port();
    send_command(command + '\r');
    delay_ms(pause_after_write_ms);
    return trim_spaces(read_answer_line());
}
