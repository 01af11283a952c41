#include "uart_bridge.h"

#include "serial/line_rate.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <type_traits>
#include <unistd.h>

extern "C" {
#include <avr_uart.h>
#include <sim_avr.h>
#include <sim_io.h>
#include <sim_irq.h>
}

namespace {

// UART0's registers and bits.
constexpr uint16_t ucsr0a = 0xC0;
constexpr uint8_t u2x0 = 1 << 1;    // double speed
constexpr uint8_t udre0 = 1 << 5;   // data register empty
constexpr uint16_t ucsr0b = 0xC1;
constexpr uint8_t ucsz02 = 1 << 2;  // 9 data bits, with UCSZ01:0
constexpr uint8_t txen0 = 1 << 3;   // transmitter enable
constexpr uint8_t rxen0 = 1 << 4;   // receiver enable
constexpr uint16_t ucsr0c = 0xC2;   // UPM01:0 (parity) bits 5:4, USBS0 bit 3, UCSZ01:0 bits 2:1
constexpr uint16_t ubrr0l = 0xC4;
constexpr uint16_t ubrr0h = 0xC5;

static_assert(std::is_same_v<avr_io_addr_t, uint16_t>, "the register hook's type");

// The UART0 part of the chip: its timing is corrected in place.
avr_uart_t *uart0(avr_t *avr)
{
    for (avr_io_t *io = avr->io_port; io != nullptr; io = io->next) {
        if (io->kind != nullptr && std::strcmp(io->kind, "uart") == 0 && reinterpret_cast<avr_uart_t *>(io)->name == '0')
            return reinterpret_cast<avr_uart_t *>(io);
    }
    return nullptr;
}

uint32_t cycles_per_bit(const avr_t *avr)
{
    const uint32_t ubrr = avr->data[ubrr0l] | ((avr->data[ubrr0h] & 0x0Fu) << 8);
    return (ubrr + 1) * ((avr->data[ucsr0a] & u2x0) ? 8 : 16);
}

// Start bit, data bits, parity bit if any, stop bits.
uint32_t bits_per_character(const avr_t *avr)
{
    static const uint32_t data_bits[8] = {5, 6, 7, 8, 8, 8, 8, 9};
    const uint8_t control = avr->data[ucsr0c];
    const uint32_t size = ((control >> 1) & 3u) | ((avr->data[ucsr0b] & ucsz02) ? 4u : 0u);
    const uint32_t parity = ((control >> 4) & 3u) != 0 ? 1 : 0;
    const uint32_t stop = (control & (1 << 3)) ? 2 : 1;
    return 1 + data_bits[size] + parity + stop;
}

bool fast(uint32_t baud)
{
    return baud > uart_bridge::classic_rate_limit;
}

}  // namespace

uart_bridge::uart_bridge(int master) : master_(master) {}

void uart_bridge::attach(avr_t *avr)
{
    if (avr_ != avr) {
        avr_ = avr;
        input_irq_ = avr_io_getirq(avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_INPUT);
        avr_irq_register_notify(avr_io_getirq(avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUTPUT), on_output, this);
        avr_irq_register_notify(avr_io_getirq(avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUT_XON), on_xon, this);
        avr_irq_register_notify(avr_io_getirq(avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUT_XOFF), on_xoff, this);
        // After simavr's own handlers (which these share), or alone (UCSR0C).
        uart_ = uart0(avr);
        if (uart_ != nullptr) {
            for (uint16_t setting : {ubrr0l, ucsr0b, ucsr0c})
                avr_register_io_write(avr, setting, on_line_setting, this);
        }
    }
    // The reset turns both on: the echo would print the firmware's answers on
    // our standard output, the sleeps would upset the pacing.
    uint32_t flags = 0;
    avr_ioctl(avr, AVR_IOCTL_UART_GET_FLAGS('0'), &flags);
    flags &= ~static_cast<uint32_t>(AVR_UART_FLAG_STDIO | AVR_UART_FLAG_POLL_SLEEP);
    avr_ioctl(avr, AVR_IOCTL_UART_SET_FLAGS('0'), &flags);
    // The chip starts with its data register empty (UCSR0A reads 0x20).
    avr->data[ucsr0a] |= udre0;
    xoff_ = false;
}

void uart_bridge::on_line_setting(avr_t *avr, uint16_t addr, uint8_t value, void *param)
{
    auto *bridge = static_cast<uart_bridge *>(param);
    if (addr == ucsr0c)
        avr->data[addr] = value;  // no handler of simavr's stores it
    bridge->retime();
    // Nothing waits to be sent: the data register is empty, whatever simavr
    // did with the flag when the transmitter was switched.
    if ((avr->data[ucsr0b] & txen0) && bridge->uart_->tx_cnt == 0)
        avr->data[ucsr0a] |= udre0;
}

void uart_bridge::retime()
{
    uart_->cycles_per_byte = cycles_per_bit(avr_) * bits_per_character(avr_);
}

uint32_t uart_bridge::chip_rate() const
{
    if (avr_ == nullptr || (avr_->data[ubrr0l] == 0 && avr_->data[ubrr0h] == 0 && !(avr_->data[ucsr0b] & txen0)))
        return 0;
    return static_cast<uint32_t>((avr_->frequency + cycles_per_bit(avr_) / 2) / cycles_per_bit(avr_));
}

bool uart_bridge::rates_match(uint32_t chip, uint32_t host) const
{
    if (!fast(chip) && !fast(host))
        return true;
    const uint32_t apart = chip > host ? chip - host : host - chip;
    return static_cast<uint64_t>(apart) * 100 <= static_cast<uint64_t>(host) * 3;
}

// What a receiver at the wrong rate makes of a byte: framing errors and
// bits that mean nothing. Pseudo-random, so a test sees noise of every kind.
uint8_t uart_bridge::junk()
{
    junk_state_ ^= junk_state_ << 13;
    junk_state_ ^= junk_state_ >> 17;
    junk_state_ ^= junk_state_ << 5;
    ++garbled_;
    return static_cast<uint8_t>(junk_state_ >> 24);
}

bool uart_bridge::host_present()
{
    // The master reports a hang-up for as long as nobody holds the slave.
    pollfd master{master_, 0, 0};
    return poll(&master, 1, 0) >= 0 && !(master.revents & (POLLHUP | POLLERR));
}

void uart_bridge::exchange_with_host(bool discard)
{
    uint8_t bytes[256];
    for (;;) {
        size_t room = discard ? sizeof bytes : host_queue_limit - to_chip_.size();
        if (room == 0)
            break;
        if (room > sizeof bytes)
            room = sizeof bytes;
        const ssize_t count = read(master_, bytes, room);
        if (count <= 0)
            break;
        if (discard)
            continue;
        const bool carried = rates_match(chip_rate(), descriptor_rate(master_));
        for (ssize_t i = 0; i < count; ++i)
            to_chip_.push_back(carried ? bytes[i] : junk());
    }
    if (!leaving_.empty()) {
        const uint32_t host = descriptor_rate(master_);
        while (!leaving_.empty() && leaving_.front().done_cycle <= avr_->cycle) {
            const leaving &next = leaving_.front();
            to_host_.push_back(static_cast<char>(rates_match(next.rate, host) ? next.byte : junk()));
            leaving_.pop_front();
        }
    }
    while (to_host_taken_ < to_host_.size()) {
        const ssize_t written = write(master_, to_host_.data() + to_host_taken_, to_host_.size() - to_host_taken_);
        if (written > 0) {
            to_host_taken_ += static_cast<size_t>(written);
            continue;
        }
        if (written < 0 && (errno == EAGAIN || errno == EINTR))
            break;
        to_host_taken_ = to_host_.size();  // nobody holds the line: the answer is lost, as on a wire
    }
    // Written bytes leave the front now and then, not a few at a time.
    if (to_host_taken_ == to_host_.size()) {
        to_host_.clear();
        to_host_taken_ = 0;
    } else if (to_host_taken_ > 4096) {
        to_host_.erase(0, to_host_taken_);
        to_host_taken_ = 0;
    }
}

bool uart_bridge::receiver_enabled() const
{
    return avr_ != nullptr && (avr_->data[ucsr0b] & rxen0) != 0;
}

void uart_bridge::feed_chip()
{
    // XOFF arrives from inside avr_raise_irq when the UART's buffer fills,
    // and XON may come back the same way: never feed from within a feed.
    if (feeding_ || input_irq_ == nullptr)
        return;
    feeding_ = true;
    while (!xoff_ && !to_chip_.empty() && receiver_enabled()) {
        const uint8_t byte = to_chip_.front();
        to_chip_.pop_front();
        ++fed_;
        avr_raise_irq(input_irq_, byte);
    }
    feeding_ = false;
}

void uart_bridge::clear()
{
    to_chip_.clear();
    leaving_.clear();
    to_host_.clear();
    to_host_taken_ = 0;
    xoff_ = false;
}

void uart_bridge::on_output(struct avr_irq_t *, uint32_t value, void *param)
{
    auto *bridge = static_cast<uart_bridge *>(param);
    ++bridge->sent_;
    if (bridge->to_host_.size() - bridge->to_host_taken_ + bridge->leaving_.size() >= chip_queue_limit) {
        ++bridge->lost_;
        return;
    }
    // simavr tells of a byte as the firmware writes it; a host has it once
    // its last bit arrived.
    const uint64_t character = bridge->uart_ != nullptr ? bridge->uart_->cycles_per_byte : 0;
    bridge->leaving_.push_back({bridge->avr_->cycle + character, bridge->chip_rate(), static_cast<uint8_t>(value)});
}

void uart_bridge::on_xon(struct avr_irq_t *, uint32_t, void *param)
{
    auto *bridge = static_cast<uart_bridge *>(param);
    bridge->xoff_ = false;
    bridge->feed_chip();
}

void uart_bridge::on_xoff(struct avr_irq_t *, uint32_t, void *param)
{
    static_cast<uart_bridge *>(param)->xoff_ = true;
}
