// The board's command interpreter: turns the bytes that arrive on the serial
// line into readings and output settings. The same source runs on the board
// (compiled into the sketch) and on the host (the emulator, the tests' fake
// board), so it uses no standard library, no heap and no exceptions, and stays
// within C++11 for the AVR compiler.
//
// Commands, one per line (a line ends at CR or LF):
//   EA<channel>      analog reading, answered as decimal digits, CR, LF;
//                    a channel the board lacks is answered 0
//   EB<pin>          digital level of a pin, answered as ONE byte 0x00/0x01
//   SA<pin><value>   PWM duty on pin 3, 5, 6 or 9, clamped to 0..255
//   SB<code><0|1>    digital output on pin 2..13, pin as one hex digit
// Empty lines, unknown lines and lines longer than the buffer are ignored;
// nothing is ever sent unasked.
#ifndef ARDUINODRV_BOARD_PROTOCOL_H
#define ARDUINODRV_BOARD_PROTOCOL_H

#include <stdint.h>

// What the interpreter needs from the board it runs on.
class board_io {
public:
    virtual uint16_t read_analog(uint8_t channel) = 0;       // channel < analog count
    virtual bool read_digital(uint8_t pin) = 0;              // pin 2..13
    virtual void write_pwm(uint8_t pin, uint8_t duty) = 0;   // pin 3, 5, 6 or 9
    virtual void write_digital(uint8_t pin, bool high) = 0;  // pin 2..13
    virtual void send(uint8_t byte) = 0;                     // one answer byte

protected:
    // Never deleted through this interface; a non-virtual destructor keeps the
    // AVR build free of operator delete.
    ~board_io() {}
};

// What became of a completed line; lets a host program log the traffic.
enum class line_outcome : uint8_t {
    none,      // the byte did not complete a line, or the line was empty
    answered,  // a reading was sent
    applied,   // an output was set
    ignored,   // unknown or malformed line, or a pin that may not be driven
    dropped,   // longer than the buffer: thrown away whole
};

class command_interpreter {
public:
    // The longest line the driver sends is "SA6-2147483648" (14 bytes).
    static const uint8_t line_capacity = 32;
    static const uint8_t first_digital_pin = 2;  // pins 0 and 1 carry the serial line
    static const uint8_t last_digital_pin = 13;

    // analog_channels: how many analog inputs the board has (6 on an Uno).
    command_interpreter(board_io &io, uint8_t analog_channels);

    // Takes one received byte; runs the line when the byte ends it.
    line_outcome feed(uint8_t byte);

    // The last completed line (without its line end), valid until the next
    // feed(); for a dropped line, only its first line_capacity bytes.
    const char *line() const { return line_; }
    uint8_t line_length() const { return length_; }

private:
    line_outcome run_line();
    line_outcome analog_input(const char *arg, uint8_t length);
    line_outcome digital_input(const char *arg, uint8_t length);
    line_outcome analog_output(const char *arg, uint8_t length);
    line_outcome digital_output(const char *arg, uint8_t length);
    void send_decimal(uint16_t value);

    board_io &io_;
    uint8_t analog_channels_;
    char line_[line_capacity];
    uint8_t length_;
    bool overlong_;
    bool line_done_;  // the buffer holds a finished line, cleared on the next byte
};

#endif
