#include "board_channels.h"

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
