#include "report.h"

#include <cstdio>

std::string escape_bytes(const std::string &bytes)
{
    std::string text;
    for (unsigned char c : bytes) {
        switch (c) {
        case '\r': text += "\\r"; break;
        case '\n': text += "\\n"; break;
        case '\t': text += "\\t"; break;
        case '\\': text += "\\\\"; break;
        case '"': text += "\\\""; break;
        default:
            if (c >= 0x20 && c < 0x7f) {
                text.push_back(static_cast<char>(c));
            } else {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02x", c);
                text += hex;
            }
        }
    }
    return text;
}

std::string log_line(double t, const std::string &line, line_outcome outcome, const std::string &answer,
                     const std::string &action)
{
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%10.3f  ", t);
    std::string text = stamp;
    std::string shown = escape_bytes(line);
    if (outcome == line_outcome::dropped)
        shown += "...";
    if (shown.size() < 14)
        shown.resize(14, ' ');
    text += shown + "  ";
    switch (outcome) {
    case line_outcome::answered: text += "-> \"" + escape_bytes(answer) + "\""; break;
    case line_outcome::applied: text += "set " + action; break;
    case line_outcome::ignored: text += "ignored"; break;
    case line_outcome::dropped:
        text += "dropped: longer than " + std::to_string(command_interpreter::line_capacity) + " bytes";
        break;
    case line_outcome::none: break;
    }
    return text;
}

const char counts_legend[] =
    "lines received: answered (readings sent), set (outputs changed), ignored (unknown,\n"
    "or a pin that cannot do it), dropped (too long); lost: bytes that came while the\n"
    "board restarted; stream frames sent and dropped (no room on the line)";

namespace {

std::string cell(const std::string &text, size_t width)
{
    return text.size() >= width ? text + " " : std::string(width - text.size(), ' ') + text;
}

std::string setting(int value)
{
    return value < 0 ? "-" : std::to_string(value);
}

}  // namespace

std::vector<std::string> board_table(sim_board &board, const traffic_counts &counts, bool port_open,
                                     bool with_inputs)
{
    std::vector<std::string> rows;
    rows.push_back(std::string("port ") + (port_open ? "open" : "closed (waiting for the driver)"));
    rows.push_back("lines " + std::to_string(counts.lines) + ": answered " + std::to_string(counts.answered) +
                   ", set " + std::to_string(counts.applied) + ", ignored " + std::to_string(counts.ignored) +
                   ", dropped " + std::to_string(counts.dropped) + "; lost bytes " + std::to_string(counts.lost));
    rows.push_back("line " + std::to_string(counts.rate) + " baud; stream " + (counts.streaming ? "running" : "off") +
                   ": frames " + std::to_string(counts.frames) + ", dropped " + std::to_string(counts.frames_dropped));

    std::string pins = "PWM out      pin", duty = "  duty", volts = "  volts";
    for (int pin : pwm_output_pins) {
        pins += cell(std::to_string(pin), pin == pwm_output_pins[0] ? 3 : 7);
        duty += cell(setting(board.pwm[pin]), pin == pwm_output_pins[0] ? 13 : 7);
        char v[16] = "-";
        if (board.pwm[pin] >= 0)
            std::snprintf(v, sizeof v, "%.2fV", board.pwm[pin] * analog_full_scale_volts / highest_pwm_duty);
        volts += cell(v, pin == pwm_output_pins[0] ? 12 : 7);
    }
    rows.push_back(pins);
    rows.push_back(duty);
    rows.push_back(volts);

    std::string out_pins = "Digital out  pin", levels = "  level     ";
    for (int pin = command_interpreter::first_digital_pin; pin <= command_interpreter::last_digital_pin; ++pin) {
        out_pins += cell(std::to_string(pin), 3);
        levels += cell(setting(board.level[pin]), 3);
    }
    rows.push_back(out_pins);
    rows.push_back(levels);
    if (!with_inputs)
        return rows;

    for (int channel = 0; channel < analog_input_count; ++channel) {
        char row[96];
        std::snprintf(row, sizeof row, "Analog in  A%-2d %4u  %s", channel,
                      static_cast<unsigned>(board.read_analog(static_cast<uint8_t>(channel))),
                      describe(board.analog[channel]).c_str());
        rows.push_back(row);
    }
    for (int pin : digital_input_pins) {
        char row[96];
        std::snprintf(row, sizeof row, "Digital in D%-2d %4d  %s", pin,
                      board.read_digital(static_cast<uint8_t>(pin)) ? 1 : 0, describe(board.digital[pin]).c_str());
        rows.push_back(row);
    }
    return rows;
}
