// Digital inputs: the board answers "EB<pin>" with one byte, 0 for low.
#include "arduinodrv.h"
#include "driver_exchange.h"
#include "protocol/board_channels.h"

int ARDUINODRV_STDCALL eb(int channel) noexcept
{
    const int32_t answer = exchange_byte(digital_input_command(pin_of_channel(digital_input_pins, channel)));
    return answer != no_answer_byte && answer != 0 ? 1 : 0;
}
