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

// The serial line, driven here rather than by the core's Serial: sending
// costs a few cycles a byte into the buffer and an interrupt of about 3 us to
// the UART (the core's Serial cost some 20 us a byte, which could not keep six
// inputs at 1 kHz), and the interrupts send while the converter works. 8N1,
// 64-byte buffers each way; a byte that comes when the receive buffer is full
// is lost, as with the core's.
namespace line {

const uint8_t size = 64;  // a power of two
const uint8_t mask = size - 1;

volatile uint8_t received[size];
volatile uint8_t received_head = 0, received_tail = 0;
volatile uint8_t sending[size];
volatile uint8_t sending_head = 0, sending_tail = 0;
bool sent = false;

// The core's divisor with double speed: exact for 250000, 500000 and
// 1000000 baud, 9615 for 9600.
void begin(uint32_t baud) {
    const uint16_t divisor = static_cast<uint16_t>((F_CPU / 4 / baud - 1) / 2);
    UCSR0A = _BV(U2X0);
    UBRR0H = static_cast<uint8_t>(divisor >> 8);
    UBRR0L = static_cast<uint8_t>(divisor);
    UCSR0C = _BV(UCSZ01) | _BV(UCSZ00);
    UCSR0B = _BV(RXEN0) | _BV(TXEN0) | _BV(RXCIE0);
}

bool available() { return received_head != received_tail; }

uint8_t read() {
    const uint8_t byte = received[received_tail];
    received_tail = static_cast<uint8_t>((received_tail + 1) & mask);
    return byte;
}

// Bytes put() takes without waiting for the line.
uint16_t room() { return static_cast<uint8_t>((sending_tail - sending_head - 1) & mask); }

// The interrupt sends what the buffer holds.
void start() {
    UCSR0B |= _BV(UDRIE0);
    sent = true;
}

// Into the buffer; start() sends it (a stream's frame goes in whole first,
// without an interrupt between its bytes).
void put(uint8_t byte) {
    const uint8_t next = static_cast<uint8_t>((sending_head + 1) & mask);
    if (next == sending_tail) {
        start();
        while (next == sending_tail) {
            // Full: the interrupt makes room.
        }
    }
    sending[sending_head] = byte;
    sending_head = next;
}

// Returns once every byte has left the UART's shift register.
void flush() {
    while (sending_head != sending_tail) {
    }
    if (sent)
        while (!(UCSR0A & _BV(TXC0))) {
        }
}

}  // namespace line

ISR(USART_RX_vect)
{
    const bool parity_error = UCSR0A & _BV(UPE0);
    const uint8_t byte = UDR0;
    const uint8_t next = static_cast<uint8_t>((line::received_head + 1) & line::mask);
    if (parity_error || next == line::received_tail)
        return;
    line::received[line::received_head] = byte;
    line::received_head = next;
}

ISR(USART_UDRE_vect)
{
    if (line::sending_tail == line::sending_head) {
        UCSR0B &= static_cast<uint8_t>(~_BV(UDRIE0));  // put() raced this: nothing left
        return;
    }
    // Clearing "transmit complete" with each byte lets flush() tell when the
    // last one has left; U2X0 keeps the rate.
    UCSR0A = static_cast<uint8_t>((UCSR0A & _BV(U2X0)) | _BV(TXC0));
    UDR0 = line::sending[line::sending_tail];
    line::sending_tail = static_cast<uint8_t>((line::sending_tail + 1) & line::mask);
    if (line::sending_tail == line::sending_head)
        UCSR0B &= static_cast<uint8_t>(~_BV(UDRIE0));
}

class sketch_board : public board_io {
public:
    uint16_t read_analog(uint8_t channel) override { return analogRead(channel); }

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

    void send(uint8_t byte) override {
        line::put(byte);
        line::start();
    }
    void send_bytes(const uint8_t *bytes, uint8_t count) override {
        for (uint8_t i = 0; i < count; ++i)
            line::put(bytes[i]);
        line::start();
    }

    uint32_t clock_us() override { return micros(); }

    // The answer that announces the move leaves at the old rate.
    void set_line_rate(uint32_t baud) override {
        line::flush();
        line::begin(baud);
    }

    uint16_t send_room() override { return line::room(); }
};

sketch_board board;
command_interpreter interpreter(board, NUM_ANALOG_INPUTS);

void setup()
{
    // Every pin starts as an input (the reset state); outputs become outputs
    // when the driver first sets them, so nothing is driven before it asks.
    line::begin(command_interpreter::classic_rate);
}

void loop()
{
    // A byte at a time with the clock's work between, so that a flood of
    // bytes never holds up the stream's ticks.
    if (line::available())
        interpreter.feed(line::read());
    interpreter.poll();
}
