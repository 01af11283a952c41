// Reference sketch for the arduinodrv driver: ATmega328P boards (Uno, Nano)
// on the USB serial line, at 9600 baud after every start. The command
// interpreter in board_protocol.cpp does the work (board_protocol.h tells the
// commands); this file only connects it to the pins, the clock and the line.
// Built with -DARDUINODRV_BOARD_CLASSIC it is a classic sketch, which knows
// only the driver's four commands.
//
// Analog inputs: A0..A5 (A6, A7 too on a Nano). Digital inputs read by the
// driver: pins 2, 4, 7, 8. PWM outputs: pins 3, 5, 6, 9. Digital outputs
// switched by the driver: pins 10..13.

#include "board_protocol.h"

// What the board sends goes through this buffer straight into the UART,
// without an interrupt a byte: the loop and the waits for the converter move
// the bytes, so a stream's frames leave while its next inputs are converted.
// (The core's Serial, which costs a send call and an interrupt of some 20 us
// a byte, could not keep six inputs at 1 kHz.) Serial still receives.
class line_out {
public:
    static const uint8_t capacity = 64;

    // Bytes put() takes without waiting for the line.
    uint16_t room() const { return static_cast<uint16_t>(capacity - count_); }

    void put(uint8_t byte) {
        while (count_ == capacity)
            move();
        buffer_[static_cast<uint8_t>(first_ + count_) % capacity] = byte;
        ++count_;
    }

    void put(const uint8_t *bytes, uint8_t count) {
        for (uint8_t i = 0; i < count; ++i)
            put(bytes[i]);
    }

    // Gives the UART the next byte when it has room for one.
    void move() {
        if (count_ == 0 || !(UCSR0A & _BV(UDRE0)))
            return;
        // Clear "transmit complete" with the byte, so that flush() can tell
        // when the last one has left; U2X0 keeps the rate.
        UCSR0A = static_cast<uint8_t>((UCSR0A & _BV(U2X0)) | _BV(TXC0));
        UDR0 = buffer_[first_];
        first_ = static_cast<uint8_t>((first_ + 1) % capacity);
        --count_;
        sent_ = true;
    }

    // Returns once every byte has left the UART's shift register.
    void flush() {
        while (count_ > 0)
            move();
        if (sent_)
            while (!(UCSR0A & _BV(TXC0))) {
            }
    }

private:
    uint8_t buffer_[capacity];
    uint8_t first_ = 0, count_ = 0;
    bool sent_ = false;
};

line_out out;

class sketch_board : public board_io {
public:
    // analogRead's conversion, with the bytes to send moving while the
    // converter works (13 ADC clocks at 125 kHz, about 104 us).
    uint16_t read_analog(uint8_t channel) override {
        ADMUX = static_cast<uint8_t>((DEFAULT << 6) | (channel & 0x07));
        ADCSRA |= _BV(ADSC);
        while (ADCSRA & _BV(ADSC))
            out.move();
        return ADC;
    }

    // Reads the port's input register rather than calling digitalRead, which
    // would stop a PWM output running on the pin.
    bool read_digital(uint8_t pin) override {
        const uint8_t port = digitalPinToPort(pin);
        if (port == NOT_A_PIN)
            return false;
        return (*portInputRegister(port) & digitalPinToBitMask(pin)) != 0;
    }

    void write_pwm(uint8_t pin, uint8_t duty) override { analogWrite(pin, duty); }

    void write_digital(uint8_t pin, bool high) override {
        pinMode(pin, OUTPUT);
        digitalWrite(pin, high ? HIGH : LOW);
    }

    void send(uint8_t byte) override { out.put(byte); }
    void send_bytes(const uint8_t *bytes, uint8_t count) override { out.put(bytes, count); }

    uint32_t clock_us() override { return micros(); }

    // The answer that announces the move leaves at the old rate.
    void set_line_rate(uint32_t baud) override {
        out.flush();
        Serial.begin(baud);
    }

    uint16_t send_room() override { return out.room(); }
};

sketch_board board;
command_interpreter interpreter(board, NUM_ANALOG_INPUTS);

void setup()
{
    // Every pin starts as an input (the reset state); outputs become outputs
    // when the driver first sets them, so nothing is driven before it asks.
    Serial.begin(command_interpreter::classic_rate);
}

void loop()
{
    // A byte at a time with the clock's work between, so that a flood of
    // bytes never holds up the stream's ticks.
    if (Serial.available() > 0)
        interpreter.feed(static_cast<uint8_t>(Serial.read()));
    interpreter.poll();
    out.move();
}
