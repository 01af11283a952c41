#include "report.h"

#include <cstdio>

extern "C" {
#include <sim_avr.h>
}

namespace {

std::string level_text(int level)
{
    return level < 0 ? "-" : std::to_string(level);
}

}  // namespace

std::string report_line(const board_status &status, const pin_model &pins, const avr_t *avr)
{
    char sim[32];
    std::snprintf(sim, sizeof sim, "%.3f", status.sim_s);
    std::string line = std::string("report chip=") + status.chip + " host=" + (status.host_open ? "open" : "closed") +
                       " sim=" + sim + " rx=" + std::to_string(status.rx) + " tx=" + std::to_string(status.tx);
    for (int channel = 0; channel < analog_input_count; ++channel)
        line += " a" + std::to_string(channel) + "=" + std::to_string(pins.analog(channel));
    for (int pin = first_board_pin; pin <= last_board_pin; ++pin)
        line += " in" + std::to_string(pin) + "=" + (pins.input(pin) ? "1" : "0");
    for (int pin = first_board_pin; pin <= last_board_pin; ++pin)
        line += " d" + std::to_string(pin) + "=" + level_text(avr ? pin_model::output_level(avr, pin) : -1);
    for (int pin : pwm_output_pins)
        line += " pwm" + std::to_string(pin) + "=" + level_text(avr ? pin_model::pwm_duty(avr, pin) : -1);
    char lag_ms[32];
    std::snprintf(lag_ms, sizeof lag_ms, "%.0f", status.lag_s * 1000);
    line += " baud=" + std::to_string(status.baud) + " lost=" + std::to_string(status.lost) +
            " garbled=" + std::to_string(status.garbled) + " lags=" + std::to_string(status.lags) +
            " lag_ms=" + lag_ms;
    return line;
}
