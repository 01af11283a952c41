// Analog inputs: the board answers "EA<channel>" with the reading in decimal.
#include "arduinodrv.h"
#include "driver_exchange.h"
#include "protocol/board_channels.h"
#include "text_convert.h"

int ARDUINODRV_STDCALL ea(int channel) noexcept
{
    // The channel goes out as the one character of code 48 + channel: a
    // digit for 0 to 9 (channel 10 becomes ':'). Unsigned sum: no overflow.
    const std::string command = analog_input_command(char_text(static_cast<int32_t>(static_cast<uint32_t>(channel) + 48u)));
    // Low 32 bits of the reading, by modular conversion.
    return static_cast<int32_t>(parse_integer(exchange_command(command).c_str()));
}

double ARDUINODRV_STDCALL ead(int channel) noexcept
{
    const std::string command = analog_input_command(decimal_text(channel));
    const int64_t reading = parse_integer(exchange_command(command).c_str());
    // Through memory: the x87 unit would otherwise load the 64-bit reading
    // whole in extended precision and round only the product, which differs
    // from rounding the reading to a double first (readings beyond 2^53).
    const volatile double value = static_cast<double>(reading);
    return value * analog_full_scale_volts / analog_reading_steps;
}
