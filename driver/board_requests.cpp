// A board object's requests: the 71 exports' commands, each with a status
// for its outcome and no pause beyond what the line needs. With the
// project's sketch a request carries a tag whenever an earlier answer may
// still come (else the classic line is the shortest), and an output says
// when it was set; with a classic sketch the classic lines go out as the 71
// exports send them.
#include <cerrno>

#include "board_object.h"
#include "posix/clock.h"
#include "protocol/board_channels.h"
#include "protocol/board_line.h"
#include "protocol/line_protocol.h"
#include "protocol/trace_line.h"

namespace {

board_result fail(ab_status status, const ab_board &board, const std::string &what)
{
    return board_result{status, board.path + ": " + what};
}

// Why an answer is not one, in words a person reads: the bytes quoted as
// the trace quotes them, at most 24 of them.
std::string quoted(const std::string &bytes)
{
    return quoted_bytes(bytes, 24);
}

// Counts a request sent, and how it went (line lock held).
board_result counted(ab_board &board, board_result result, int64_t answered_ns = 0, uint64_t requests = 1)
{
    board.link.requests += requests;
    if (result.status == AB_NO_ANSWER)
        ++board.link.no_answer;
    else if (result.status == AB_NOT_A_READING)
        ++board.link.not_a_reading;
    else if (result.status == AB_NO_PORT)
        ++board.link.no_port;  // it went away during the request
    else if (result.status == AB_OK && answered_ns != 0)
        board.link.last_answer_ns = answered_ns;
    return result;
}

// A request that got nothing right: why.
board_result no_answer(const ab_board &board, exchange_outcome outcome)
{
    switch (outcome) {
    case exchange_outcome::gone: return fail(AB_NO_PORT, board, "the device went away");
    case exchange_outcome::not_sent:
        return fail(AB_NO_ANSWER, board, "the device took no command within its time limit (a full line)");
    default: return fail(AB_NO_ANSWER, board, "no whole answer within " + std::to_string(board.options.timeout_ms) + " ms");
    }
}

// The board's lock and a ready line: what every request begins with. The
// line lock is held on return.
board_result begin_request(ab_board &board, std::unique_lock<std::mutex> &lock)
{
    board_result result = wait_ready(board, lock);
    if (result.status != AB_OK)
        return result;
    if (!board.sketch.extended() && board.classic_unsettled) {
        // A classic answer carries no name: one that is late, or the rest of
        // one cut by the limit, must have passed first.
        wait_quiet(board, lock, quiet_line_ms, board.options.timeout_ms, board.unsettled_at_ms);
        board.classic_unsettled = false;
        if (board.state == line_state::gone)
            return wait_ready(board, lock);
    }
    return result;
}

struct input_request {
    std::string command;
    bool analog;
};

board_result read_request(ab_board &board, const input_request &asked, ab_reading &reading)
{
    std::lock_guard<std::mutex> request(board.request_lock);
    std::unique_lock<std::mutex> lock(board.line_lock);
    board_result result = begin_request(board, lock);
    if (result.status != AB_OK)
        return result;
    awaited_answer answer;
    std::string line = asked.command;
    const awaited_answer::kind classic = asked.analog ? awaited_answer::kind::line : awaited_answer::kind::byte;
    answer.what = tags_needed(board, classic) ? awaited_answer::kind::tagged : classic;
    if (answer.what == awaited_answer::kind::line)
        // A classic sketch gets the 71 exports' line (an empty one after it).
        line = board.sketch.extended() ? command_line(asked.command) : answered_command_line(asked.command);
    else if (answer.what == awaited_answer::kind::byte)
        line = command_line(asked.command);
    lock.unlock();

    const int64_t started_ns = monotonic_ns();
    const exchange_outcome outcome = exchange(board, line, answer, board.options.timeout_ms);
    lock.lock();
    if (outcome != exchange_outcome::answered)
        return counted(board, no_answer(board, outcome));
    const board_item &got = answer.item;
    int32_t value = 0;
    bool right;
    if (answer.what == awaited_answer::kind::byte)
        right = is_digital_reading(static_cast<unsigned char>(got.text[0]), &value);
    else if (asked.analog)
        right = is_analog_reading(got.text, &value) && (answer.what != awaited_answer::kind::tagged || got.text.find(' ') == std::string::npos);
    else
        right = is_digital_text(got.text, &value);
    if (!right) {
        if (!board.sketch.extended()) {
            board.classic_unsettled = true;  // what follows it may be its rest
            board.unsettled_at_ms = elapsed_ms();
        }
        lock.unlock();
        trace_board(board, trace_event::not_a_reading, quoted_bytes(got.text));
        lock.lock();
        return counted(board, fail(AB_NOT_A_READING, board, "the answer " + quoted(got.text) + " is not a reading"));
    }
    reading.raw = value;
    reading.volts = asked.analog ? value * analog_full_scale_volts / analog_reading_steps
                                 : value * analog_full_scale_volts;
    reading.time_ns = answer.arrived_ns;
    reading.round_trip_ns = answer.arrived_monotonic_ns - started_ns;
    return counted(board, {}, answer.arrived_ns);
}

// One request that sets an output; `held` is what the board then holds
// (ab_link's pwm or digital). With the project's sketch the board says it
// set it.
board_result write_request(ab_board &board, const std::string &command, int32_t (ab_link::*held)[channels_of_each_kind],
                           int32_t channel, int32_t value)
{
    std::lock_guard<std::mutex> request(board.request_lock);
    std::unique_lock<std::mutex> lock(board.line_lock);
    board_result result = begin_request(board, lock);
    if (result.status != AB_OK)
        return result;
    awaited_answer answer;
    std::string line = command;
    if (board.sketch.extended())
        answer.what = awaited_answer::kind::tagged;
    else {
        answer.what = awaited_answer::kind::none;
        line = command_line(command);
    }
    lock.unlock();
    const exchange_outcome outcome = exchange(board, line, answer, board.options.timeout_ms);
    lock.lock();
    if (outcome != exchange_outcome::answered)
        return counted(board, no_answer(board, outcome));
    if (answer.what == awaited_answer::kind::tagged && !answer.item.text.empty())
        return counted(board, fail(AB_NOT_A_READING, board,
                                   "the answer " + quoted(answer.item.text + answer.item.tag) + " is no confirmation"));
    (board.link.*held)[channel] = value;
    return counted(board, {}, answer.what == awaited_answer::kind::tagged ? answer.arrived_ns : 0);
}

}  // namespace

ab_status status_of_open_failure(int error)
{
    switch (error) {
    case EBUSY:
    case EWOULDBLOCK:
        return AB_PORT_BUSY;
    case EACCES:
    case EPERM:
    case EROFS:
        return AB_NO_PERMISSION;
    case ENOTTY:
    case EISDIR:
        return AB_NOT_A_PORT;
    default:
        return AB_NO_PORT;
    }
}

board_result read_analog(ab_board &board, int32_t channel, ab_reading &reading)
{
    return read_request(board, {analog_input_command(std::to_string(channel)), true}, reading);
}

board_result read_digital(ab_board &board, int32_t channel, ab_reading &reading)
{
    return read_request(board, {digital_input_command(digital_input_pins[channel]), false}, reading);
}

board_result write_pwm(ab_board &board, int32_t channel, int32_t duty)
{
    return write_request(board, pwm_output_command(pwm_output_pins[channel], duty), &ab_link::pwm, channel, duty);
}

board_result write_digital(ab_board &board, int32_t channel, bool on)
{
    return write_request(board, digital_output_command(digital_output_pins[channel], on), &ab_link::digital, channel,
                         on ? 1 : 0);
}
