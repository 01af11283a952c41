#include "sim_board.h"

sim_board::sim_board() { restart(); }

void sim_board::restart()
{
    for (int pin = 0; pin < digital_pins; ++pin) {
        pwm[pin] = -1;
        level[pin] = -1;
    }
    answer.clear();
    moved_to = 0;
}

uint16_t sim_board::read_analog(uint8_t channel)
{
    if (channel >= analog_input_count)
        return 0;
    return analog_value(analog[channel], now_s, random_state_);
}

bool sim_board::read_digital(uint8_t pin)
{
    if (pin >= digital_pins)
        return false;
    // A pin switched as an output reads back its own level, as on the board.
    if (level[pin] >= 0)
        return level[pin] == 1;
    return digital_value(digital[pin], now_s);
}

void sim_board::write_pwm(uint8_t pin, uint8_t duty)
{
    if (pin >= digital_pins)
        return;
    pwm[pin] = duty;
    level[pin] = -1;
    action = "pin " + std::to_string(pin) + " duty " + std::to_string(duty);
}

void sim_board::write_digital(uint8_t pin, bool high)
{
    if (pin >= digital_pins)
        return;
    level[pin] = high ? 1 : 0;
    pwm[pin] = -1;
    action = "pin " + std::to_string(pin) + (high ? " high" : " low");
}

void sim_board::send(uint8_t byte)
{
    answer.push_back(static_cast<char>(byte));
}

uint32_t sim_board::clock_us_at(double seconds)
{
    return static_cast<uint32_t>(static_cast<uint64_t>(seconds * 1e6));
}
