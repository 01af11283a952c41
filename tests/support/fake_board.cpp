#include "fake_board.h"

#include "board_protocol.h"
#include "serial/line_rate.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <iterator>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>
#include <utility>

// The sketch's side of the board: its interpreter, reading and setting pins,
// on the test's steady clock.
struct fake_board::sketch final : board_io {
    static constexpr uint16_t buffer_room = 63;  // the sketch's serial buffer, empty

    sketch_pins pins;
    std::string answer;
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    uint16_t room = buffer_room;   // set by the board before the interpreter runs
    uint32_t moved_to = 0;         // a rate the interpreter moved the line to
    command_interpreter interpreter;

    explicit sketch(sketch_kind kind) : interpreter(*this, 6, kind) {}

    uint16_t read_analog(uint8_t channel) override { return channel < 8 ? pins.analog[channel] : 0; }
    bool read_digital(uint8_t pin) override { return pin < 14 && pins.input_high[pin]; }
    void write_pwm(uint8_t pin, uint8_t duty) override
    {
        if (pin < 14)
            pins.pwm_duty[pin] = duty;
    }
    void write_digital(uint8_t pin, bool high) override
    {
        if (pin < 14)
            pins.output_level[pin] = high ? 1 : 0;
    }
    void send(uint8_t byte) override { answer.push_back(static_cast<char>(byte)); }
    uint32_t clock_us() override
    {
        using namespace std::chrono;
        return static_cast<uint32_t>(duration_cast<microseconds>(steady_clock::now() - started).count());
    }
    void set_line_rate(uint32_t baud) override { moved_to = baud; }
    uint16_t send_room() override { return room; }
};

std::vector<std::string> command_lines(const std::string &bytes)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = bytes.find('\r', start)) != std::string::npos; start = end + 1)
        lines.push_back(bytes.substr(start, end + 1 - start));
    if (start < bytes.size())
        lines.push_back(bytes.substr(start));
    return lines;
}

// What a byte sent at one rate becomes at another.
constexpr uint8_t junk_byte = 0xF0;

// The board's thread never blocks on the line (the pty's master is
// non-blocking): it waits in ppoll for the line, its next byte's time or a
// wake-up.
fake_board::fake_board(const std::string &folder, const std::string &name)
    : link_(folder + "/" + name)
{
    // Raw on both sides until the driver sets its own line settings.
    termios raw{};
    tcgetattr(pty_.slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(pty_.slave, TCSANOW, &raw);
    unlink(link_.c_str());
    if (symlink(pty_.path.c_str(), link_.c_str()) != 0)
        throw std::runtime_error("symlink failed: " + link_);
    if (pipe2(wake_pipe_, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error("pipe failed");
    thread_ = std::thread([this] { serve(); });
}

fake_board::~fake_board()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake();
    thread_.join();
    close(wake_pipe_[0]);
    close(wake_pipe_[1]);
    unlink(link_.c_str());
}

void fake_board::respond_with(std::function<board_reply(const std::string &)> responder)
{
    std::lock_guard<std::mutex> lock(mutex_);
    responder_ = std::move(responder);
    sketch_.reset();
}

void fake_board::answer_as_sketch(const sketch_pins &pins, sketch_kind kind)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        responder_ = nullptr;
        sketch_filter_ = nullptr;
        sketch_delay_ = nullptr;
        sketch_ = std::make_unique<sketch>(kind);
        sketch_->pins = pins;
        // A board that starts afresh: what it had not yet put on the line is
        // gone, and its end of the line is at its first rate.
        outgoing_.clear();
        sent_count_ = queued_count_;
        sent_.notify_all();
        line_rate_ = 9600;
        set_pace(paced_baud_);
    }
    wake();  // its clock may have work
}

void fake_board::set_inputs(const sketch_pins &pins)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!sketch_)
        return;
    std::copy(std::begin(pins.analog), std::end(pins.analog), std::begin(sketch_->pins.analog));
    std::copy(std::begin(pins.input_high), std::end(pins.input_high), std::begin(sketch_->pins.input_high));
}

bool fake_board::sketch_streaming()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return sketch_ && sketch_->interpreter.streaming();
}

uint32_t fake_board::sketch_line_rate()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return sketch_ ? sketch_->interpreter.line_rate() : 0;
}

void fake_board::filter_sketch_output(std::function<std::string(const std::string &)> filter)
{
    std::lock_guard<std::mutex> lock(mutex_);
    sketch_filter_ = std::move(filter);
}

void fake_board::delay_sketch_output(std::function<int(const std::string &)> delay)
{
    std::lock_guard<std::mutex> lock(mutex_);
    sketch_delay_ = std::move(delay);
}

sketch_pins fake_board::pins()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return sketch_ ? sketch_->pins : sketch_pins();
}

void fake_board::pace_like_line(int baud)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        paced_baud_ = baud;
        set_pace(baud);
    }
    wake();
}

// The sketch's end and the driver's at different rates (lock held). Where
// the system cannot tell the driver's rate (no termios2), never.
bool fake_board::rates_apart() const
{
    if (!sketch_ || pty_.master < 0)
        return false;
    const uint32_t host = descriptor_rate(pty_.master);
    return host != 0 && host != line_rate_;
}

// Lock held.
void fake_board::set_pace(int baud)
{
    const auto character = std::chrono::duration_cast<clock::duration>(character_time(baud));
    to_driver_.set_character_time(character);
    from_driver_.set_character_time(character);
}

void fake_board::send(const std::string &bytes)
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (pty_.master < 0 || bytes.empty())
        return;
    queue(bytes, clock::now());
    const uint64_t mine = queued_count_;
    sent_.wait(lock, [&] { return sent_count_ >= mine || pty_.master < 0 || stopping_; });
}

std::string fake_board::received()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

void fake_board::clear_received()
{
    std::lock_guard<std::mutex> lock(mutex_);
    received_.clear();
    line_.clear();
}

bool fake_board::wait_received(size_t count, int timeout_ms)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return arrived_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [&] { return received_.size() >= count; });
}

void fake_board::hang_up()
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (pty_.master < 0)
        return;
    hang_up_asked_ = true;
    wake();
    sent_.wait(lock, [&] { return pty_.master < 0 || stopping_; });
}

void fake_board::wake()
{
    const char byte = 1;
    (void)!write(wake_pipe_[1], &byte, 1);  // a full pipe wakes the thread as well
}

void fake_board::queue(std::string bytes, clock::time_point ready_at, uint32_t new_rate)
{
    outgoing_.push_back({ready_at, std::move(bytes), ++queued_count_, new_rate});
    wake();
}

// What the sketch sent, as one piece through the test's filter, and the
// move of its line behind it (lock held).
void fake_board::sketch_sends(clock::time_point now)
{
    if (!sketch_->answer.empty()) {
        std::string piece = std::exchange(sketch_->answer, std::string());
        if (sketch_filter_)
            piece = sketch_filter_(piece);
        const int delay_ms = sketch_delay_ && !piece.empty() ? sketch_delay_(piece) : 0;
        if (!piece.empty())
            queue(std::move(piece), now + std::chrono::milliseconds(delay_ms));
    }
    if (sketch_->moved_to != 0)
        queue(std::string(), now, std::exchange(sketch_->moved_to, 0));
    // What the sketch's buffer holds: the bytes not yet on the line.
    size_t waiting = 0;
    for (const outgoing &chunk : outgoing_)
        waiting += chunk.bytes.size();
    sketch_->room = static_cast<uint16_t>(waiting >= sketch::buffer_room ? 0 : sketch::buffer_room - waiting);
}

// Runs the sketch's clock (a stream's tick, the end of a rate's trial);
// returns when it has work next (lock held).
std::optional<fake_board::clock::time_point> fake_board::run_sketch_clock(clock::time_point now)
{
    if (!sketch_)
        return std::nullopt;
    sketch_sends(now);
    sketch_->interpreter.poll();
    sketch_sends(now);
    uint32_t due_us = 0;
    if (!sketch_->interpreter.next_due(due_us))
        return std::nullopt;
    const int32_t ahead_us = static_cast<int32_t>(due_us - sketch_->clock_us());
    return now + std::chrono::microseconds(std::max(ahead_us, 0));
}

// What the board does with bytes it has taken off the line (lock held).
void fake_board::take(const char *bytes, size_t count)
{
    received_.append(bytes, count);
    arrived_.notify_all();
    const auto now = clock::now();
    if (sketch_) {
        const bool junk = rates_apart();
        for (size_t i = 0; i < count; ++i) {
            sketch_sends(now);
            sketch_->interpreter.feed(junk ? junk_byte : static_cast<uint8_t>(bytes[i]));
        }
        sketch_sends(now);
        return;
    }
    for (size_t i = 0; i < count; ++i) {
        if (bytes[i] != '\r') {
            line_.push_back(bytes[i]);
            continue;
        }
        const std::string line = std::exchange(line_, std::string());
        if (!responder_)
            continue;
        board_reply reply = responder_(line);
        if (!reply.bytes.empty())
            queue(std::move(reply.bytes), now + std::chrono::milliseconds(reply.delay_ms));
        for (auto &[bytes, delay_ms] : reply.later)
            queue(std::move(bytes), now + std::chrono::milliseconds(delay_ms));
    }
}

// A thread that wakes late keeps the line's schedule by taking or sending
// the bytes it missed at once, up to this many; later than that, the line
// counts as having been idle.
constexpr int catch_up = 8;

// The board's one thread owns the master: it takes what the driver wrote and
// puts the board's bytes on the line, both at the line's pace when paced.
void fake_board::serve()
{
    using std::chrono::duration_cast;
    using std::chrono::nanoseconds;
    std::unique_lock<std::mutex> lock(mutex_);
    bool reading = false;              // paced: a byte is crossing towards the board
    clock::time_point read_due{};      // ... and has crossed at this time
    bool want_room = false;            // the driver's side of the line is full
    for (;;) {
        if (stopping_)
            break;
        if (hang_up_asked_) {
            pty_.hang_up();
            hang_up_asked_ = false;
            outgoing_.clear();
            sent_count_ = queued_count_;
            sent_.notify_all();
        }
        const int master = pty_.master;
        const bool paced = to_driver_.paced();
        if (!paced)
            reading = false;
        auto now = clock::now();

        // The sketch's clock, then the board's side: the front chunk, whole
        // or (paced) one byte at a time.
        std::optional<clock::time_point> next_event = run_sketch_clock(now);
        if (!outgoing_.empty() && outgoing_.front().bytes.empty()) {
            // The bytes before it have crossed: the line moves.
            if (outgoing_.front().new_rate > 0)
                line_rate_ = outgoing_.front().new_rate;
            if (paced_baud_ > 0 && outgoing_.front().new_rate > 0)
                set_pace(static_cast<int>(outgoing_.front().new_rate));
            sent_count_ = outgoing_.front().number;
            outgoing_.pop_front();
            sent_.notify_all();
            continue;
        }
        if (master >= 0 && !outgoing_.empty() && !want_room) {
            const outgoing &front = outgoing_.front();
            const auto due = to_driver_.due(front.ready_at);
            if (due <= now) {
                std::string piece = paced ? front.bytes.substr(0, 1) : front.bytes;
                if (rates_apart())
                    piece.assign(piece.size(), static_cast<char>(junk_byte));
                lock.unlock();
                const ssize_t wrote = write(master, piece.data(), piece.size());
                lock.lock();
                now = clock::now();
                if (wrote > 0) {
                    to_driver_.crossed(due, now, catch_up);
                    outgoing &sent = outgoing_.front();
                    sent.bytes.erase(0, static_cast<size_t>(wrote));
                    if (sent.bytes.empty()) {
                        sent_count_ = sent.number;
                        outgoing_.pop_front();
                        sent_.notify_all();
                    }
                } else if (wrote < 0 && errno == EAGAIN) {
                    want_room = true;
                } else if (wrote < 0 && errno != EINTR) {
                    // A line that takes nothing any more: the chunk is lost.
                    sent_count_ = outgoing_.front().number;
                    outgoing_.pop_front();
                    sent_.notify_all();
                }
                continue;
            }
            next_event = next_event ? std::min(*next_event, due) : due;
        }

        // The driver's side: paced, one byte a character time once bytes wait.
        if (master >= 0 && paced && reading) {
            if (read_due <= now) {
                char byte;
                const ssize_t got = read(master, &byte, 1);
                if (got == 1) {
                    take(&byte, 1);
                    // The next byte has waited in the device since then.
                    from_driver_.crossed(read_due, now, catch_up);
                    read_due = from_driver_.due(read_due);
                } else {
                    reading = false;  // the line went quiet
                }
                continue;
            }
            next_event = next_event ? std::min(*next_event, read_due) : read_due;
        }

        pollfd fds[2] = {{wake_pipe_[0], POLLIN, 0}, {master, 0, 0}};
        if (master >= 0) {
            if (!reading)
                fds[1].events |= POLLIN;
            if (want_room)
                fds[1].events |= POLLOUT;
        }
        timespec timeout{};
        timespec *wait_for = nullptr;
        if (next_event) {
            const auto left = std::max(nanoseconds(0), duration_cast<nanoseconds>(*next_event - now));
            timeout.tv_sec = static_cast<time_t>(left.count() / 1'000'000'000);
            timeout.tv_nsec = static_cast<long>(left.count() % 1'000'000'000);
            wait_for = &timeout;
        }
        lock.unlock();
        const int ready = ppoll(fds, master >= 0 ? 2 : 1, wait_for, nullptr);
        lock.lock();
        if (ready <= 0)
            continue;
        if (fds[0].revents & POLLIN) {
            char sink[64];
            while (read(wake_pipe_[0], sink, sizeof sink) > 0) {
            }
        }
        if (master < 0 || master != pty_.master)
            continue;
        if (fds[1].revents & POLLOUT)
            want_room = false;
        if (!(fds[1].revents & POLLIN))
            continue;
        if (from_driver_.paced()) {
            // The first byte still has to cross the line.
            reading = true;
            read_due = from_driver_.due(clock::now());
            continue;
        }
        char buffer[512];
        lock.unlock();
        const ssize_t got = read(master, buffer, sizeof buffer);
        lock.lock();
        if (got > 0)
            take(buffer, static_cast<size_t>(got));
    }
    sent_.notify_all();
}
