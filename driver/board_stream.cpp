#include "board_stream.h"

#include <cstring>
#include <sys/eventfd.h>
#include <unistd.h>

#include "board_object.h"
#include "posix/clock.h"
#include "protocol/line_protocol.h"
#include "stream_frame.h"

namespace {

// The samples kept for a program that reads late: ten seconds' worth,
// within bounds; beyond, the oldest go first.
constexpr int64_t kept_seconds = 10;
constexpr size_t fewest_kept = 1024;
constexpr size_t most_kept = 262144;
// A stream that has sent nothing for this many intervals, and this much
// more, has stopped: the board restarted, or hangs.
constexpr int64_t silent_intervals = 3;
constexpr int64_t silence_margin_ms = 100;
// How long the sketch's answer to the end of a stream may take.
constexpr int32_t stop_limit_ms = 500;

size_t ring_size(int32_t interval_us)
{
    const int64_t wanted = kept_seconds * 1000000 / interval_us;
    return wanted < static_cast<int64_t>(fewest_kept) ? fewest_kept
           : wanted > static_cast<int64_t>(most_kept) ? most_kept
                                                      : static_cast<size_t>(wanted);
}

}  // namespace

board_stream::board_stream(ab_board &board, unsigned analog_mask, unsigned digital_mask, int32_t interval_us)
    : board_(board), analog_mask_(analog_mask), digital_mask_(digital_mask), interval_us_(interval_us),
      decoder_(analog_mask, digital_mask), ring_(ring_size(interval_us))
{
}

board_stream::~board_stream()
{
    if (thread_.joinable()) {
        std::string why;
        stop(&why);
    }
    if (wake_fd_ >= 0)
        close(wake_fd_);
}

bool board_stream::start()
{
    wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd_ < 0)
        return false;
    last_frame_monotonic_ns_ = monotonic_ns();
    try {
        thread_ = std::thread([this] { run(); });
    } catch (...) {
        return false;
    }
    return true;
}

void board_stream::end(ab_status status, const std::string &why)
{
    std::lock_guard<std::mutex> lock(lock_);
    ended_ = true;
    end_status_ = status;
    end_why_ = why;
    arrived_.notify_all();
}

// The sketch's answer to XE: "XE=<frames>" and a line end.
bool board_stream::stop_seen(const std::string &text) const
{
    const size_t at = text.rfind("XE=");
    if (at == std::string::npos)
        return false;
    size_t i = at + 3;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9')
        ++i;
    return i > at + 3 && i < text.size() && is_line_end(text[i]);
}

void board_stream::keep(const std::vector<decoded_frame> &frames, int64_t arrived_ns)
{
    uint64_t lost = 0, dropped = 0;
    {
        std::lock_guard<std::mutex> lock(lock_);
        for (const decoded_frame &frame : frames) {
            if (!first_frame_ && frame.sequence != next_sequence_) {
                const uint32_t gap = frame.sequence - next_sequence_;
                if (gap >= 0x80000000u) {
                    ++out_of_order_;  // behind the last one: not this stream's
                    continue;
                }
                lost += gap;
            }
            if (!first_frame_ && frame.board_time_us < last_time_us_)
                time_high_us_ += int64_t{1} << 32;
            first_frame_ = false;
            next_sequence_ = frame.sequence + 1;
            last_time_us_ = frame.board_time_us;
            ab_sample sample{};
            sample.sequence = frame.sequence;
            sample.board_time_us = time_high_us_ + frame.board_time_us;
            sample.time_ns = arrived_ns;
            sample.analog_mask = static_cast<uint8_t>(analog_mask_);
            for (unsigned channel = 0; channel < 6; ++channel)
                if (analog_mask_ & (1u << channel))
                    sample.analog[channel] = frame.analog[channel];
            sample.digital = frame.digital;
            if (held_ == ring_.size()) {
                first_ = (first_ + 1) % ring_.size();
                --held_;
                ++dropped;
            }
            ring_[(first_ + held_) % ring_.size()] = sample;
            ++held_;
        }
        {
            // Counted before the samples are told: a reader that got them
            // finds the link's counts that go with them (state_lock is
            // only ever taken last).
            std::lock_guard<std::mutex> state(board_.state_lock);
            board_.link.frames_lost += lost;
            const uint64_t bad = decoder_.bad() + out_of_order_;
            board_.link.frames_bad += bad - bad_told_;
            bad_told_ = bad;
            board_.link.samples_dropped += dropped;
        }
        if (!frames.empty()) {
            last_frame_monotonic_ns_ = monotonic_ns();
            arrived_.notify_all();
        }
    }
}

void board_stream::run()
{
    serial_port &port = board_.exchange.port().port();
    char buffer[4096];
    bool stop_sent = false;
    deadline until = deadline_after(INT32_MAX);
    for (;;) {
        bool stopping;
        {
            std::lock_guard<std::mutex> lock(lock_);
            stopping = stopping_;
        }
        if (stopping && !stop_sent) {
            const std::string line = command_line("XE");
            port.write_some(line.data(), line.size(), deadline_after(command_write_limit_ms));
            stop_sent = true;
            until = deadline_after(stop_limit_ms);
        }
        bool woken = false;
        if (!port.wait_readable(until, wake_fd_, &woken)) {
            if (woken) {
                uint64_t count;
                (void)!::read(wake_fd_, &count, sizeof count);
                continue;
            }
            if (!port.is_open())
                return end(AB_NO_PORT, "the device went away during the stream");
            if (stop_sent)
                return end(AB_NO_ANSWER, "the board did not say that the stream ended");
            until = deadline_after(INT32_MAX);
            continue;
        }
        const int32_t got = port.read(buffer, sizeof buffer);
        if (got <= 0)
            return end(AB_NO_PORT, "the device went away during the stream");
        keep(decoder_.take(buffer, static_cast<size_t>(got)), realtime_ns());
        if (stop_sent && stop_seen(decoder_.text())) {
            std::lock_guard<std::mutex> lock(lock_);
            confirmed_ = true;
            return;
        }
    }
}

ab_status board_stream::read(ab_sample *samples, size_t max, int timeout_ms, size_t *count, std::string *why)
{
    std::unique_lock<std::mutex> lock(lock_);
    arrived_.wait_for(lock, std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms),
                      [this] { return held_ > 0 || ended_; });
    const size_t taken = held_ < max ? held_ : max;
    for (size_t i = 0; i < taken; ++i)
        samples[i] = ring_[(first_ + i) % ring_.size()];
    first_ = (first_ + taken) % ring_.size();
    held_ -= taken;
    *count = taken;
    if (taken > 0)
        return AB_OK;
    if (ended_) {
        *why = end_why_;
        return end_status_;
    }
    const int64_t silent_ms = (monotonic_ns() - last_frame_monotonic_ns_) / 1000000;
    if (silent_ms > silent_intervals * interval_us_ / 1000 + silence_margin_ms) {
        *why = "no frame for " + std::to_string(silent_ms) + " ms: the board stopped sending (restarted?)";
        return AB_NO_ANSWER;
    }
    return AB_OK;
}

ab_status board_stream::stop(std::string *why)
{
    {
        std::lock_guard<std::mutex> lock(lock_);
        stopping_ = true;
    }
    const uint64_t one = 1;
    (void)!::write(wake_fd_, &one, sizeof one);
    if (thread_.joinable())
        thread_.join();
    std::lock_guard<std::mutex> lock(lock_);
    if (confirmed_)
        return AB_OK;
    *why = end_why_;
    return ended_ ? end_status_ : AB_NO_ANSWER;
}

namespace {

// "XS<analog mask>,<digital mask>,<interval>": the sketch answers
// "XS=<interval>", or "XS=0" when it refuses.
bool stream_answer(const std::string &line, int64_t *interval)
{
    if (line.compare(0, 3, "XS=") != 0 || line.size() == 3 || line.size() > 13)
        return false;
    int64_t value = 0;
    for (size_t i = 3; i < line.size(); ++i) {
        if (line[i] < '0' || line[i] > '9')
            return false;
        value = value * 10 + (line[i] - '0');
    }
    *interval = value;
    return true;
}
}  // namespace

board_result stream_start(ab_board &board, unsigned analog_mask, unsigned digital_mask, int32_t interval_us)
{
    std::lock_guard<std::mutex> request(board.request_lock);
    board_result result = ready(board);
    if (result.status != AB_OK)
        return result;
    if (!board.sketch.stream)
        return {AB_NOT_SUPPORTED, board.path + ": the board's sketch cannot stream (a classic sketch)"};
    int32_t baud;
    {
        std::lock_guard<std::mutex> state(board.state_lock);
        baud = board.link.baud;
    }
    const uint32_t shortest = stream_frame::shortest_interval_us(
        static_cast<uint8_t>(analog_mask), static_cast<uint8_t>(digital_mask), static_cast<uint32_t>(baud));
    if (interval_us < static_cast<int64_t>(shortest))
        return {AB_BAD_VALUE, "an interval of " + std::to_string(interval_us) + " us is too short for these inputs at " +
                                  std::to_string(baud) + " baud: " + std::to_string(shortest) + " us at least"};
    serial_port &port = board.exchange.port().port();
    // Frames are binary: a CR among their bytes must arrive as it is.
    port.deliver_cr_as_lf(false);
    int64_t agreed = -1;
    const std::string command = "XS" + std::to_string(analog_mask) + "," + std::to_string(digital_mask) + "," +
                                std::to_string(interval_us);
    const bool answered = ask(board, command, board.options.timeout_ms,
                              [&](const std::string &line) { return stream_answer(line, &agreed); });
    if (answered && agreed == interval_us) {
        auto stream = std::make_shared<board_stream>(board, analog_mask, digital_mask, interval_us);
        if (stream->start()) {
            board.stream = stream;
            return {};
        }
        std::string why;
        stream->stop(&why);
        result = {AB_NO_ANSWER, board.path + ": no thread could be had to read the stream"};
    } else if (answered) {
        result = {AB_BAD_VALUE, board.path + ": the board refused the stream (" + command + ")"};
    } else {
        result = {port.is_open() ? AB_NO_ANSWER : AB_NO_PORT, board.path + ": no answer to " + command};
    }
    port.deliver_cr_as_lf(true);
    board.exchange.doubt_answer();
    return result;
}

board_result stream_read(ab_board &board, ab_sample *samples, size_t max, int timeout_ms, size_t *count)
{
    std::shared_ptr<board_stream> stream;
    {
        std::lock_guard<std::mutex> request(board.request_lock);
        stream = board.stream;
    }
    if (!stream)
        return {AB_BAD_ARGUMENT, board.path + ": no stream is running (ab_stream_start starts one)"};
    std::string why;
    const ab_status status = stream->read(samples, max, timeout_ms, count, &why);
    return {status, status == AB_OK ? std::string() : board.path + ": " + why};
}

board_result stream_stop(ab_board &board)
{
    std::lock_guard<std::mutex> request(board.request_lock);
    if (!board.stream)
        return {};
    std::string why;
    const ab_status status = board.stream->stop(&why);
    board.stream.reset();
    board.exchange.port().port().deliver_cr_as_lf(true);
    // Frames still on their way are for the next request to discard.
    board.exchange.doubt_answer();
    if (status == AB_OK)
        return {};
    return {status, board.path + ": " + why};
}

bool stream_masks_valid(unsigned analog_mask, unsigned digital_mask)
{
    return (analog_mask & ~unsigned{stream_frame::all_analog}) == 0 &&
           (digital_mask & ~unsigned{stream_frame::all_digital}) == 0;
}
