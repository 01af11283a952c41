// Analog (PWM) outputs: "SA<pin><value>", no answer.
#include "arduinodrv.h"
#include "driver_state.h"
#include "driver_exchange.h"
#include "protocol/board_channels.h"
#include "text_convert.h"

namespace {
// Full scale: the raw value 255 is 5 V.
constexpr float full_scale_raw = 255.0f;
constexpr float full_scale_volts = 5.0f;

// The last value set on each channel, for rsa and rsad; zero until then.
int32_t sa_values[read_back_entries];
double sad_values[read_back_entries];
}  // namespace

int ARDUINODRV_STDCALL sa(int channel, int value) noexcept
{
    if (has_read_back_entry(channel))
        sa_values[channel] = value;
    const int32_t pin = pin_of_channel(pwm_output_pins, channel);
    if (pin != 0)
        send_command(pwm_output_command(pin, value));
    return value / 2;
}

double ARDUINODRV_STDCALL sad(int channel, double volts) noexcept
{
    const double raw = volts * static_cast<double>(full_scale_raw) / static_cast<double>(full_scale_volts);
    const int32_t half = sa(channel, int_from_double(raw));
    if (has_read_back_entry(channel))
        sad_values[channel] = volts;
    return half;
}

int ARDUINODRV_STDCALL rsa(int channel) noexcept
{
    return has_read_back_entry(channel) ? sa_values[channel] : 0;
}

double ARDUINODRV_STDCALL rsad(int channel) noexcept
{
    return has_read_back_entry(channel) ? sad_values[channel] : 0.0;
}
