// Digital outputs: "SB<pin code><1|0>", no answer.
#include "arduinodrv.h"
#include "driver_state.h"
#include "driver_exchange.h"
#include "protocol/board_channels.h"

namespace {
// The last value set on each channel, for rsb; zero until then.
int32_t sb_values[read_back_entries];
}  // namespace

int ARDUINODRV_STDCALL sb(int channel, int value) noexcept
{
    if (has_read_back_entry(channel))
        sb_values[channel] = value;
    // Only exactly 1 means on; every other value switches off.
    send_command(digital_output_command(pin_of_channel(digital_output_pins, channel), value == 1));
    return value;
}

int ARDUINODRV_STDCALL rsb(int channel) noexcept
{
    return has_read_back_entry(channel) ? sb_values[channel] : 0;
}
