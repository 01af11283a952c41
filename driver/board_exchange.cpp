// A request's exchange on a board whose reader owns the line: the tag it
// carries, the line written whole, the wait for its own answer, and what a
// request that got none leaves behind.
#include <algorithm>
#include <chrono>

#include "board_object.h"
#include "posix/clock.h"
#include "protocol/trace_line.h"

namespace {

// At its limit, a request whose answer may already wait in the device gives
// the reader up to this much longer to sort what came by then: on a busy
// host the reader may run late, and an answer that came in time is not
// lost for it.
constexpr int32_t answer_grace_ms = 250;

using steady = std::chrono::steady_clock;

steady::time_point after_ms(int64_t ms)
{
    return steady::now() + std::chrono::milliseconds(ms);
}

bool tag_in_use(const ab_board &board, char tag)
{
    for (const ab_board::given_up &given : board.unanswered)
        if (given.tag == tag)
            return true;
    for (const awaited_answer *answer : board.awaited)
        if (answer->what == awaited_answer::kind::tagged && answer->tag == tag)
            return true;
    return false;
}

// The next tag whose answer cannot still be on its way; 0 when every one's
// may be (line lock held).
char next_free_tag(ab_board &board)
{
    for (uint8_t tried = 0; tried < board_wire::tag_count; ++tried) {
        const char tag = board.next_tag;
        board.next_tag = tag == board_wire::last_tag ? board_wire::first_tag : static_cast<char>(tag + 1);
        if (!tag_in_use(board, tag))
            return tag;
    }
    return 0;
}

// A request's line goes out whole, or not at all: the same rule as the 71
// exports' (a piece left by a device that stopped reading is ended by a CR
// of its own before the next line). `wait` false: only when no other line
// is being written now (the reader's own requests never wait for a writer).
bool write_line(ab_board &board, const std::string &line, awaited_answer &answer, bool wait)
{
    std::unique_lock<std::mutex> writing(board.write_lock, std::defer_lock);
    if (wait)
        writing.lock();
    else if (!writing.try_lock())
        return false;
    serial_port &port = board.port.port();
    const deadline first = deadline_after(command_write_limit_ms);
    {
        std::lock_guard<std::mutex> state(board.line_lock);
        if (!port.is_open() || port.gone() || board.state == line_state::gone)
            return false;
        answer.sent = ++board.lines_sent;
        board.last_sent_ms = first.start_ms;
    }
    const std::string out = board.line_cut ? std::string(1, command_end) + line : line;
    size_t sent = port.write_some(out.data(), out.size(), first);
    if (sent > 0 && sent < out.size())
        sent += port.write_some(out.data() + sent, out.size() - sent, deadline{first.start_ms, 2 * command_write_limit_ms});
    board.line_cut = sent > 0 && sent < out.size();
    if (board.traced)
        trace_board(board, trace_event::send, sent_bytes(out, sent));
    return sent == out.size();
}

// Makes the answer awaited, with its tag, and gives its line (line lock
// held); "" when no tag is free.
std::string await_answer(ab_board &board, const std::string &command, awaited_answer &answer)
{
    if (answer.what == awaited_answer::kind::tagged && answer.tag == 0) {
        answer.tag = next_free_tag(board);
        if (answer.tag == 0)
            return std::string();
    }
    if (answer.what != awaited_answer::kind::tagged)
        board.input.forget_partial();  // the rest of an old answer, or noise, never begins this one
    if (answer.what == awaited_answer::kind::byte)
        board.input.expect_classic_byte(true);
    answer.got = awaited_answer::state::waiting;
    answer.sent = 0;
    if (answer.what != awaited_answer::kind::none)
        board.awaited.push_back(&answer);
    return answer.what == awaited_answer::kind::tagged ? tagged_command(command, answer.tag) + command_end : command;
}

exchange_outcome outcome_of(const awaited_answer &answer)
{
    switch (answer.got) {
    case awaited_answer::state::answered: return exchange_outcome::answered;
    case awaited_answer::state::gone: return exchange_outcome::gone;
    default: return exchange_outcome::no_answer;
    }
}

std::string shown(const board_item &item)
{
    return quoted_bytes(item.what == board_item::kind::tagged ? item.text + item.tag : item.text);
}

}  // namespace

void trace_board(ab_board &board, const char *event, std::string_view details)
{
    if (!board.traced)
        return;
    std::lock_guard<std::mutex> lock(board.trace_lock);
    board.trace.event(event, details);
}

board_result wait_ready(ab_board &board, std::unique_lock<std::mutex> &lock)
{
    for (;;) {
        if (board.closing)
            return {AB_BAD_ARGUMENT, "the board was closed while the call waited for it"};
        if (board.state == line_state::ready)
            return {};
        if (board.state == line_state::gone) {
            ++board.link.no_port;
            const open_failure &failure = board.port.last_failure();
            if (failure.error == 0)
                return {AB_NO_PORT, board.path + ": the device is gone (unplugged?)"};
            return {status_of_open_failure(failure.error), board.path + ": " + failure.reason()};
        }
        // The reader's start is bounded (TIMING); a close or an unplug wakes
        // this too.
        board.changed.wait(lock);
    }
}

bool tags_needed(const ab_board &board, awaited_answer::kind kind)
{
    if (!board.sketch.extended())
        return false;
    if (board.stream && board.stream->running())
        return true;
    if (kind != awaited_answer::kind::line)
        return !board.unanswered.empty() || !board.awaited.empty();
    // A tagged answer is never a line: only a classic one could be taken.
    for (const ab_board::given_up &given : board.unanswered)
        if (given.tag == '\0')
            return true;
    for (const awaited_answer *answer : board.awaited)
        if (answer->what != awaited_answer::kind::tagged)
            return true;
    return false;
}

void wait_quiet(ab_board &board, std::unique_lock<std::mutex> &lock, int32_t quiet_ms, int32_t limit_ms,
                int32_t since_ms)
{
    const steady::time_point end = after_ms(limit_ms);
    for (;;) {
        const int64_t quiet_for = std::min(ms_since(board.last_received_ms), ms_since(since_ms));
        if (quiet_for >= quiet_ms || board.state == line_state::gone)
            return;
        const steady::time_point quiet_at = after_ms(quiet_ms - quiet_for);
        if (board.changed.wait_until(lock, std::min(end, quiet_at)) == std::cv_status::timeout && steady::now() >= end)
            return;
    }
}

void withdraw(ab_board &board, awaited_answer &answer, bool on_reader)
{
    board.awaited.erase(std::remove(board.awaited.begin(), board.awaited.end(), &answer), board.awaited.end());
    if (answer.what == awaited_answer::kind::byte)
        board.input.expect_classic_byte(false);
    if (answer.what == awaited_answer::kind::none || answer.got == awaited_answer::state::answered ||
        answer.got == awaited_answer::state::gone || answer.sent == 0)
        return;
    if (!board.sketch.extended()) {
        board.classic_unsettled = true;
        board.unsettled_at_ms = elapsed_ms();
        return;
    }
    board.unanswered.push_back({answer.what == awaited_answer::kind::tagged ? answer.tag : '\0', answer.sent});
    if (!on_reader) {
        // The board may have restarted, or the line moved under it: the
        // reader asks it at once.
        board.doubt = true;
        wake_reader(board);
    }
}

bool post(ab_board &board, const std::string &command, awaited_answer &answer)
{
    std::string line;
    {
        std::lock_guard<std::mutex> lock(board.line_lock);
        if (board.state == line_state::gone)
            return false;
        line = await_answer(board, command, answer);
        if (line.empty())
            return false;
    }
    if (write_line(board, line, answer, false))
        return true;
    std::lock_guard<std::mutex> lock(board.line_lock);
    withdraw(board, answer, true);
    return false;
}

exchange_outcome exchange(ab_board &board, const std::string &command, awaited_answer &answer, int32_t limit_ms,
                          bool on_reader)
{
    std::unique_lock<std::mutex> lock(board.line_lock);
    if (board.state == line_state::gone)
        return exchange_outcome::gone;
    std::string line = await_answer(board, command, answer);
    if (line.empty() && !on_reader) {
        // Every tag's answer may still come: once the line has been quiet,
        // none will.
        wait_quiet(board, lock, quiet_line_ms, limit_ms, elapsed_ms());
        board.unanswered.clear();
        line = await_answer(board, command, answer);
    }
    if (line.empty())
        return exchange_outcome::not_sent;
    lock.unlock();

    const int64_t started_ns = monotonic_ns();
    const bool sent = write_line(board, line, answer, true);
    if (!sent) {
        lock.lock();
        withdraw(board, answer, on_reader);
        const bool no_port = board.state == line_state::gone || board.port.port().gone() || !board.port.port().is_open();
        return no_port ? exchange_outcome::gone : exchange_outcome::not_sent;
    }
    if (answer.what == awaited_answer::kind::none) {
        answer.got = awaited_answer::state::answered;  // written whole: all a classic sketch says
        return exchange_outcome::answered;
    }
    if (on_reader) {
        const deadline until = deadline_after(limit_ms);
        for (;;) {
            {
                std::lock_guard<std::mutex> state(board.line_lock);
                if (answer.got != awaited_answer::state::waiting || board.state == line_state::gone)
                    break;
            }
            if (board.stopping || deadline_passed(until))
                break;
            pump(board, until);
        }
        take_waiting(board);  // what came by the limit counts
        lock.lock();
    } else {
        lock.lock();
        const auto done = [&] { return answer.got != awaited_answer::state::waiting; };
        board.changed.wait_until(lock, after_ms(limit_ms), done);
        serial_port &port = board.port.port();
        if (!done() && port.is_open() && !port.gone()) {
            const int32_t waiting = port.bytes_waiting();
            if (waiting > 0) {
                const uint64_t target = board.received_bytes + static_cast<uint64_t>(waiting);
                board.changed.wait_for(lock, std::chrono::milliseconds(answer_grace_ms), [&] {
                    return done() || board.received_bytes >= target || board.state == line_state::gone;
                });
            }
        }
    }
    withdraw(board, answer, on_reader);
    const exchange_outcome outcome = outcome_of(answer);
    lock.unlock();
    if (board.traced) {
        if (outcome == exchange_outcome::answered)
            trace_board(board, trace_event::answer,
                        shown(answer.item) + " after " +
                            std::to_string((answer.arrived_monotonic_ns - started_ns) / 1000000) + " ms");
        else if (outcome == exchange_outcome::no_answer)
            trace_board(board, trace_event::no_answer,
                        "within " + std::to_string(limit_ms) + " ms" +
                            (answer.got == awaited_answer::state::overtaken ? " (a later request was answered)" : ""));
    }
    return outcome;
}
