#include "exchange.h"

#include "driver_state.h"
#include "serial/clock.h"
#include "serial/serial_port.h"
#include "text_convert.h"

namespace {
constexpr int32_t pause_before_drain_ms = 9;
constexpr int32_t pause_after_write_ms = 1;
constexpr int32_t drain_limit_ms = 1000;
}  // namespace

int32_t send_command(const std::string &line)
{
    return write_port_text(driver_port, line.c_str(), text_format_bytes);
}

void drain_port()
{
    const int32_t start = elapsed_ms();
    char discard[256];
    int32_t waiting;
    while ((waiting = port_bytes_waiting(driver_port)) > 0 && ms_since(start) <= drain_limit_ms) {
        const int32_t chunk = waiting < static_cast<int32_t>(sizeof discard) ? waiting : static_cast<int32_t>(sizeof discard);
        read_port(driver_port, discard, chunk);
    }
}

std::string read_answer_line()
{
    std::string line;
    const int32_t start = elapsed_ms();
    for (;;) {
        char byte;
        if (port_bytes_waiting(driver_port) > 0 && read_port(driver_port, &byte, 1) == 1) {
            if (byte == '\r' || byte == '\n')
                return line;
            if (byte != '\0')
                line.push_back(byte);
        }
        if (ms_since(start) > answer_limit_ms)
            return line;
    }
}

std::string exchange_command(const std::string &command)
{
    delay_ms(pause_before_drain_ms);
    drain_port();
    send_command(command + '\r');
    delay_ms(pause_after_write_ms);
    return trim_spaces(read_answer_line());
}
