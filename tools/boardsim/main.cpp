// boardsim: the arduinodrv board, emulated on a pseudo-terminal with the same
// command interpreter as the sketch. See boardsim --help.
#include "board_protocol.h"
#include "line_pace.h"
#include "serial/line_rate.h"
#include "monotonic_clock.h"
#include "options.h"
#include "pty_link.h"
#include "report.h"
#include "stop_signals.h"
#include "sim_board.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <poll.h>
#include <optional>
#include <string>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

namespace {

// Columns of the terminal on standard output, less one so that the last
// column never wraps; 80 when it cannot be told.
size_t terminal_width()
{
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col < 2)
        return 79;
    return static_cast<size_t>(size.ws_col) - 1;
}

timespec to_timespec(double seconds)
{
    if (seconds < 0)
        seconds = 0;
    timespec span{};
    span.tv_sec = static_cast<time_t>(seconds);
    span.tv_nsec = static_cast<long>((seconds - static_cast<double>(span.tv_sec)) * 1e9);
    return span;
}

constexpr int line_baud = command_interpreter::classic_rate;  // the line at each start, kept with --pace
constexpr double closed_poll_s = 0.02;       // while nobody holds the slave, look this often
constexpr double table_period_s = 0.2;
constexpr double longest_wait_s = 0.5;
// Beyond this many unsent answer bytes the board stops taking commands, as
// the sketch does when its transmit buffer is full.
constexpr size_t output_limit = 4096;
// The sketch's serial buffer: a stream's frame goes only when it fits in
// what the bytes not yet on the line leave of it.
constexpr size_t sketch_buffer = 63;
constexpr size_t input_limit = 4096;

struct timed_byte {
    char byte;
    double due;  // seconds after start
};

class emulator {
public:
    emulator(const boardsim_options &options, int master, FILE *log)
        : options_(options), master_(master), log_(log)
    {
        interpreter_.emplace(board_, analog_input_count, kind());
        for (int channel = 0; channel < analog_input_count; ++channel)
            board_.analog[channel] = options.analog[channel];
        for (int pin = 0; pin < digital_pins; ++pin)
            board_.digital[pin] = options.digital[pin];
        pace_at(line_baud);
        start_ = monotonic_s();
    }

    void run(const sigset_t &wait_mask, bool table)
    {
        double next_table = 0;
        while (!stop_signal) {
            const double now = elapsed();
            run_due_input(now);
            run_clock(now);
            write_due_output(now);
            if (table && now >= next_table) {
                draw_table();
                next_table = now + table_period_s;
            }
            wait_for_work(wait_mask, table ? next_table : now + longest_wait_s);
        }
        if (table)
            draw_table();
    }

    void print_summary()
    {
        board_.now_s = elapsed();
        fill_stream_counts();
        std::printf("boardsim: outputs at exit\n");
        for (const std::string &row : board_table(board_, counts_, port_open_, false))
            std::printf("%s\n", row.c_str());
    }

private:
    double elapsed() const { return monotonic_s() - start_; }
    sketch_kind kind() const { return options_.classic ? sketch_kind::classic : sketch_kind::extended; }

    // With --pace, the line carries characters at this rate.
    void pace_at(uint32_t baud)
    {
        if (!options_.pace)
            return;
        paced_rate_ = baud;
        input_pace_.set_character_time(character_seconds(static_cast<int>(baud)));
        output_pace_.set_character_time(character_seconds(static_cast<int>(baud)));
    }

    // A line runs at the rate its host set (a host that talks at 57600 gets
    // a 57600-baud line): where the system tells that rate, it paces the
    // line, else the sketch's own moves do.
    void follow_host_rate()
    {
        if (!options_.pace)
            return;
        const uint32_t host = descriptor_rate(master_);
        if (host != 0 && host != paced_rate_)
            pace_at(host);
    }

    // Hands the board what the interpreter needs before it runs: the time
    // and the room in its serial buffer.
    void prepare_board(double now)
    {
        board_.now_s = now;
        board_.answer.clear();
        board_.room = static_cast<uint16_t>(output_.size() >= sketch_buffer ? 0 : sketch_buffer - output_.size());
    }

    // What the interpreter sent goes on the line; a move of the line's rate
    // paces what comes after it.
    void take_answer(double now)
    {
        follow_host_rate();
        for (char answer_byte : board_.answer)
            output_.push_back({answer_byte, output_pace_.give(now)});
        if (board_.moved_to != 0) {
            pace_at(board_.moved_to);
            log_event(("line moved to " + std::to_string(board_.moved_to) + " baud").c_str());
            board_.moved_to = 0;
        }
    }

    // The board's own clock: a stream's frames, the line's way back.
    void run_clock(double now)
    {
        prepare_board(now);
        interpreter_->poll();
        take_answer(now);
    }

    // When the board's clock has work next, in seconds after start.
    std::optional<double> clock_due() const
    {
        uint32_t due_us = 0;
        if (!interpreter_->next_due(due_us))
            return std::nullopt;
        const int32_t ahead_us = static_cast<int32_t>(due_us - board_.clock_us_at(elapsed()));
        return elapsed() + std::max(ahead_us, 0) / 1e6;
    }

    void run_due_input(double now)
    {
        while (!input_.empty() && input_.front().due <= now && output_.size() < output_limit) {
            const char byte = input_.front().byte;
            const bool booting = input_.front().due < deaf_until_;
            input_.pop_front();
            if (booting) {
                ++counts_.lost;  // the boot loader takes it, not the sketch
                continue;
            }
            prepare_board(now);
            const line_outcome outcome = interpreter_->feed(static_cast<uint8_t>(byte));
            const std::string answer = board_.answer;
            take_answer(now);
            if (outcome != line_outcome::none)
                count_and_log(now, outcome, answer);
        }
    }

    void count_and_log(double now, line_outcome outcome, const std::string &answer)
    {
        ++counts_.lines;
        switch (outcome) {
        case line_outcome::answered: ++counts_.answered; break;
        case line_outcome::applied: ++counts_.applied; break;
        case line_outcome::ignored: ++counts_.ignored; break;
        case line_outcome::dropped: ++counts_.dropped; break;
        case line_outcome::none: break;
        }
        if (!log_)
            return;
        const std::string line(interpreter_->line(), interpreter_->line_length());
        std::fprintf(log_, "%s\n", log_line(now, line, outcome, answer, board_.action).c_str());
        std::fflush(log_);
    }

    void log_event(const char *event)
    {
        if (!log_)
            return;
        std::fprintf(log_, "%10.3f  (%s)\n", elapsed(), event);
        std::fflush(log_);
    }

    void write_due_output(double now)
    {
        char due[512];
        size_t count = 0;
        while (count < output_.size() && count < sizeof due && output_[count].due <= now) {
            due[count] = output_[count].byte;
            ++count;
        }
        write_blocked_ = false;
        if (count == 0)
            return;
        const ssize_t written = write(master_, due, count);
        if (written > 0) {
            output_.erase(output_.begin(), output_.begin() + written);
        } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            write_blocked_ = true;
        } else if (written < 0 && errno != EINTR) {
            output_.clear();  // nobody holds the line: the answer is lost, as on a wire
        }
    }

    void set_port_open(bool open)
    {
        if (open == port_open_)
            return;
        port_open_ = open;
        if (open && options_.reset) {
            restart();
            log_event("port opened: the board restarts");
        } else {
            log_event(open ? "port opened" : "port closed");
        }
    }

    // As a board reset by the opening of its port: outputs off, a half line
    // and unsent answers forgotten, deaf until it has booted.
    void restart()
    {
        board_.restart();
        interpreter_.emplace(board_, analog_input_count, kind());
        pace_at(line_baud);
        input_.clear();
        output_.clear();
        deaf_until_ = elapsed() + boot_time_ms / 1000;
    }

    void wait_for_work(const sigset_t &wait_mask, double until)
    {
        const double now = elapsed();
        if (!input_.empty() && output_.size() < output_limit)
            until = std::min(until, input_.front().due);
        if (!output_.empty() && !write_blocked_)
            until = std::min(until, output_.front().due);
        if (const auto due = clock_due())
            until = std::min(until, *due);
        until = std::min(until, now + longest_wait_s);
        // Nobody holds the line: look often, to see a host's open when it comes.
        if (!port_open_)
            until = std::min(until, now + closed_poll_s);
        timespec timeout = to_timespec(until - now);

        if (hung_up_) {
            // The master reports a hang-up at once for as long as nobody holds
            // the slave: wait a little without looking at it, then look again.
            hung_up_ = false;
            timespec pause = to_timespec(std::min(until - now, closed_poll_s));
            ppoll(nullptr, 0, &pause, &wait_mask);
            return;
        }
        pollfd master{master_, 0, 0};
        if (input_.size() < input_limit)
            master.events |= POLLIN;
        if (write_blocked_)
            master.events |= POLLOUT;
        const int ready = ppoll(&master, 1, &timeout, &wait_mask);
        if (ready < 0)
            return;  // a signal: the loop looks at it
        if (master.revents & POLLIN)
            read_input();
        if (master.revents & (POLLHUP | POLLERR)) {
            hung_up_ = true;
            set_port_open(false);
        } else if (!hung_up_) {
            set_port_open(true);
        }
    }

    void read_input()
    {
        char bytes[512];
        const ssize_t count = read(master_, bytes, std::min(sizeof bytes, input_limit - input_.size()));
        if (count == 0 || (count < 0 && errno == EIO)) {
            hung_up_ = true;  // nobody holds the slave
            set_port_open(false);
            return;
        }
        if (count < 0)
            return;
        const double now = elapsed();
        follow_host_rate();
        for (ssize_t i = 0; i < count; ++i)
            input_.push_back({bytes[i], input_pace_.give(now)});
    }

    void fill_stream_counts()
    {
        counts_.rate = interpreter_->line_rate();
        counts_.streaming = interpreter_->streaming();
        counts_.frames = interpreter_->frames_used() - interpreter_->frames_dropped();
        counts_.frames_dropped = interpreter_->frames_dropped();
    }

    void draw_table()
    {
        board_.now_s = elapsed();
        fill_stream_counts();
        const auto rows = board_table(board_, counts_, port_open_, true);
        // Rows cut to the terminal's width: a row that wrapped would throw
        // the redraw off by a line and repeat the table down the screen.
        const size_t width = terminal_width();
        std::string text;
        if (table_rows_ > 0)
            text += "\x1b[" + std::to_string(table_rows_) + "A\r";
        for (const std::string &row : rows)
            text += row.substr(0, width) + "\x1b[K\n";
        table_rows_ = rows.size();
        std::fputs(text.c_str(), stdout);
        std::fflush(stdout);
    }

    const boardsim_options &options_;
    int master_;
    FILE *log_;
    sim_board board_;
    std::optional<command_interpreter> interpreter_;  // made again at each restart
    traffic_counts counts_;
    std::deque<timed_byte> input_, output_;
    // Bytes arrive one by one, each when the line would have delivered it
    // with --pace, else at once.
    line_pace<double> input_pace_, output_pace_;
    uint32_t paced_rate_ = line_baud;
    double start_ = 0;
    double deaf_until_ = 0;
    bool port_open_ = false, hung_up_ = false, write_blocked_ = false;
    size_t table_rows_ = 0;
};

}  // namespace

int main(int argc, char **argv)
{
    boardsim_options options;
    const int status = parse_options(argc, argv, options);
    if (status >= 0)
        return status;

    FILE *log = nullptr;
    if (options.log == "-") {
        log = stdout;
    } else if (!options.log.empty()) {
        log = std::fopen(options.log.c_str(), "w");
        if (!log) {
            std::fprintf(stderr, "boardsim: --log %s: cannot write it (%s)\n", options.log.c_str(), std::strerror(errno));
            return 1;
        }
    }
    const bool table = options.table && log != stdout && isatty(STDOUT_FILENO);

    const sigset_t wait_mask = catch_stop_signals();

    std::string slave;
    const int master = open_board_pty(slave);
    if (master < 0) {
        std::fprintf(stderr, "boardsim: cannot open a pseudo-terminal: %s\n", std::strerror(errno));
        return 1;
    }
    if (!options.link.empty()) {
        const std::string failure = make_link(options.link, slave);
        if (!failure.empty()) {
            std::fprintf(stderr, "boardsim: cannot make the link %s: %s\n", options.link.c_str(), failure.c_str());
            close(master);
            if (log && log != stdout) {
                std::fclose(log);
                std::remove(options.log.c_str());  // nothing was logged: leave nothing behind
            }
            return 1;
        }
    }
    // The first line is the terminal's path alone, for scripts.
    std::printf("%s\n", slave.c_str());
    if (table)
        std::printf("boardsim: %s board on %s%s%s, 9600 baud%s%s. Ctrl-C ends.\n%s\n",
                    options.classic ? "classic" : "extended", slave.c_str(),
                    options.link.empty() ? "" : ", linked from ", options.link.c_str(),
                    options.pace ? ", paced" : "", options.reset ? "" : ", no restart on open", counts_legend);
    std::fflush(stdout);

    {
        emulator board(options, master, log);
        board.run(wait_mask, table);
        remove_link(options.link, slave);
        if (options.summary)
            board.print_summary();
    }
    close(master);
    if (log && log != stdout)
        std::fclose(log);
    std::fflush(stdout);
    return 0;
}
