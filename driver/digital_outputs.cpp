// Digital outputs: "SB<pin code><1|0>", no answer.
#include "arduinodrv.h"
#include "driver_state.h"
#include "exchange.h"

namespace {
int32_t digital_output_pin(int32_t channel)
{
    return channel >= 0 && channel <= 3 ? 10 + channel : 0;
}

// The pin as one upper-case hexadecimal digit; empty outside 0 to 15.
std::string pin_code(int32_t pin)
{
    if (pin < 0 || pin > 15)
        return std::string();
    return std::string(1, "0123456789ABCDEF"[pin]);
}

// The last value set on each channel, for rsb; zero until then.
int32_t sb_values[read_back_entries];
}  // namespace

int ARDUINODRV_STDCALL sb(int channel, int value) noexcept
{
    if (has_read_back_entry(channel))
        sb_values[channel] = value;
    // Only exactly 1 means on; every other value switches off.
    send_command("SB" + pin_code(digital_output_pin(channel)) + (value == 1 ? "1" : "0"));
    return value;
}

int ARDUINODRV_STDCALL rsb(int channel) noexcept
{
    return has_read_back_entry(channel) ? sb_values[channel] : 0;
}
