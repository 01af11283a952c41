#include "board_stream.h"

#include <chrono>

#include "board_object.h"
#include "posix/clock.h"

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
// The end of a stream is asked for again until the board says so, each try
// this long, all of them at most stop_limit_ms.
constexpr int32_t stop_try_ms = 170;
constexpr int32_t stop_limit_ms = 500;

size_t ring_size(int32_t interval_us)
{
    const int64_t wanted = kept_seconds * 1000000 / interval_us;
    return wanted < static_cast<int64_t>(fewest_kept) ? fewest_kept
           : wanted > static_cast<int64_t>(most_kept) ? most_kept
                                                      : static_cast<size_t>(wanted);
}

}  // namespace

board_stream::board_stream(unsigned analog_mask, unsigned digital_mask, int32_t interval_us, int32_t started_ms)
    : analog_mask_(static_cast<uint8_t>(analog_mask)), digital_mask_(static_cast<uint8_t>(digital_mask)),
      interval_us_(interval_us), ring_(ring_size(interval_us)), last_frame_ms_(started_ms)
{
}

board_stream::counts board_stream::keep(const stream_frame::sample_set &frame, int64_t arrived_ns, int32_t now_ms)
{
    counts counted;
    if (first_frame_) {
        counted.lost += frame.sequence;  // the board numbers from 0: those before the first never came
        board_time_us_ = frame.time_us;
        first_frame_ = false;
    } else {
        const uint32_t gap = frame.sequence - next_sequence_;
        if (gap >= 0x80000000u) {
            ++counted.bad;  // behind the last one: not this stream's
            return counted;
        }
        counted.lost += gap;
        next_sequence_ = frame.sequence + 1;
        // The board's clock goes on with its numbers; a time that goes back
        // is a frame gone wrong, never a wrap of the clock (a wrap is a step
        // forward modulo 2^32).
        const auto step = static_cast<int32_t>(frame.time_us - last_time_us_);
        if (step <= 0) {
            ++counted.bad;
            return counted;
        }
        board_time_us_ += step;
    }
    next_sequence_ = frame.sequence + 1;
    last_time_us_ = frame.time_us;
    last_frame_ms_ = now_ms;
    ab_sample sample{};
    sample.sequence = frame.sequence;
    sample.board_time_us = board_time_us_;
    sample.time_ns = arrived_ns;
    sample.analog_mask = analog_mask_;
    for (unsigned channel = 0; channel < stream_frame::analog_inputs; ++channel)
        if (analog_mask_ & (1u << channel))
            sample.analog[channel] = frame.analog[channel];
    sample.digital = frame.digital;
    if (held_ == ring_.size()) {
        first_ = (first_ + 1) % ring_.size();
        --held_;
        ++counted.dropped;
    }
    ring_[(first_ + held_) % ring_.size()] = sample;
    ++held_;
    return counted;
}

board_stream::counts board_stream::confirm_end(uint32_t frames)
{
    counts counted;
    const uint32_t missing = frames - next_sequence_;
    if (missing < 0x80000000u)
        counted.lost = missing;
    next_sequence_ = frames;
    return counted;
}

void board_stream::end(ab_status status, const std::string &why)
{
    if (ended_)
        return;
    ended_ = true;
    end_status_ = status;
    end_why_ = why;
}

size_t board_stream::take(ab_sample *samples, size_t max)
{
    const size_t taken = held_ < max ? held_ : max;
    for (size_t i = 0; i < taken; ++i)
        samples[i] = ring_[(first_ + i) % ring_.size()];
    first_ = (first_ + taken) % ring_.size();
    held_ -= taken;
    return taken;
}

ab_status board_stream::end_status(std::string *why)
{
    if (!ended_)
        return AB_OK;
    if (!end_told_ && end_status_ != AB_OK) {
        end_told_ = true;
        *why = end_why_;
        return end_status_;
    }
    *why = end_why_ + "; no stream is running (ab_stream_start starts one)";
    return AB_NOT_STREAMING;
}

uint64_t board_stream::discard()
{
    const uint64_t dropped = held_;
    first_ = held_ = 0;
    return dropped;
}

int64_t board_stream::silent_ms(int32_t now_ms) const
{
    return static_cast<int32_t>(static_cast<uint32_t>(now_ms) - static_cast<uint32_t>(last_frame_ms_));
}

int64_t board_stream::silence_limit_ms() const
{
    return silent_intervals * interval_us_ / 1000 + silence_margin_ms;
}

board_result stream_start(ab_board &board, unsigned analog_mask, unsigned digital_mask, int32_t interval_us)
{
    std::lock_guard<std::mutex> request(board.request_lock);
    std::unique_lock<std::mutex> lock(board.line_lock);
    board_result result = wait_ready(board, lock);
    if (result.status != AB_OK)
        return result;
    if (!board.sketch.extended() || !board.sketch.stream)
        return {AB_NOT_SUPPORTED, board.path + ": the board's sketch cannot stream (" +
                                      (board.sketch.version == 0 ? std::string("a classic sketch")
                                                                 : "an earlier release's sketch: flash this one's") +
                                      ")"};
    if (board.stream && board.stream->running())
        return {AB_STREAMING, board.path + ": a stream is running (ab_stream_stop ends it)"};
    const uint32_t shortest = stream_frame::shortest_interval_us(
        static_cast<uint8_t>(analog_mask), static_cast<uint8_t>(digital_mask), static_cast<uint32_t>(board.baud));
    if (interval_us < static_cast<int64_t>(shortest))
        return {AB_BAD_VALUE, "an interval of " + std::to_string(interval_us) + " us is too short for these inputs at " +
                                  std::to_string(board.baud) + " baud: " + std::to_string(shortest) + " us at least" +
                                  (board.baud == board_wire::classic_rate ? " (a fast line takes more: options.baud)" : "")};
    board.asked_stream = std::make_shared<board_stream>(analog_mask, digital_mask, interval_us, elapsed_ms());
    lock.unlock();

    awaited_answer answer;
    answer.does = awaited_answer::effect::starts_stream;
    const std::string command = stream_start_command(analog_mask, digital_mask, interval_us);
    const exchange_outcome outcome = exchange(board, command, answer, board.options.timeout_ms);
    lock.lock();
    board.asked_stream.reset();
    if (outcome == exchange_outcome::answered && board.stream && board.stream->running() &&
        board.stream->interval_us() == interval_us)
        return {};
    if (outcome == exchange_outcome::answered)
        return {AB_BAD_VALUE, board.path + ": the board refused the stream (" + command + ")"};
    if (outcome == exchange_outcome::gone)
        return {AB_NO_PORT, board.path + ": the device went away"};
    lock.unlock();
    // The board may have started it and its answer been lost: it is ended,
    // so that nothing streams that no one reads.
    awaited_answer end;
    exchange(board, stream_end_command, end, board.options.timeout_ms);
    return {AB_NO_ANSWER, board.path + ": no answer to " + command};
}

board_result stream_read(ab_board &board, ab_sample *samples, size_t max, int timeout_ms, size_t *count)
{
    std::unique_lock<std::mutex> lock(board.line_lock);
    const std::shared_ptr<board_stream> stream = board.stream;
    if (!stream)
        return {AB_NOT_STREAMING, board.path + ": no stream is running (ab_stream_start starts one)"};
    const auto silent_at = [&] {
        return std::chrono::steady_clock::now() +
               std::chrono::milliseconds(stream->silence_limit_ms() - stream->silent_ms(elapsed_ms()));
    };
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
    // Woken by samples, the end, a close, or silence longer than a stream
    // keeps.
    for (;;) {
        if (stream->held() > 0 || !stream->running() || board.closing)
            break;
        if (stream->silent_ms(elapsed_ms()) > stream->silence_limit_ms())
            break;
        const auto now = std::chrono::steady_clock::now();
        if (now >= end)
            break;
        const auto silence = silent_at() + std::chrono::milliseconds(1);
        board.changed.wait_until(lock, silence < end ? silence : end);
    }
    *count = stream->take(samples, max);
    if (*count > 0)
        return {};
    if (board.closing)
        return {AB_BAD_ARGUMENT, board.path + ": the board was closed"};
    std::string why;
    if (!stream->running()) {
        const ab_status status = stream->end_status(&why);
        return {status, board.path + ": " + why};
    }
    const int64_t silent = stream->silent_ms(elapsed_ms());
    if (silent > stream->silence_limit_ms())
        return {AB_NO_ANSWER,
                board.path + ": no frame for " + std::to_string(silent) + " ms: the board stopped sending (restarted?)"};
    return {};
}

board_result stream_stop(ab_board &board)
{
    std::lock_guard<std::mutex> request(board.request_lock);
    std::unique_lock<std::mutex> lock(board.line_lock);
    if (!board.stream || board.stream->stopped())
        return {AB_NOT_STREAMING, board.path + ": no stream is running"};
    if (!board.stream->running())
        return {};  // it ended by itself; what came stays readable
    board.stream->stopping = true;
    const std::shared_ptr<board_stream> stream = board.stream;
    lock.unlock();
    // Asked again until the board says so with its count: the frames still
    // on their way come first.
    const deadline total = deadline_after(stop_limit_ms);
    for (int tries = 0; !deadline_passed(total); ++tries) {
        if (tries == 1) {
            // A board that already stopped answers the repeat unframed.
            std::lock_guard<std::mutex> state(board.line_lock);
            if (stream->running())
                board.input.accept_plain_during_stream(true);
        }
        awaited_answer answer;
        answer.does = awaited_answer::effect::ends_stream;
        const int32_t limit = static_cast<int32_t>(std::min<int64_t>(stop_try_ms, std::max<int64_t>(1, ms_left(total))));
        const exchange_outcome outcome = exchange(board, stream_end_command, answer, limit);
        lock.lock();
        if (!stream->running())
            return {};
        if (outcome == exchange_outcome::gone || board.state == line_state::gone)
            return {AB_NO_PORT, board.path + ": the device went away"};
        lock.unlock();
    }
    // Not confirmed: the reader waits out the board's silence rule, after
    // which the board streams no more whatever it heard.
    lock.lock();
    end_stream(board, AB_NO_ANSWER, "the board did not say that the stream ended");
    board.start_due = start_reason::resync;
    wake_reader(board);
    return {AB_NO_ANSWER, board.path + ": the board did not say that the stream ended (within " +
                              std::to_string(stop_limit_ms) + " ms)"};
}

bool stream_masks_valid(unsigned analog_mask, unsigned digital_mask)
{
    return (analog_mask & ~unsigned{stream_frame::all_analog}) == 0 &&
           (digital_mask & ~unsigned{stream_frame::all_digital}) == 0;
}
