#include "board_protocol.h"

const uint8_t command_interpreter::line_capacity;
const uint8_t command_interpreter::first_digital_pin;
const uint8_t command_interpreter::last_digital_pin;

namespace {

const uint8_t cr = 13;
const uint8_t lf = 10;

// Magnitudes stop growing here: every larger number is out of range for all
// commands anyway, and nothing may overflow on the board.
const int32_t number_ceiling = 100000;

// A whole field of decimal digits with an optional leading minus, as the
// driver writes numbers. Anything else (no digit, a plus, a space, a trailing
// byte) makes the line malformed.
bool parse_decimal(const char *text, uint8_t length, int32_t &value)
{
    uint8_t i = 0;
    bool negative = false;
    if (i < length && text[i] == '-') {
        negative = true;
        ++i;
    }
    if (i == length)
        return false;
    int32_t magnitude = 0;
    for (; i < length; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9')
            return false;
        if (magnitude < number_ceiling)
            magnitude = magnitude * 10 + (c - '0');
    }
    value = negative ? -magnitude : magnitude;
    return true;
}

// One hexadecimal digit, either case; -1 for anything else.
int8_t hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return static_cast<int8_t>(c - '0');
    if (c >= 'A' && c <= 'F')
        return static_cast<int8_t>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f')
        return static_cast<int8_t>(c - 'a' + 10);
    return -1;
}

bool is_pwm_pin(int32_t pin)
{
    return pin == 3 || pin == 5 || pin == 6 || pin == 9;
}

}  // namespace

command_interpreter::command_interpreter(board_io &io, uint8_t analog_channels)
    : io_(io), analog_channels_(analog_channels), length_(0), overlong_(false), line_done_(false)
{
    for (uint8_t i = 0; i < line_capacity; ++i)
        line_[i] = 0;
}

line_outcome command_interpreter::feed(uint8_t byte)
{
    if (line_done_) {
        length_ = 0;
        overlong_ = false;
        line_done_ = false;
    }
    if (byte == cr || byte == lf) {
        if (length_ == 0 && !overlong_)
            return line_outcome::none;  // empty line: the second CR of an analog command
        line_done_ = true;
        if (overlong_)
            return line_outcome::dropped;
        return run_line();
    }
    if (length_ < line_capacity)
        line_[length_++] = static_cast<char>(byte);
    else
        overlong_ = true;
    return line_outcome::none;
}

line_outcome command_interpreter::run_line()
{
    if (length_ < 2)
        return line_outcome::ignored;
    const char *arg = line_ + 2;
    const uint8_t arg_length = static_cast<uint8_t>(length_ - 2);
    if (line_[0] == 'E' && line_[1] == 'A')
        return analog_input(arg, arg_length);
    if (line_[0] == 'E' && line_[1] == 'B')
        return digital_input(arg, arg_length);
    if (line_[0] == 'S' && line_[1] == 'A')
        return analog_output(arg, arg_length);
    if (line_[0] == 'S' && line_[1] == 'B')
        return digital_output(arg, arg_length);
    return line_outcome::ignored;
}

line_outcome command_interpreter::analog_input(const char *arg, uint8_t length)
{
    int32_t channel = -1;
    if (!parse_decimal(arg, length, channel)) {
        // One non-digit byte is how the driver's raw form writes a channel
        // past 9 or below 0 (channel 10 arrives as ':'): a channel this board
        // lacks, so 0. Answering spares the driver its one-second wait.
        if (length != 1)
            return line_outcome::ignored;
        channel = -1;
    }
    uint16_t reading = 0;
    if (channel >= 0 && channel < analog_channels_)
        reading = io_.read_analog(static_cast<uint8_t>(channel));
    send_decimal(reading);
    io_.send(cr);
    io_.send(lf);
    return line_outcome::answered;
}

line_outcome command_interpreter::digital_input(const char *arg, uint8_t length)
{
    int32_t pin = 0;
    if (!parse_decimal(arg, length, pin))
        return line_outcome::ignored;
    // Pins the board may not read (0 and 1 are the serial line; the driver
    // sends pin 0 for channels without a pin) read as low.
    bool high = false;
    if (pin >= first_digital_pin && pin <= last_digital_pin)
        high = io_.read_digital(static_cast<uint8_t>(pin));
    io_.send(high ? 1 : 0);
    return line_outcome::answered;
}

line_outcome command_interpreter::analog_output(const char *arg, uint8_t length)
{
    if (length < 2)
        return line_outcome::ignored;
    const int32_t pin = arg[0] - '0';
    int32_t value = 0;
    if (!is_pwm_pin(pin) || !parse_decimal(arg + 1, static_cast<uint8_t>(length - 1), value))
        return line_outcome::ignored;
    if (value < 0)
        value = 0;
    if (value > 255)
        value = 255;
    io_.write_pwm(static_cast<uint8_t>(pin), static_cast<uint8_t>(value));
    return line_outcome::applied;
}

line_outcome command_interpreter::digital_output(const char *arg, uint8_t length)
{
    if (length != 2)
        return line_outcome::ignored;
    const int8_t pin = hex_digit(arg[0]);
    if (pin < first_digital_pin || pin > last_digital_pin)
        return line_outcome::ignored;
    if (arg[1] != '0' && arg[1] != '1')
        return line_outcome::ignored;
    io_.write_digital(static_cast<uint8_t>(pin), arg[1] == '1');
    return line_outcome::applied;
}

void command_interpreter::send_decimal(uint16_t value)
{
    char digits[5];
    uint8_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value = static_cast<uint16_t>(value / 10);
    } while (value != 0);
    while (count > 0)
        io_.send(static_cast<uint8_t>(digits[--count]));
}
