#include "board_protocol.h"

// Texts and tables live in flash on the board: its RAM is small.
#if defined(__AVR__)
#include <avr/pgmspace.h>
#define BOARD_TEXT PROGMEM
#define text_byte(at) pgm_read_byte(at)
#define table_word(at) pgm_read_dword(at)
#else
#define BOARD_TEXT
#define text_byte(at) (*(at))
#define table_word(at) (*(at))
#endif

const uint8_t command_interpreter::line_capacity;
const uint8_t command_interpreter::answer_capacity;
const uint8_t command_interpreter::first_digital_pin;
const uint8_t command_interpreter::last_digital_pin;
const uint32_t command_interpreter::classic_rate;

namespace {

const uint8_t cr = 13;
const uint8_t lf = 10;

// Magnitudes stop growing here: every larger number is out of range for all
// commands anyway, and nothing may overflow on the board.
const int32_t number_ceiling = 100000;

const uint32_t host_silence_us = board_wire::host_silence_ms * 1000UL;
// The clock's work is due at least this often, so that no wrap of the
// microsecond clock (every 71 minutes) goes unseen in the uptime.
const uint32_t clock_keeping_us = 60000000UL;

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

const char identity[] BOARD_TEXT = "XI arduinodrv-board 3 tag,baud,stream,scan,keep\r\n";

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

// "SA" arguments: a PWM pin's digit and the duty, clamped to 0..255.
bool pwm_arguments(const char *arg, uint8_t length, uint8_t &pin, uint8_t &duty)
{
    if (length < 2)
        return false;
    const int32_t digit = arg[0] - '0';
    int32_t value = 0;
    if (!is_pwm_pin(digit) || !parse_decimal(arg + 1, static_cast<uint8_t>(length - 1), value))
        return false;
    pin = static_cast<uint8_t>(digit);
    duty = static_cast<uint8_t>(value < 0 ? 0 : value > 255 ? 255 : value);
    return true;
}

// "SB" arguments: a pin as one hex digit, then 0 or 1.
bool output_arguments(const char *arg, uint8_t length, uint8_t &pin, bool &high)
{
    if (length != 2)
        return false;
    const int8_t code = hex_digit(arg[0]);
    if (code < command_interpreter::first_digital_pin || code > command_interpreter::last_digital_pin)
        return false;
    if (arg[1] != '0' && arg[1] != '1')
        return false;
    pin = static_cast<uint8_t>(code);
    high = arg[1] == '1';
    return true;
}

// a earlier than b on the wrapping microsecond clock (both within half of
// it from each other).
bool earlier(uint32_t a, uint32_t b)
{
    return static_cast<int32_t>(a - b) < 0;
}

}  // namespace

command_interpreter::command_interpreter(board_io &io, uint8_t analog_channels, sketch_kind kind)
    : io_(io), analog_channels_(analog_channels), extended_(kind == sketch_kind::extended), length_(0),
      overlong_(false), line_done_(false), answer_length_(0), answer_framed_(false), rate_(classic_rate),
      heard_at_(0), clock_seen_(0), uptime_ms_(0), uptime_rest_us_(0), streaming_(false), amask_(0), dmask_(0),
      frame_size_(0), interval_us_(0), next_tick_(0), sequence_(0), dropped_(0)
{
    // The uptime counts from the interpreter's start: on the board that is
    // its boot, and a host's emulator that restarts its board makes a new
    // interpreter on a clock that goes on.
    if (extended()) {
        clock_seen_ = io_.clock_us();
        heard_at_ = clock_seen_;
    }
    for (uint8_t i = 0; i < line_capacity; ++i)
        line_[i] = 0;
    for (uint8_t i = 0; i < answer_capacity; ++i)
        answer_[i] = 0;
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
        answer_length_ = 0;
        answer_framed_ = streaming_;
        const line_outcome outcome = run_line();
        send_answer();
        if (extended() && (outcome == line_outcome::answered || outcome == line_outcome::applied)) {
            const uint32_t now = io_.clock_us();
            keep_time(now);
            heard_at_ = now;
        }
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
        // A tagged line ends in its tag; a classic one never does (its
        // numbers are digits, and a one-byte channel stands alone).
        const bool tagged = board_wire::is_tag(line_[length_ - 1]) && arg_length >= (line_[0] == 'X' ? 1 : 2);
        if (line_[0] == 'X') {
            if (tagged)
                return run_extension(arg, static_cast<uint8_t>(arg_length - 1), line_[length_ - 1]);
            return line_[1] == 'I' && arg_length == 0 ? identify() : line_outcome::ignored;
        }
        if (tagged)
            return run_tagged(line_[length_ - 1]);
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
    put_decimal(read_channel(channel));
    put(cr);
    put(lf);
    return line_outcome::answered;
}

line_outcome command_interpreter::digital_input(const char *arg, uint8_t length)
{
    int32_t pin = 0;
    if (!parse_decimal(arg, length, pin))
        return line_outcome::ignored;
    put(read_pin(pin) ? 1 : 0);
    return line_outcome::answered;
}

line_outcome command_interpreter::analog_output(const char *arg, uint8_t length)
{
    uint8_t pin = 0, duty = 0;
    if (!pwm_arguments(arg, length, pin, duty))
        return line_outcome::ignored;
    io_.write_pwm(pin, duty);
    return line_outcome::applied;
}

line_outcome command_interpreter::digital_output(const char *arg, uint8_t length)
{
    uint8_t pin = 0;
    bool high = false;
    if (!output_arguments(arg, length, pin, high))
        return line_outcome::ignored;
    io_.write_digital(pin, high);
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

// A classic command with its tag: the same arguments, the value and the tag
// for an answer, and the tag alone once an output is set.
line_outcome command_interpreter::run_tagged(char tag)
{
    const char *arg = line_ + 2;
    const uint8_t length = static_cast<uint8_t>(length_ - 3);
    if (line_[0] == 'E' && (line_[1] == 'A' || line_[1] == 'B')) {
        int32_t number = 0;
        if (!parse_decimal(arg, length, number))
            return line_outcome::ignored;
        if (line_[1] == 'A')
            put_decimal(read_channel(number));
        else
            put(read_pin(number) ? '1' : '0');
        put(static_cast<uint8_t>(tag));
        return line_outcome::answered;
    }
    if (line_[0] == 'S' && line_[1] == 'A') {
        uint8_t pin = 0, duty = 0;
        if (!pwm_arguments(arg, length, pin, duty))
            return line_outcome::ignored;
        io_.write_pwm(pin, duty);
        put(static_cast<uint8_t>(tag));
        return line_outcome::applied;
    }
    if (line_[0] == 'S' && line_[1] == 'B') {
        uint8_t pin = 0;
        bool high = false;
        if (!output_arguments(arg, length, pin, high))
            return line_outcome::ignored;
        io_.write_digital(pin, high);
        put(static_cast<uint8_t>(tag));
        return line_outcome::applied;
    }
    return line_outcome::ignored;
}

line_outcome command_interpreter::run_extension(const char *arg, uint8_t length, char tag)
{
    switch (line_[1]) {
    case 'A': return length == 0 ? scan_inputs(tag) : line_outcome::ignored;
    case 'K':
        if (length != 0)
            return line_outcome::ignored;
        keep_time(io_.clock_us());
        put_tagged(uptime_ms_, tag);
        return line_outcome::answered;
    case 'B': return change_rate(arg, length, tag);
    case 'S': return start_stream(arg, length, tag);
    case 'E': return length == 0 ? end_stream(tag) : line_outcome::ignored;
    default: return line_outcome::ignored;
    }
}

line_outcome command_interpreter::identify()
{
    for (const char *at = identity; text_byte(at) != 0; ++at)
        put(static_cast<uint8_t>(text_byte(at)));
    return line_outcome::answered;
}

line_outcome command_interpreter::scan_inputs(char tag)
{
    for (uint8_t input = 0; input < stream_frame::analog_inputs; ++input) {
        put_decimal(read_channel(input));
        put(',');
    }
    for (uint8_t input = 0; input < stream_frame::digital_inputs; ++input)
        put(read_pin(stream_frame::digital_pins[input]) ? '1' : '0');
    put(static_cast<uint8_t>(tag));
    return line_outcome::answered;
}

line_outcome command_interpreter::change_rate(const char *arg, uint8_t length, char tag)
{
    uint32_t baud = 0;
    if (!parse_natural(arg, length, baud))
        return line_outcome::ignored;
    // A stream's interval was allowed for the rate it started at.
    if (!board_wire::is_line_rate(baud) || streaming_) {
        put_tagged(0, tag);
        return line_outcome::answered;
    }
    put_tagged(baud, tag);
    send_answer();  // at the rate the host asked at
    move_line(baud);
    return line_outcome::answered;
}

void command_interpreter::move_line(uint32_t baud)
{
    if (baud == rate_)
        return;
    io_.set_line_rate(baud);
    rate_ = baud;
}

line_outcome command_interpreter::start_stream(const char *arg, uint8_t length, char tag)
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
        put_tagged(0, tag);
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
    put_tagged(interval, tag);
    return line_outcome::answered;
}

line_outcome command_interpreter::end_stream(char tag)
{
    put_tagged(sequence_, tag);
    streaming_ = false;
    return line_outcome::answered;
}

// The board's uptime follows its clock; the milliseconds are counted without
// a division, which would cost the AVR some 40 us in every loop.
void command_interpreter::keep_time(uint32_t now)
{
    uint32_t rest = uptime_rest_us_ + (now - clock_seen_);
    clock_seen_ = now;
    if (rest >= 64000) {
        uptime_ms_ += rest / 1000;
        rest %= 1000;
    }
    while (rest >= 1000) {
        rest -= 1000;
        ++uptime_ms_;
    }
    uptime_rest_us_ = static_cast<uint16_t>(rest);
}

void command_interpreter::forget_line()
{
    length_ = 0;
    overlong_ = false;
    line_done_ = false;
}

void command_interpreter::poll()
{
    if (!extended())
        return;
    const uint32_t now = io_.clock_us();
    keep_time(now);
    if ((rate_ != classic_rate || streaming_) && now - heard_at_ >= host_silence_us) {
        // Nobody is talking to this board any more: back to where every open
        // starts, and whatever half line came at the old rate is noise.
        streaming_ = false;
        if (rate_ != classic_rate) {
            move_line(classic_rate);
            forget_line();
        }
    }
    if (streaming_ && static_cast<int32_t>(now - next_tick_) >= 0)
        stream_tick(now);
}

bool command_interpreter::next_due(uint32_t &due_us) const
{
    if (!extended())
        return false;
    uint32_t due = clock_seen_ + clock_keeping_us;
    if (streaming_ && earlier(next_tick_, due))
        due = next_tick_;
    const uint32_t silent_at = heard_at_ + host_silence_us;
    if ((rate_ != classic_rate || streaming_) && earlier(silent_at, due))
        due = silent_at;
    due_us = due;
    return true;
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

void command_interpreter::put(uint8_t byte)
{
    if (answer_length_ < answer_capacity)
        answer_[answer_length_++] = byte;
}

// By subtracting powers of ten: the chip has no divider, and ten 32-bit
// divisions (an uptime's digits) take longer than a stream's shortest
// interval, which would cost the stream a tick.
void command_interpreter::put_decimal(uint32_t value)
{
    static const uint32_t powers[] BOARD_TEXT = {1000000000u, 100000000u, 10000000u, 1000000u, 100000u,
                                                 10000u,      1000u,      100u,      10u};
    bool leading = true;
    for (const uint32_t &entry : powers) {
        const uint32_t power = table_word(&entry);
        uint8_t digit = 0;
        while (value >= power) {
            value -= power;
            ++digit;
        }
        if (digit != 0 || !leading) {
            put(static_cast<uint8_t>('0' + digit));
            leading = false;
        }
    }
    put(static_cast<uint8_t>('0' + value));
}

void command_interpreter::put_tagged(uint32_t value, char tag)
{
    put_decimal(value);
    put(static_cast<uint8_t>(tag));
}

void command_interpreter::send_answer()
{
    if (answer_length_ == 0)
        return;
    if (answer_framed_) {
        uint8_t frame[answer_capacity + stream_frame::header_bytes + stream_frame::crc_bytes];
        io_.send_bytes(frame, stream_frame::encode_text(frame, answer_, answer_length_));
    } else {
        io_.send_bytes(answer_, answer_length_);
    }
    answer_length_ = 0;
}
