#include "pin_model.h"

#include "firmware_image.h"

extern "C" {
#include <avr_adc.h>
#include <avr_ioport.h>
#include <sim_avr.h>
#include <sim_io.h>
#include <sim_irq.h>
}

namespace {

// Where an Uno's pins 0..13 live: port and bit.
struct port_bit {
    char port;
    uint8_t bit;
};

port_bit board_pin(int pin)
{
    return pin < 8 ? port_bit{'D', static_cast<uint8_t>(pin)} : port_bit{'B', static_cast<uint8_t>(pin - 8)};
}

// Data-space addresses of the ATmega328P's port registers.
uint16_t ddr_address(char port) { return port == 'B' ? 0x24 : port == 'C' ? 0x27 : 0x2A; }
uint16_t port_address(char port) { return static_cast<uint16_t>(ddr_address(port) + 1); }

// The timer output behind each PWM pin: the control register and the bits
// that connect the output, and the compare register.
struct pwm_output {
    int pin;
    uint16_t control;  // TCCRnA
    uint8_t connect;   // COMnx1:COMnx0
    uint16_t compare;  // OCRnx (low byte for timer 1)
};

constexpr pwm_output pwm_outputs[] = {
    {3, 0xB0, 0x30, 0xB4},  // OC2B
    {5, 0x44, 0x30, 0x48},  // OC0B
    {6, 0x44, 0xC0, 0x47},  // OC0A
    {9, 0x80, 0xC0, 0x88},  // OC1A
};

}  // namespace

pin_model::pin_model()
{
    for (uint32_t &mv : millivolts_)
        mv = 0;
    for (bool &high : input_)
        high = false;
}

namespace {

avr_irq_t *analog_irq(avr_t *avr, int channel)
{
    return avr_io_getirq(avr, AVR_IOCTL_ADC_GETIRQ, ADC_IRQ_ADC0 + channel);
}

avr_irq_t *pin_irq(avr_t *avr, int pin)
{
    const port_bit where = board_pin(pin);
    return avr_io_getirq(avr, AVR_IOCTL_IOPORT_GETIRQ(where.port), where.bit);
}

}  // namespace

uint16_t chip_reading(uint32_t millivolts)
{
    const uint32_t reading = millivolts * 1024 / chip_millivolts;
    return static_cast<uint16_t>(reading > 1023 ? 1023 : reading);
}

// The smallest value that simavr's floor(value x 1023 / 5000) turns into the
// chip's reading; it stays below the next reading's, as 5000 / 1023 > 1.
uint32_t simavr_millivolts(uint32_t millivolts)
{
    const uint32_t reading = chip_reading(millivolts);
    return (reading * chip_millivolts + 1022) / 1023;
}

void pin_model::apply(avr_t *avr)
{
    for (int channel = 0; channel < analog_input_count; ++channel)
        avr_raise_irq(analog_irq(avr, channel), simavr_millivolts(millivolts_[channel]));
    for (int pin = first_board_pin; pin <= last_board_pin; ++pin) {
        // A pin the firmware drives keeps its own level.
        if (output_level(avr, pin) >= 0)
            continue;
        avr_raise_irq(pin_irq(avr, pin), input_[pin] ? 1 : 0);
    }
    dirty_ = false;
}

void pin_model::apply_after_reset(avr_t *avr)
{
    // A reset clears the pin registers but not the IRQs' last values, and
    // simavr drops a raise that repeats the last value: marked as never
    // raised, each one reaches the fresh registers again.
    for (int channel = 0; channel < analog_input_count; ++channel)
        analog_irq(avr, channel)->flags |= IRQ_FLAG_INIT;
    for (int pin = first_board_pin; pin <= last_board_pin; ++pin)
        pin_irq(avr, pin)->flags |= IRQ_FLAG_INIT;
    apply(avr);
}

int pin_model::output_level(const avr_t *avr, int pin)
{
    const port_bit where = board_pin(pin);
    if (!(avr->data[ddr_address(where.port)] & (1 << where.bit)))
        return -1;
    return (avr->data[port_address(where.port)] >> where.bit) & 1;
}

int pin_model::pwm_duty(const avr_t *avr, int pin)
{
    const int level = output_level(avr, pin);
    if (level < 0)
        return -1;
    for (const pwm_output &output : pwm_outputs) {
        if (output.pin == pin && (avr->data[output.control] & output.connect) != 0)
            return avr->data[output.compare];
    }
    return level ? 255 : 0;
}
