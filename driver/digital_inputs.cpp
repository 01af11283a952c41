// Digital inputs: the board answers "EB<pin>" with one byte, 0 for low.
#include "arduinodrv.h"
#include "driver_state.h"
#include "exchange.h"
#include "serial/clock.h"
#include "serial/serial_port.h"
#include "text_convert.h"

namespace {
int32_t digital_input_pin(int32_t channel)
{
    switch (channel) {
    case 0: return 2;
    case 1: return 4;
    case 2: return 7;
    case 3: return 8;
    default: return 0;
    }
}
}  // namespace

int ARDUINODRV_STDCALL eb(int channel) noexcept
{
    const int32_t pin = digital_input_pin(channel);
    drain_port();
    if (send_command("EB" + decimal_text(pin) + "\r") == 0)
        return 0;  // nothing went out, so no answer can come
    // At 9600 baud the command alone takes about 4 ms on the wire: the answer
    // byte is waited for, within the same limit as an analog answer.
    const int32_t start = elapsed_ms();
    for (;;) {
        char answer;
        if (port_bytes_waiting(driver_port) > 0 && read_port(driver_port, &answer, 1) == 1)
            return answer != 0 ? 1 : 0;
        if (ms_since(start) > answer_limit_ms)
            return 0;
    }
}
