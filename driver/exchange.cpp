#include "exchange.h"

#include "posix/clock.h"
#include "posix/deadline.h"

namespace {
constexpr const char *gone_text = "the device hung up or failed; closed";

// Reads and discards what waits; true when a line end was among it. With
// `shown`, also keeps the first of those bytes there and counts them all.
bool discard_waiting(serial_port &port, int32_t waiting, std::string *shown, size_t *count)
{
    char discard[256];
    const int32_t chunk = waiting < static_cast<int32_t>(sizeof discard) ? waiting : static_cast<int32_t>(sizeof discard);
    const int32_t got = port.read(discard, chunk);
    if (shown != nullptr) [[unlikely]] {
        for (int32_t i = 0; i < got && shown->size() < trace_bytes_shown; ++i)
            *shown += discard[i];
        *count += static_cast<size_t>(got);
    }
    for (int32_t i = 0; i < got; ++i)
        if (is_line_end(discard[i]))
            return true;
    return false;
}
}  // namespace

bool line_exchange::reopen_port()
{
    if (trace_ == nullptr) [[likely]]
        return port_.reopen();
    const uint64_t tries = port_.tries();
    const int previous = port_.last_failure().error;
    const bool open = port_.reopen();
    if (port_.tries() == tries)
        return open;
    // A device still missing is tried every reopen_interval_ms: its reason
    // is said once, until it changes.
    const open_failure &failure = port_.last_failure();
    if (open)
        trace_->event(trace_event::reopen, "opened");
    else if (failure.error != previous)
        trace_->event(trace_event::reopen, std::string("not opened: ") + failure.reason());
    return open;
}

// A device that stops reading in the middle of a line keeps the piece it
// took. The next line then starts with a CR of its own, so the piece reaches
// the board as a line by itself, which the board ignores, and never glued
// to the front of the next command.
size_t line_exchange::send_line(const std::string &line)
{
    const bool had_port = reopen_port();
    const std::string out = last_line_cut_ ? command_end + line : line;
    serial_port &port = port_.port();
    const deadline first = deadline_after(command_write_limit_ms);
    size_t sent = port.write_some(out.data(), out.size(), first);
    if (sent > 0 && sent < out.size())
        sent += port.write_some(out.data() + sent, out.size() - sent,
                                deadline{first.start_ms, 2 * command_write_limit_ms});
    last_line_cut_ = sent > 0 && sent < out.size();
    if (trace_ != nullptr) [[unlikely]]
        trace_sent(out, sent, had_port);
    return sent;
}

void line_exchange::give_up_answer(bool begun)
{
    last_answer_ = begun ? answer_state::begun : answer_state::awaited;
    gave_up_at_ms_ = elapsed_ms();
}

// Discards what waits until the deadline; with a late answer's `state`,
// also its rest (see drain).
void line_exchange::discard_until(const deadline &d, answer_state state, discarded *seen)
{
    serial_port &port = port_.port();
    const deadline late_window{gave_up_at_ms_, late_answer_window_ms};
    std::string *shown = seen != nullptr ? &seen->shown : nullptr;
    size_t *count = seen != nullptr ? &seen->count : nullptr;
    for (;;) {
        if (deadline_passed(d))
            return;
        const int32_t waiting = port.bytes_waiting();
        if (waiting > 0) {
            const bool line_end = discard_waiting(port, waiting, shown, count);
            if (state != answer_state::ended)
                state = line_end ? answer_state::ended : answer_state::begun;
            continue;
        }
        if (state == answer_state::ended)
            return;
        // A late answer's rest comes as the line carries it; one that has
        // not begun within its window is not coming.
        const bool awaited = state == answer_state::awaited;
        if (awaited && deadline_passed(late_window))
            return;
        if (!port.wait_readable(awaited && ms_left(late_window) < ms_left(d) ? late_window : d))
            return;
    }
}

// Discards what comes until nothing has for quiet_ms, or the deadline.
void line_exchange::discard_quiet(const deadline &d, int32_t quiet_ms, discarded *seen)
{
    serial_port &port = port_.port();
    deadline quiet = deadline_after(quiet_ms);
    while (!deadline_passed(d)) {
        const int32_t waiting = port.bytes_waiting();
        if (waiting > 0) {
            discard_waiting(port, waiting, seen != nullptr ? &seen->shown : nullptr,
                            seen != nullptr ? &seen->count : nullptr);
            quiet = deadline_after(quiet_ms);
            continue;
        }
        if (!port.wait_readable(ms_left(quiet) < ms_left(d) ? quiet : d))
            return;  // quiet for quiet_ms, or the device is gone
    }
}

void line_exchange::drain(int32_t limit_ms)
{
    const bool had_port = reopen_port();
    const deadline d = deadline_after(limit_ms);
    const answer_state state = last_answer_;
    last_answer_ = answer_state::ended;
    if (trace_ == nullptr) [[likely]] {
        discard_until(d, state, nullptr);
        return;
    }
    discarded seen;
    discard_until(d, state, &seen);
    trace_discarded(seen, had_port);
}

void line_exchange::settle(int32_t quiet_ms, int32_t limit_ms)
{
    const bool had_port = reopen_port();
    const deadline d = deadline_after(limit_ms);
    const bool unsettled = last_answer_ != answer_state::ended;
    last_answer_ = answer_state::ended;
    discarded seen;
    discarded *traced = trace_ != nullptr ? &seen : nullptr;
    if (unsettled)
        discard_quiet(d, quiet_ms, traced);
    else
        discard_until(d, answer_state::ended, traced);
    if (traced != nullptr) [[unlikely]]
        trace_discarded(seen, had_port);
}

// Feeds the answer the bytes that come, one by one, until `done` says it is
// complete or the deadline passes.
template <typename done_with> answer line_exchange::gather(const deadline &d, done_with done)
{
    answer result;
    answer_line line;
    result.outcome = receive(d, [&](char byte) {
        line.take(byte);
        return done(line);
    });
    if (result.outcome != answer_outcome::answered) {
        give_up_answer(line.begun());
        return result;
    }
    result.arrived_ns = realtime_ns();
    result.arrived_monotonic_ns = monotonic_ns();
    result.line = line.text();
    result.byte = line.first_byte();
    return result;
}

answer line_exchange::read_line(const deadline &d)
{
    return gather(d, [](const answer_line &a) { return a.ended(); });
}

answer line_exchange::read_byte(const deadline &d)
{
    // A byte that comes late is for the next drain to discard.
    return gather(d, [](const answer_line &a) { return a.begun(); });
}

namespace {
// Bytes shown for the trace, and their count when not all of them are.
std::string shown_bytes(const std::string &shown, size_t count)
{
    std::string text = quoted_bytes(shown);
    if (count > shown.size())
        text += " " + std::to_string(count) + " bytes";
    return text;
}
}  // namespace

void line_exchange::trace_gone_since(bool had_port)
{
    if (had_port && !port_.port().is_open())
        trace_->event(trace_event::gone, gone_text);
}

void line_exchange::trace_sent(const std::string &out, size_t sent, bool had_port)
{
    if (!had_port) {
        trace_->event(trace_event::no_port, quoted_bytes(out) + " not sent");
        return;
    }
    sent_ns_ = monotonic_ns();
    trace_->event(trace_event::send, sent_bytes(out, sent));
    trace_gone_since(true);
}

void line_exchange::trace_received(answer_outcome outcome, const std::string &shown, size_t count, const deadline &d,
                                   bool had_port)
{
    if (!had_port)
        return;  // the request already said it found no port
    switch (outcome) {
    case answer_outcome::answered:
        trace_->event(trace_event::answer, shown_bytes(shown, count) + " after " +
                                               std::to_string((monotonic_ns() - sent_ns_) / 1000000) + " ms");
        break;
    case answer_outcome::no_answer:
        trace_->event(trace_event::no_answer, "within " + std::to_string(d.limit_ms) + " ms" +
                                                  (count > 0 ? "; came: " + shown_bytes(shown, count) : ""));
        break;
    case answer_outcome::gone:
        trace_->event(trace_event::gone,
                      gone_text + (count > 0 ? "; came: " + shown_bytes(shown, count) : std::string()));
        break;
    }
}

void line_exchange::trace_discarded(const discarded &seen, bool had_port)
{
    if (seen.count > 0)
        trace_->event(trace_event::discard, shown_bytes(seen.shown, seen.count));
    trace_gone_since(had_port);
}
