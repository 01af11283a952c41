// Reference sketch for the arduinodrv driver: ATmega328P boards (Uno, Nano)
// on the USB serial line at 9600 baud. The command interpreter in
// board_protocol.cpp does the work; this file only connects it to the pins.
//
// Analog inputs: A0..A5 (A6, A7 too on a Nano). Digital inputs read by the
// driver: pins 2, 4, 7, 8. PWM outputs: pins 3, 5, 6, 9. Digital outputs
// switched by the driver: pins 10..13.

#include "board_protocol.h"

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

    void send(uint8_t byte) override { Serial.write(byte); }
};

sketch_board board;
command_interpreter interpreter(board, NUM_ANALOG_INPUTS);

void setup()
{
    // Every pin starts as an input (the reset state); outputs become outputs
    // when the driver first sets them, so nothing is driven before it asks.
    Serial.begin(9600);
}

void loop()
{
    while (Serial.available() > 0)
        interpreter.feed(static_cast<uint8_t>(Serial.read()));
}
