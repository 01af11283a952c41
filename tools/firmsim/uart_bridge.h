// UART0 of the chip bridged to the master side of the pseudo-terminal that
// plays the board's USB serial line.
//
// Where simavr's UART0 differs from the chip's in a way that a firmware or a
// host can tell, the bridge corrects it:
// - a character takes its own bits at the rate (10 for 8N1), where simavr
//   always counts a parity bit (11), a line a tenth slower than the board's;
// - the data register reads empty (UDRE0) while nothing waits to be sent:
//   simavr starts with the flag clear, clears it when the transmitter is
//   turned off (the core's init() does) and sets it again only after a
//   byte, which would hang a firmware that sends by polling the flag.
// And it plays the rates of a real line: once the chip's rate or the one the
// host set on its terminal is a fast one (above 115200 baud), bytes cross
// only when both ends are at the same rate (within 3 %); otherwise each
// byte arrives as a junk byte, as on a wire. At the classic rates any
// setting carries, as it always has: a pseudo-terminal has no rate, and
// hosts that never set one (38400) keep working.

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
    // Bytes from the chip that the host has not read yet, beyond the
    // terminal's own 20 KB: together about what the kernel holds for a real
    // USB serial device (64 KB and its line discipline's 4 KB). Beyond,
    // they are lost, as on a real line whose reader does not read.
    static constexpr size_t chip_queue_limit = 48 * 1024;
    // The fast rates start above this one.
    static constexpr uint32_t classic_rate_limit = 115200;

    explicit uart_bridge(int master);

    // Hooks the chip's UART0 IRQs and registers; again after every reset,
    // which also turns off simavr's console echo and its polling sleeps.
    void attach(avr_t *avr);

    // Whether a host holds the terminal's slave open; looks without waiting.
    bool host_present();

    // Moves bytes: from the terminal into the queue (as far as it has room)
    // and from the chip to the terminal, each once its last bit has left
    // the chip (as a real receiver has it). With `discard`, what the host
    // sends is thrown away, as a board that does not run loses it.
    void exchange_with_host(bool discard);

    // Gives queued bytes to the chip while its UART takes them: only once the
    // sketch has enabled the receiver, and never after XOFF until XON.
    void feed_chip();

    // Forgets what waits in both directions (a reset of the board).
    void clear();

    bool host_has_room() const { return to_chip_.size() < host_queue_limit; }
    bool host_output_waiting() const { return to_host_taken_ < to_host_.size(); }

    uint64_t bytes_to_chip() const { return fed_; }
    uint64_t bytes_from_chip() const { return sent_; }
    // Bytes from the chip thrown away because the host did not read them.
    uint64_t bytes_lost() const { return lost_; }
    // Bytes that crossed between ends at different rates (as junk).
    uint64_t bytes_garbled() const { return garbled_; }
    // The rate the firmware set on UART0, in bits a second (0 before it did).
    uint32_t chip_rate() const;

private:
    static void on_output(struct avr_irq_t *irq, uint32_t value, void *param);
    static void on_line_setting(struct avr_t *avr, uint16_t addr, uint8_t value, void *param);
    void retime();
    bool rates_match(uint32_t chip, uint32_t host) const;
    uint8_t junk();
    static void on_xon(struct avr_irq_t *irq, uint32_t value, void *param);
    static void on_xoff(struct avr_irq_t *irq, uint32_t value, void *param);
    bool receiver_enabled() const;

    int master_;
    avr_t *avr_ = nullptr;
    struct avr_uart_t *uart_ = nullptr;
    struct avr_irq_t *input_irq_ = nullptr;
    std::deque<uint8_t> to_chip_;
    struct leaving {
        uint64_t done_cycle;  // its stop bit is over
        uint32_t rate;        // the chip's rate as it left
        uint8_t byte;
    };
    std::deque<leaving> leaving_;  // from the chip, still on the wire
    std::string to_host_;
    size_t to_host_taken_ = 0;  // bytes at the front of to_host_ already written
    bool xoff_ = false;
    bool feeding_ = false;
    uint64_t fed_ = 0, sent_ = 0, lost_ = 0, garbled_ = 0;
    uint32_t junk_state_ = 0x2545F491;
};
