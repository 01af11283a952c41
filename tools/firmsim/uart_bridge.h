// UART0 of the chip bridged to the master side of the pseudo-terminal that
// plays the board's USB serial line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

struct avr_t;

class uart_bridge {
public:
    // Bytes taken from the host but not yet given to the chip. Like the USB
    // serial chip of a board, the bridge holds only a little: the rest stays
    // in the terminal, so a host that writes faster than the line carries
    // finds the device full, as on a real board.
    static constexpr size_t host_queue_limit = 64;
    // Answer bytes the host has not read yet; beyond this they are lost, as
    // on a real line whose reader does not read.
    static constexpr size_t chip_queue_limit = 4096;

    explicit uart_bridge(int master);

    // Hooks the chip's UART0 IRQs; again after every reset, which also turns
    // off simavr's console echo and its polling sleeps.
    void attach(avr_t *avr);

    // Whether a host holds the terminal's slave open; looks without waiting.
    bool host_present();

    // Moves bytes: from the terminal into the queue (as far as it has room)
    // and from the chip's answers to the terminal. With `discard`, what the
    // host sends is thrown away, as a board that does not run loses it.
    void exchange_with_host(bool discard);

    // Gives queued bytes to the chip while its UART takes them: only once the
    // sketch has enabled the receiver, and never after XOFF until XON.
    void feed_chip();

    // Forgets what waits in both directions (a reset of the board).
    void clear();

    bool host_has_room() const { return to_chip_.size() < host_queue_limit; }
    bool host_output_waiting() const { return !to_host_.empty(); }

    uint64_t bytes_to_chip() const { return fed_; }
    uint64_t bytes_from_chip() const { return sent_; }

private:
    static void on_output(struct avr_irq_t *irq, uint32_t value, void *param);
    static void on_xon(struct avr_irq_t *irq, uint32_t value, void *param);
    static void on_xoff(struct avr_irq_t *irq, uint32_t value, void *param);
    bool receiver_enabled() const;

    int master_;
    avr_t *avr_ = nullptr;
    struct avr_irq_t *input_irq_ = nullptr;
    std::deque<uint8_t> to_chip_;
    std::string to_host_;
    bool xoff_ = false;
    bool feeding_ = false;
    uint64_t fed_ = 0, sent_ = 0;
};
