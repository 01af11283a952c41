// The board's command interpreter: turns the bytes that arrive on the serial
// line into readings and output settings. The same source runs on the board
// (compiled into the sketch) and on the host (the emulator, the tests' fake
// board), so it uses no standard library, no heap and no exceptions, and stays
// within C++11 for the AVR compiler.
//
// The line starts at 9600 baud 8N1. Commands, one per line (a line ends at CR
// or LF); numbers are decimal.
//
// Classic commands, which every sketch for the driver knows:
//   EA<channel>      analog reading, answered as decimal digits, CR, LF;
//                    a channel the board lacks is answered 0
//   EB<pin>          digital level of a pin, answered as ONE byte 0x00/0x01
//   SA<pin><value>   PWM duty on pin 3, 5, 6 or 9, clamped to 0..255
//   SB<code><0|1>    digital output on pin 2..13, pin as one hex digit
//
// Extensions (protocol 3, board_wire.h), which a classic sketch ignores as
// unknown lines: it reads only lines that start with EA, EB, SA or SB, and
// the tagged forms never parse as its commands. Numbers have no sign and no
// leading zero; a line that does not parse is ignored like any unknown one.
// Built with ARDUINODRV_BOARD_CLASSIC, this interpreter is a classic one: it
// answers none of them.
//   XI               identify: "XI arduinodrv-board 3 tag,baud,stream,scan,keep"
//                    CR LF (the sketch's name, protocol version, its features)
//
// Every other extension is tagged: the command, then one tag letter a..z,
// then the line end. Its answer is the value (if any) followed by the same
// tag, and nothing else: no line end, nothing of the request repeated. The
// tag, the answer's last byte, ends it.
//   EA<channel><tag> "<reading><tag>": "EA3k" is answered "512k" (a channel
//                    the board lacks reads 0)
//   EB<pin><tag>     "<0|1><tag>": the level as a digit (a pin it may not read
//                    reads 0)
//   SA<pin><value><tag>, SB<code><0|1><tag>
//                    the classic output commands, confirmed once applied:
//                    "<tag>"
//   XA<tag>          every input at once: "<a0>,<a1>,<a2>,<a3>,<a4>,<a5>,<d>"
//                    then the tag, a0..a5 the analog inputs in decimal and d
//                    four digits 0/1 for the digital inputs 0-3 (pins 2, 4, 7,
//                    8): "512,0,1023,7,13,600,0101k"
//   XK<tag>          "<uptime><tag>": the board's milliseconds since it
//                    started (wrapping at 2^32), so a host sees a restart and
//                    the board sees its host
//   XB<rate><tag>    move the line to 9600, 250000, 500000 or 1000000 baud:
//                    answered "<rate><tag>" at the current rate, then the
//                    board moves once that answer has left; any other rate,
//                    or a stream running: "0<tag>", and nothing changes
//   XS<amask>,<dmask>,<interval_us><tag>
//                    start a stream: amask 0..63 (bit n = analog input n),
//                    dmask 0..15 (bit n = digital input n: pins 2, 4, 7, 8),
//                    one of them not 0; interval_us from
//                    stream_frame::shortest_interval_us(amask, dmask, rate) to
//                    stream_frame::longest_interval_us. Answered
//                    "<interval><tag>", or "0<tag>" when refused (a mask out
//                    of range or both empty, an interval out of range, a
//                    stream running). Then one binary frame (stream_frame.h)
//                    every interval: frame n is sampled at the board's tick
//                    t0 + (n + 1) x interval, t0 the board's microsecond clock
//                    when it answered, and carries that tick's time, so the
//                    board times are exactly the interval apart (modulo 2^32).
//                    The analog inputs are converted one after another from
//                    the tick (about 111 us each), the digital ones read
//                    after them. A frame that finds no room in the serial
//                    buffer at its tick is dropped, and ticks that the board
//                    fell more than one interval behind are skipped: either
//                    way their sequence numbers are used, so the host counts
//                    them lost.
//   XE<tag>          end the stream: "<frames><tag>" after every frame already
//                    sent, frames being the sequence numbers the last stream
//                    used (the last frame's sequence + 1; 0 when none ran
//                    since the start). Asked again, the same count.
//
// While a stream runs, requests are answered between two frames, each answer
// in a text frame of its own (stream_frame.h): an answer is framed when a
// stream was running as its line arrived (the identity and the classic
// answers too).
//
// The host's silence (board_wire::host_silence_ms): at a rate other than
// 9600, or while a stream runs, the board ends the stream and goes back to
// 9600 by itself, silently, once no line it understands (one it answered or
// applied) has come for that long. A rate that the host did not follow, an
// answer it did not hear, or a host that died: both ends are at 9600 with no
// stream that long after its last line.
//
// Empty lines, unknown or malformed lines and lines longer than the buffer are
// ignored; nothing is ever sent unasked except a running stream's frames.
#ifndef ARDUINODRV_BOARD_PROTOCOL_H
#define ARDUINODRV_BOARD_PROTOCOL_H

#include <stdint.h>

#include "board_wire.h"
#include "stream_frame.h"

// What the interpreter needs from the board it runs on.
class board_io {
public:
    virtual uint16_t read_analog(uint8_t channel) = 0;       // channel < analog count
    virtual bool read_digital(uint8_t pin) = 0;              // pin 2..13
    virtual void write_pwm(uint8_t pin, uint8_t duty) = 0;   // pin 3, 5, 6 or 9
    virtual void write_digital(uint8_t pin, bool high) = 0;  // pin 2..13
    virtual void send(uint8_t byte) = 0;                     // one answer byte
    // Several at once (a stream's frame); a board may do it faster.
    virtual void send_bytes(const uint8_t *bytes, uint8_t count)
    {
        for (uint8_t i = 0; i < count; ++i)
            send(bytes[i]);
    }

    // For the extensions:
    virtual uint32_t clock_us() = 0;  // the board's microsecond clock, wrapping at 2^32
    // Moves the line to `baud` once every byte sent so far has left.
    virtual void set_line_rate(uint32_t baud) = 0;
    // Bytes that send() takes now without waiting for the line.
    virtual uint16_t send_room() = 0;

protected:
    // Never deleted through this interface; a non-virtual destructor keeps the
    // AVR build free of operator delete.
    ~board_io() {}
};

// What became of a completed line; lets a host program log the traffic.
enum class line_outcome : uint8_t {
    none,      // the byte did not complete a line, or the line was empty
    answered,  // an answer was sent
    applied,   // an output was set
    ignored,   // unknown or malformed line, or a pin that may not be driven
    dropped,   // longer than the buffer: thrown away whole
};

// Which protocol the interpreter speaks: the classic commands alone, or the
// extensions too. A build with ARDUINODRV_BOARD_CLASSIC is always classic.
enum class sketch_kind : uint8_t { classic, extended };

class command_interpreter {
public:
    // The longest line the driver sends is "XS63,15,1000000000k" (19 bytes).
    static const uint8_t line_capacity = 32;
    // The longest answer: the identity line.
    static const uint8_t answer_capacity = stream_frame::longest_text;
    static const uint8_t first_digital_pin = 2;  // pins 0 and 1 carry the serial line
    static const uint8_t last_digital_pin = 13;
    static const uint32_t classic_rate = board_wire::classic_rate;

    // analog_channels: how many analog inputs the board has (6 on an Uno).
    command_interpreter(board_io &io, uint8_t analog_channels, sketch_kind kind = sketch_kind::extended);

    // Takes one received byte; runs the line when the byte ends it.
    line_outcome feed(uint8_t byte);

    // Does what is due on the board's clock: the stream's frame at its tick,
    // the return to classic_rate when the host has gone silent. The sketch
    // calls it in every loop; a host plays it at next_due().
    void poll();
    // When poll() has work next, on io.clock_us(); false while nothing waits
    // (a classic interpreter). An extended one keeps its uptime, and has
    // work at least every minute.
    bool next_due(uint32_t &due_us) const;

    // The last completed line (without its line end), valid until the next
    // feed(); for a dropped line, only its first line_capacity bytes.
    const char *line() const { return line_; }
    uint8_t line_length() const { return length_; }

    bool extended() const;
    uint32_t line_rate() const { return rate_; }
    bool streaming() const { return streaming_; }
    // Of the stream running or last run: sequence numbers used, and of them
    // the frames dropped or skipped (never sent).
    uint32_t frames_used() const { return sequence_; }
    uint32_t frames_dropped() const { return dropped_; }
    // Milliseconds since the interpreter started, as XK tells them.
    uint32_t uptime_ms() const { return uptime_ms_; }

private:
    line_outcome run_line();
    line_outcome analog_input(const char *arg, uint8_t length);
    line_outcome digital_input(const char *arg, uint8_t length);
    line_outcome analog_output(const char *arg, uint8_t length);
    line_outcome digital_output(const char *arg, uint8_t length);
    line_outcome run_tagged(char tag);
    line_outcome run_extension(const char *arg, uint8_t length, char tag);
    line_outcome identify();
    line_outcome scan_inputs(char tag);
    line_outcome change_rate(const char *arg, uint8_t length, char tag);
    line_outcome start_stream(const char *arg, uint8_t length, char tag);
    line_outcome end_stream(char tag);
    void move_line(uint32_t baud);
    void stream_tick(uint32_t now);
    void keep_time(uint32_t now);
    void forget_line();
    // The answer to the line being run, gathered here and sent whole when
    // the line is done (or before the line moves): framed when a stream ran
    // as the line came.
    void put(uint8_t byte);
    void put_decimal(uint32_t value);
    void put_tagged(uint32_t value, char tag);
    void send_answer();
    uint16_t read_channel(int32_t channel);
    bool read_pin(int32_t pin);

    board_io &io_;
    uint8_t analog_channels_;
    bool extended_;
    char line_[line_capacity];
    uint8_t length_;
    bool overlong_;
    bool line_done_;  // the buffer holds a finished line, cleared on the next byte

    uint8_t answer_[answer_capacity];
    uint8_t answer_length_;
    bool answer_framed_;

    uint32_t rate_;
    uint32_t heard_at_;  // clock_us() of the last line understood

    uint32_t clock_seen_;  // clock_us() when the uptime was last kept
    uint32_t uptime_ms_;
    uint16_t uptime_rest_us_;

    bool streaming_;
    uint8_t amask_, dmask_;
    uint8_t frame_size_;
    uint32_t interval_us_;
    uint32_t next_tick_;  // clock_us() of the next frame's tick
    uint32_t sequence_;   // the next frame's sequence number
    uint32_t dropped_;
};

#endif
