#include "board_protocol.h"

// Texts live in flash on the board: its RAM is small.
#if defined(__AVR__)
#include <avr/pgmspace.h>
#define BOARD_TEXT PROGMEM
#define text_byte(at) pgm_read_byte(at)
#else
#define BOARD_TEXT
#define text_byte(at) (*(at))
#endif

const uint8_t command_interpreter::line_capacity;
const uint8_t command_interpreter::first_digital_pin;
const uint8_t command_interpreter::last_digital_pin;
const uint32_t command_interpreter::classic_rate;
const uint32_t command_interpreter::rate_trial_us;

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

// A whole field of digits without sign or leading zero, as the host writes
// the extensions' numbers. Values beyond 32 bits stay beyond every limit.
bool parse_natural(const char *text, uint8_t length, uint32_t &value)
{
    if (length == 0 || (text[0] == '0' && length > 1))
        return false;
    uint32_t number = 0;
    for (uint8_t i = 0; i < length; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9')
            return false;
        number = number <= (0xFFFFFFFF - 9) / 10 ? number * 10 + static_cast<uint32_t>(c - '0') : 0xFFFFFFFF;
    }
    value = number;
    return true;
}

// Where `byte` first is in the text, or `length`.
uint8_t find_byte(const char *text, uint8_t length, char byte)
{
    uint8_t at = 0;
    while (at < length && text[at] != byte)
        ++at;
    return at;
}

const uint16_t largest_tag = 65535;

// The rates a line may move to: 16 MHz divides each exactly.
bool is_line_rate(uint32_t baud)
{
    return baud == 9600 || baud == 250000 || baud == 500000 || baud == 1000000;
}

const char identity[] BOARD_TEXT = "XI arduinodrv-board 2 tag,baud,stream\r\n";

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

command_interpreter::command_interpreter(board_io &io, uint8_t analog_channels, sketch_kind kind)
    : io_(io), analog_channels_(analog_channels), extended_(kind == sketch_kind::extended), length_(0),
      overlong_(false), line_done_(false), rate_(classic_rate), rate_trial_(false), rate_moved_at_(0),
      streaming_(false), amask_(0), dmask_(0), frame_size_(0), interval_us_(0), next_tick_(0), sequence_(0), dropped_(0)
{
    for (uint8_t i = 0; i < line_capacity; ++i)
        line_[i] = 0;
}

// A classic build leaves out every extension: the compiler drops the code
// behind a constant false.
bool command_interpreter::extended() const
{
#if defined(ARDUINODRV_BOARD_CLASSIC)
    return false;
#else
    return extended_;
#endif
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
        // A line understood at a new rate ends its trial; a move that the
        // line itself makes starts a new one.
        const bool on_trial = rate_trial_;
        rate_trial_ = false;
        const line_outcome outcome = run_line();
        if (on_trial && outcome != line_outcome::answered && outcome != line_outcome::applied)
            rate_trial_ = true;
        return outcome;
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
    if (extended()) {
        if (line_[0] == 'X')
            return run_extension();
        // A tag never parses as part of a classic command.
        if (line_[0] == 'E' && (line_[1] == 'A' || line_[1] == 'B') && find_byte(arg, arg_length, '#') < arg_length)
            return tagged_input(line_[1] == 'A', arg, arg_length);
    }
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
    send_decimal(read_channel(channel));
    io_.send(cr);
    io_.send(lf);
    return line_outcome::answered;
}

line_outcome command_interpreter::digital_input(const char *arg, uint8_t length)
{
    int32_t pin = 0;
    if (!parse_decimal(arg, length, pin))
        return line_outcome::ignored;
    io_.send(read_pin(pin) ? 1 : 0);
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

uint16_t command_interpreter::read_channel(int32_t channel)
{
    if (channel >= 0 && channel < analog_channels_)
        return io_.read_analog(static_cast<uint8_t>(channel));
    return 0;
}

// Pins the board may not read (0 and 1 are the serial line; the driver sends
// pin 0 for channels without a pin) read as low.
bool command_interpreter::read_pin(int32_t pin)
{
    if (pin >= first_digital_pin && pin <= last_digital_pin)
        return io_.read_digital(static_cast<uint8_t>(pin));
    return false;
}

line_outcome command_interpreter::run_extension()
{
    const char *arg = line_ + 2;
    const uint8_t arg_length = static_cast<uint8_t>(length_ - 2);
    switch (line_[1]) {
    case 'I': return arg_length == 0 ? identify() : line_outcome::ignored;
    case 'B': return change_rate(arg, arg_length);
    case 'S': return start_stream(arg, arg_length);
    case 'E': return arg_length == 0 ? end_stream() : line_outcome::ignored;
    default: return line_outcome::ignored;
    }
}

line_outcome command_interpreter::tagged_input(bool analog, const char *arg, uint8_t length)
{
    const uint8_t hash = find_byte(arg, length, '#');
    int32_t number = 0;
    uint32_t tag = 0;
    if (!parse_decimal(arg, hash, number) ||
        !parse_natural(arg + hash + 1, static_cast<uint8_t>(length - hash - 1), tag) || tag > largest_tag)
        return line_outcome::ignored;
    const uint16_t value = analog ? read_channel(number) : (read_pin(number) ? 1 : 0);
    io_.send('E');
    io_.send(analog ? 'A' : 'B');
    send_bytes(arg, hash);
    io_.send('=');
    send_decimal(value);
    io_.send('#');
    send_decimal(tag);
    io_.send(cr);
    io_.send(lf);
    return line_outcome::answered;
}

line_outcome command_interpreter::identify()
{
    for (const char *at = identity; text_byte(at) != 0; ++at)
        io_.send(static_cast<uint8_t>(text_byte(at)));
    return line_outcome::answered;
}

line_outcome command_interpreter::change_rate(const char *arg, uint8_t length)
{
    uint32_t baud = 0;
    if (!parse_natural(arg, length, baud))
        return line_outcome::ignored;
    // A stream's interval was allowed for the rate it started at.
    if (!is_line_rate(baud) || streaming_) {
        answer_number('X', 'B', 0);
        return line_outcome::answered;
    }
    answer_number('X', 'B', baud);
    move_line(baud);
    return line_outcome::answered;
}

// A fast rate is on trial from the move until a line comes that the board
// understands; the classic rate needs none.
void command_interpreter::move_line(uint32_t baud)
{
    if (baud == rate_)
        return;
    io_.set_line_rate(baud);
    rate_ = baud;
    rate_trial_ = baud != classic_rate;
    rate_moved_at_ = io_.clock_us();
}

line_outcome command_interpreter::start_stream(const char *arg, uint8_t length)
{
    const uint8_t first_comma = find_byte(arg, length, ',');
    if (first_comma == length)
        return line_outcome::ignored;
    const char *rest = arg + first_comma + 1;
    const uint8_t rest_length = static_cast<uint8_t>(length - first_comma - 1);
    const uint8_t second_comma = find_byte(rest, rest_length, ',');
    uint32_t amask = 0, dmask = 0, interval = 0;
    if (!parse_natural(arg, first_comma, amask) || second_comma == rest_length ||
        !parse_natural(rest, second_comma, dmask) ||
        !parse_natural(rest + second_comma + 1, static_cast<uint8_t>(rest_length - second_comma - 1), interval))
        return line_outcome::ignored;
    if (streaming_ || amask > stream_frame::all_analog || dmask > stream_frame::all_digital ||
        !stream_frame::masks_valid(static_cast<uint8_t>(amask), static_cast<uint8_t>(dmask)) ||
        interval > stream_frame::longest_interval_us ||
        interval < stream_frame::shortest_interval_us(static_cast<uint8_t>(amask), static_cast<uint8_t>(dmask), rate_)) {
        answer_number('X', 'S', 0);
        return line_outcome::answered;
    }
    streaming_ = true;
    amask_ = static_cast<uint8_t>(amask);
    dmask_ = static_cast<uint8_t>(dmask);
    frame_size_ = stream_frame::frame_bytes(amask_, dmask_);
    interval_us_ = interval;
    sequence_ = 0;
    dropped_ = 0;
    next_tick_ = io_.clock_us() + interval;
    answer_number('X', 'S', interval);
    return line_outcome::answered;
}

line_outcome command_interpreter::end_stream()
{
    answer_number('X', 'E', streaming_ ? sequence_ : 0);
    streaming_ = false;
    return line_outcome::answered;
}

void command_interpreter::poll()
{
    if (!extended())
        return;
    const uint32_t now = io_.clock_us();
    if (rate_trial_ && now - rate_moved_at_ >= rate_trial_us) {
        // Nobody is talking at this rate: back to the one every open starts
        // at, and whatever half line came at the wrong rate is noise.
        rate_trial_ = false;
        rate_ = classic_rate;
        io_.set_line_rate(classic_rate);
        length_ = 0;
        overlong_ = false;
        line_done_ = false;
    }
    if (streaming_ && static_cast<int32_t>(now - next_tick_) >= 0)
        stream_tick(now);
}

bool command_interpreter::next_due(uint32_t &due_us) const
{
    if (!extended())
        return false;
    bool waiting = false;
    if (streaming_) {
        due_us = next_tick_;
        waiting = true;
    }
    if (rate_trial_) {
        const uint32_t fallback = rate_moved_at_ + rate_trial_us;
        if (!waiting || static_cast<int32_t>(fallback - due_us) < 0)
            due_us = fallback;
        waiting = true;
    }
    return waiting;
}

void command_interpreter::stream_tick(uint32_t now)
{
    // Ticks more than one interval ago are gone: their numbers are used, so
    // the host counts them lost, and this tick is sampled late.
    const uint32_t late = now - next_tick_;
    if (late >= interval_us_) {
        const uint32_t skipped = late / interval_us_;
        sequence_ += skipped;
        dropped_ += skipped;
        next_tick_ += skipped * interval_us_;
    }
    if (io_.send_room() >= frame_size_) {
        stream_frame::sample_set samples;
        samples.sequence = sequence_;
        samples.time_us = next_tick_;
        samples.digital = 0;
        uint8_t bit = 1;
        for (uint8_t input = 0; input < stream_frame::analog_inputs; ++input, bit = static_cast<uint8_t>(bit << 1))
            samples.analog[input] = amask_ & bit ? read_channel(input) : 0;
        bit = 1;
        for (uint8_t input = 0; input < stream_frame::digital_inputs; ++input, bit = static_cast<uint8_t>(bit << 1)) {
            if ((dmask_ & bit) && read_pin(stream_frame::digital_pins[input]))
                samples.digital = static_cast<uint8_t>(samples.digital | bit);
        }
        uint8_t frame[stream_frame::longest_frame];
        io_.send_bytes(frame, stream_frame::encode(frame, samples, amask_, dmask_));
    } else {
        ++dropped_;  // the line is behind: no room for a whole frame
    }
    ++sequence_;
    next_tick_ += interval_us_;
}

// "<first><second>=<value>" CR LF: the extensions' plain answers.
void command_interpreter::answer_number(char first, char second, uint32_t value)
{
    io_.send(static_cast<uint8_t>(first));
    io_.send(static_cast<uint8_t>(second));
    io_.send('=');
    send_decimal(value);
    io_.send(cr);
    io_.send(lf);
}

void command_interpreter::send_bytes(const char *bytes, uint8_t count)
{
    for (uint8_t i = 0; i < count; ++i)
        io_.send(static_cast<uint8_t>(bytes[i]));
}

void command_interpreter::send_decimal(uint32_t value)
{
    char digits[10];
    uint8_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count > 0)
        io_.send(static_cast<uint8_t>(digits[--count]));
}
