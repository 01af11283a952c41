#include "uart_bridge.h"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

extern "C" {
#include <avr_uart.h>
#include <sim_avr.h>
#include <sim_io.h>
#include <sim_irq.h>
}

namespace {

constexpr uint16_t ucsr0b = 0xC1;  // UART0 control register B
constexpr uint8_t rxen0 = 1 << 4;   // receiver enable

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
    }
    // The reset turns both on: the echo would print the firmware's answers on
    // our standard output, the sleeps would upset the pacing.
    uint32_t flags = 0;
    avr_ioctl(avr, AVR_IOCTL_UART_GET_FLAGS('0'), &flags);
    flags &= ~static_cast<uint32_t>(AVR_UART_FLAG_STDIO | AVR_UART_FLAG_POLL_SLEEP);
    avr_ioctl(avr, AVR_IOCTL_UART_SET_FLAGS('0'), &flags);
    xoff_ = false;
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
        if (!discard)
            to_chip_.insert(to_chip_.end(), bytes, bytes + count);
    }
    while (!to_host_.empty()) {
        const ssize_t written = write(master_, to_host_.data(), to_host_.size());
        if (written > 0) {
            to_host_.erase(0, static_cast<size_t>(written));
            continue;
        }
        if (written < 0 && (errno == EAGAIN || errno == EINTR))
            break;
        to_host_.clear();  // nobody holds the line: the answer is lost, as on a wire
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
    to_host_.clear();
    xoff_ = false;
}

void uart_bridge::on_output(struct avr_irq_t *, uint32_t value, void *param)
{
    auto *bridge = static_cast<uart_bridge *>(param);
    ++bridge->sent_;
    if (bridge->to_host_.size() < chip_queue_limit)
        bridge->to_host_.push_back(static_cast<char>(value));
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
