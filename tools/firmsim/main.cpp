// firmsim: a board's own firmware on an emulated ATmega328P, its serial line
// on a pseudo-terminal. See firmsim --help.
#include "control.h"
#include "firmware_image.h"
#include "monotonic_clock.h"
#include "options.h"
#include "pacing.h"
#include "pin_model.h"
#include "pty_link.h"
#include "report.h"
#include "stop_signals.h"
#include "uart_bridge.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <string>
#include <unistd.h>

extern "C" {
#include <sim_avr.h>
}

namespace {

// simavr's messages go to standard error, which keeps standard output for
// the path, the answers and the report; only its errors are worth showing.
void simavr_logger(avr_t *, const int level, const char *format, va_list arguments)
{
    if (level > LOG_ERROR)
        return;
    std::fputs("firmsim: simavr: ", stderr);
    std::vfprintf(stderr, format, arguments);
}

// The firmware has no use for the idle sleeps simavr would take: the pacer
// does the sleeping.
void no_sleep(avr_t *, avr_cycle_count_t) {}

constexpr double host_poll_s = 0.02;     // while nobody holds the slave, look this often
constexpr size_t control_line_limit = 256;

enum class chip_state { waiting, starting, running, halted };

const char *state_name(chip_state state)
{
    switch (state) {
    case chip_state::waiting: return "waiting";
    case chip_state::starting: return "starting";
    case chip_state::running: return "running";
    case chip_state::halted: return "halted";
    }
    return "";
}

class board {
public:
    board(const firmsim_options &options, avr_t *avr, int master)
        : options_(options), avr_(avr), bridge_(master), pins_(options.pins), pacer_(options.speed), master_(master)
    {
        avr_->sleep = no_sleep;
    }

    // Runs until a stop signal or "quit" (status_stopped), or until the
    // firmware halts or crashes the chip (status_chip_stopped).
    int run(const sigset_t &wait_mask)
    {
        while (!stop_signal && !quit_) {
            const double now = monotonic_s();
            follow_host(now);
            if (state_ == chip_state::running && !run_chip(now))
                return status_chip_stopped;
            bridge_.exchange_with_host(state_ == chip_state::halted);
            if (state_ == chip_state::running)
                bridge_.feed_chip();
            wait_for_work(wait_mask);
        }
        return status_stopped;
    }

    std::string report() const
    {
        board_status status;
        status.chip = state_name(state_);
        status.host_open = host_open_;
        status.sim_s = started_ ? static_cast<double>(avr_->cycle - start_cycle_) / chip_hz : 0;
        status.rx = bridge_.bytes_to_chip();
        status.tx = bridge_.bytes_from_chip();
        status.baud = bridge_.chip_rate();
        status.lost = bridge_.bytes_lost();
        status.garbled = bridge_.bytes_garbled();
        status.lags = pacer_.lags();
        status.lag_s = pacer_.lag_s();
        return report_line(status, pins_, started_ ? avr_ : nullptr);
    }

    // Why the chip stopped, for the message at exit.
    std::string stop_reason() const
    {
        char text[160];
        const double after_s = static_cast<double>(avr_->cycle - start_cycle_) / chip_hz;
        if (avr_->state == cpu_Crashed)
            std::snprintf(text, sizeof text, "crashed the chip after %.3f s", after_s);
        else
            std::snprintf(text, sizeof text, "halted the chip (asleep with interrupts off) at address 0x%04x after %.3f s",
                          static_cast<unsigned>(avr_->pc), after_s);
        return text;
    }

private:
    // A board restarts when a host opens its port: the chip starts afresh a
    // moment after each open.
    void follow_host(double now)
    {
        const bool present = bridge_.host_present();
        if (present && !host_open_) {
            state_ = chip_state::starting;
            start_at_ = now + options_.start_delay_ms / 1000.0;
            bridge_.clear();
        } else if (!present && host_open_ && state_ == chip_state::starting) {
            state_ = chip_state::waiting;
        }
        host_open_ = present;
        if (state_ == chip_state::starting && now >= start_at_)
            start_chip(now);
    }

    void start_chip(double now)
    {
        avr_reset(avr_);
        bridge_.attach(avr_);
        pins_.apply_after_reset(avr_);
        start_cycle_ = avr_->cycle;
        pacer_.start(avr_->cycle, now);
        started_ = true;
        state_ = chip_state::running;
    }

    // False when the firmware stopped the chip.
    bool run_chip(double now)
    {
        pins_.apply_changes(avr_);
        const uint64_t target = pacer_.target_cycle(avr_->cycle, now);
        while (avr_->cycle < target) {
            const int state = avr_run(avr_);
            if (state == cpu_Done || state == cpu_Crashed)
                return false;
        }
        return true;
    }

    void wait_for_work(const sigset_t &wait_mask)
    {
        pollfd watched[2];
        nfds_t count = 0;
        if (stdin_open_)
            watched[count++] = {STDIN_FILENO, POLLIN, 0};
        const bool watch_master = host_open_ && (bridge_.host_has_room() || bridge_.host_output_waiting() ||
                                                 state_ == chip_state::halted);
        // The master reports a hang-up at once while nobody holds the slave,
        // so it is looked at only with a host there.
        if (watch_master) {
            short events = POLLIN;
            if (bridge_.host_output_waiting())
                events |= POLLOUT;
            watched[count++] = {master_, events, 0};
        }
        double wait_s = host_poll_s;
        if (state_ == chip_state::running)
            wait_s = pacer_.idle_s();
        else if (state_ == chip_state::starting)
            wait_s = std::min(wait_s, std::max(0.0, start_at_ - monotonic_s()));
        timespec timeout{0, static_cast<long>(wait_s * 1e9)};
        const int ready = ppoll(watched, count, &timeout, &wait_mask);
        if (ready > 0 && stdin_open_ && watched[0].revents)
            read_control();
    }

    void read_control()
    {
        char bytes[512];
        const ssize_t count = read(STDIN_FILENO, bytes, sizeof bytes);
        if (count < 0 && (errno == EINTR || errno == EAGAIN))
            return;
        if (count <= 0) {
            stdin_open_ = false;  // no more commands; the board runs on
            return;
        }
        for (ssize_t i = 0; i < count; ++i) {
            if (bytes[i] != '\n') {
                if (control_line_.size() <= control_line_limit)
                    control_line_.push_back(bytes[i]);
                continue;
            }
            if (control_line_.size() > control_line_limit)
                answer("error: line too long");
            else
                obey(parse_control(control_line_));
            control_line_.clear();
        }
    }

    void obey(const control_command &command)
    {
        switch (command.kind) {
        case control_kind::none: return;
        case control_kind::set_analog: pins_.set_analog(command.index, static_cast<uint32_t>(command.value)); break;
        case control_kind::set_input: pins_.set_input(command.index, command.value == 1); break;
        case control_kind::halt:
            if (state_ == chip_state::running)
                state_ = chip_state::halted;
            break;
        case control_kind::run:
            if (state_ == chip_state::halted) {
                state_ = chip_state::running;
                pacer_.start(avr_->cycle, monotonic_s());
            }
            break;
        case control_kind::speed: pacer_.set_speed(command.speed, avr_->cycle, monotonic_s()); break;
        case control_kind::report: answer(report()); return;
        case control_kind::help: answer(control_help); return;
        case control_kind::quit: quit_ = true; break;
        case control_kind::bad: answer("error: " + command.error); return;
        }
        answer("ok");
    }

    static void answer(const std::string &line)
    {
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }

    const firmsim_options &options_;
    avr_t *avr_;
    uart_bridge bridge_;
    pin_model pins_;
    pacer pacer_;
    int master_;
    chip_state state_ = chip_state::waiting;
    bool host_open_ = false, started_ = false, stdin_open_ = true, quit_ = false;
    double start_at_ = 0;
    uint64_t start_cycle_ = 0;
    std::string control_line_;
};

}  // namespace

int main(int argc, char **argv)
{
    firmsim_options options;
    const int status = parse_options(argc, argv, options);
    if (status >= 0)
        return status;

    firmware_image image;
    const std::string problem = read_firmware(options.firmware, image);
    if (!problem.empty()) {
        std::fprintf(stderr, "firmsim: cannot run %s: %s\n", options.firmware.c_str(), problem.c_str());
        return status_bad_firmware;
    }
    avr_global_logger_set(simavr_logger);
    std::string error;
    avr_t *avr = make_chip(image, error);
    if (avr == nullptr) {
        std::fprintf(stderr, "firmsim: cannot run %s: %s\n", options.firmware.c_str(), error.c_str());
        return status_bad_firmware;
    }

    const sigset_t wait_mask = catch_stop_signals();

    std::string slave;
    const int master = open_board_pty(slave);
    if (master < 0) {
        std::fprintf(stderr, "firmsim: cannot open a pseudo-terminal: %s\n", std::strerror(errno));
        avr_terminate(avr);
        return status_failure;
    }
    if (!options.link.empty()) {
        const std::string failure = make_link(options.link, slave);
        if (!failure.empty()) {
            std::fprintf(stderr, "firmsim: cannot make the link %s: %s\n", options.link.c_str(), failure.c_str());
            close(master);
            avr_terminate(avr);
            return status_failure;
        }
    }
    // The first line is the terminal's path alone, for scripts.
    std::printf("%s\n", slave.c_str());
    std::fflush(stdout);

    int result = status_stopped;
    {
        board emulated(options, avr, master);
        result = emulated.run(wait_mask);
        remove_link(options.link, slave);
        if (result == status_chip_stopped)
            std::fprintf(stderr, "firmsim: the firmware %s\n", emulated.stop_reason().c_str());
        std::printf("%s\n", emulated.report().c_str());
        std::fflush(stdout);
    }
    close(master);
    avr_terminate(avr);
    return result;
}
