#include "board_channels.h"

#include "stream_frame.h"

// The stream's inputs are the driver's, in the same order: a frame's bit n
// is digital input n.
constexpr bool stream_inputs_are_the_channels()
{
    for (int32_t channel = 0; channel < channels_of_each_kind; ++channel)
        if (stream_frame::digital_pins[channel] != digital_input_pins[channel])
            return false;
    return stream_frame::digital_inputs == channels_of_each_kind && stream_frame::analog_inputs == analog_input_count;
}
static_assert(stream_inputs_are_the_channels());

std::string analog_input_command(const std::string &channel_text)
{
    return "EA" + channel_text;
}

std::string digital_input_command(int32_t pin)
{
    return "EB" + std::to_string(pin);
}

std::string pwm_output_command(int32_t pin, int32_t duty)
{
    return "SA" + std::to_string(pin) + std::to_string(duty);
}

std::string digital_output_command(int32_t pin, bool on)
{
    return "SB" + pin_code(pin) + (on ? "1" : "0");
}

std::string pin_code(int32_t pin)
{
    if (pin < 0 || pin > 15)
        return std::string();
    return std::string(1, "0123456789ABCDEF"[pin]);
}
