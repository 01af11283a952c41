#include "exchange.h"

#include "posix/clock.h"
#include "posix/deadline.h"

namespace {
// Reads and discards what waits; true when a line end was among it.
bool discard_waiting(serial_port &port, int32_t waiting)
{
    char discard[256];
    const int32_t chunk = waiting < static_cast<int32_t>(sizeof discard) ? waiting : static_cast<int32_t>(sizeof discard);
    const int32_t got = port.read(discard, chunk);
    for (int32_t i = 0; i < got; ++i)
        if (is_line_end(discard[i]))
            return true;
    return false;
}
}  // namespace

// A device that stops reading in the middle of a line keeps the piece it
// took. The next line then starts with a CR of its own, so the piece reaches
// the board as a line by itself, which the board ignores, and never glued
// to the front of the next command.
size_t line_exchange::send_line(const std::string &line)
{
    port_.reopen();
    const std::string out = last_line_cut_ ? command_end + line : line;
    serial_port &port = port_.port();
    const deadline first = deadline_after(command_write_limit_ms);
    size_t sent = port.write_some(out.data(), out.size(), first);
    if (sent > 0 && sent < out.size())
        sent += port.write_some(out.data() + sent, out.size() - sent,
                                deadline{first.start_ms, 2 * command_write_limit_ms});
    last_line_cut_ = sent > 0 && sent < out.size();
    return sent;
}

void line_exchange::give_up_answer(bool begun)
{
    last_answer_ = begun ? answer_state::begun : answer_state::awaited;
    gave_up_at_ms_ = elapsed_ms();
}

// Discards what waits until the deadline; with a late answer's `state`,
// also its rest (see drain).
void line_exchange::discard_until(const deadline &d, answer_state state)
{
    serial_port &port = port_.port();
    const deadline late_window{gave_up_at_ms_, late_answer_window_ms};
    for (;;) {
        if (deadline_passed(d))
            return;
        const int32_t waiting = port.bytes_waiting();
        if (waiting > 0) {
            const bool line_end = discard_waiting(port, waiting);
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

void line_exchange::drain(int32_t limit_ms)
{
    port_.reopen();
    const deadline d = deadline_after(limit_ms);
    const answer_state state = last_answer_;
    last_answer_ = answer_state::ended;
    discard_until(d, state);
}

void line_exchange::settle(int32_t quiet_ms, int32_t limit_ms)
{
    port_.reopen();
    const deadline d = deadline_after(limit_ms);
    const bool unsettled = last_answer_ != answer_state::ended;
    last_answer_ = answer_state::ended;
    if (!unsettled) {
        discard_until(d, answer_state::ended);
        return;
    }
    serial_port &port = port_.port();
    deadline quiet = deadline_after(quiet_ms);
    while (!deadline_passed(d)) {
        const int32_t waiting = port.bytes_waiting();
        if (waiting > 0) {
            discard_waiting(port, waiting);
            quiet = deadline_after(quiet_ms);
            continue;
        }
        if (!port.wait_readable(ms_left(quiet) < ms_left(d) ? quiet : d))
            return;  // quiet for quiet_ms, or the device is gone
    }
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
