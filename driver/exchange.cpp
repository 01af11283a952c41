#include "exchange.h"

#include "driver_state.h"
#include "posix/clock.h"
#include "posix/deadline.h"
#include "text_convert.h"

namespace {
constexpr int32_t pause_before_drain_ms = 9;
constexpr int32_t pause_after_write_ms = 1;
constexpr int32_t drain_limit_ms = 1000;

// A device that stops reading in the middle of a line keeps the piece it
// took. The next line then starts with a CR of its own, so the piece reaches
// the board as a line by itself, which the board ignores, and never glued
// to the front of the next command.
bool last_line_cut = false;

// Writes one line whole: nothing of it unless the device takes its first
// bytes within command_write_limit_ms, and once begun, its rest as room
// comes until twice that limit from the start.
int32_t send_line(const std::string &line)
{
    driver_port.reopen();
    const std::string out = last_line_cut ? command_end + line : line;
    serial_port &port = driver_port.port();
    const deadline first = deadline_after(command_write_limit_ms);
    size_t sent = port.write_some(out.data(), out.size(), first);
    if (sent > 0 && sent < out.size())
        sent += port.write_some(out.data() + sent, out.size() - sent,
                                deadline{first.start_ms, 2 * command_write_limit_ms});
    last_line_cut = sent > 0 && sent < out.size();
    return static_cast<int32_t>(sent);
}

// What is known of the line after a request whose answer did not end within
// its limit. The next drain discards that answer's rest, so a late answer is
// never taken as the next request's.
enum class answer_state {
    ended,    // the last answer ended, or none was asked for
    awaited,  // nothing came: the answer may still begin
    begun,    // part of it came: its rest is on its way
};
answer_state last_answer = answer_state::ended;
// When the awaited answer's limit passed.
int32_t gave_up_at_ms = 0;

// How long after its limit an awaited answer may still begin and be known
// for a late one: a board later than that is indistinguishable from a right
// answer on this protocol.
constexpr int32_t late_answer_window_ms = 30;

void give_up_answer(bool begun)
{
    last_answer = begun ? answer_state::begun : answer_state::awaited;
    gave_up_at_ms = elapsed_ms();
}

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

// Discards the bytes waiting on the driver's port. Bounded in time, so a
// board that never stops sending cannot hang the host.
void drain_port()
{
    driver_port.reopen();
    serial_port &port = driver_port.port();
    const deadline d = deadline_after(drain_limit_ms);
    answer_state state = last_answer;
    last_answer = answer_state::ended;
    const deadline late_window{gave_up_at_ms, late_answer_window_ms};
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

// Feeds the answer the bytes that come, one by one, until it is done with
// them or the answer limit passes; true when done.
template <typename done_with>
bool gather_answer(answer_line &answer, const deadline &d, done_with done)
{
    serial_port &port = driver_port.port();
    while (port.wait_readable(d)) {
        char byte;
        if (port.read(&byte, 1) != 1)
            return false;  // readable, yet nothing to read: the device is gone
        answer.take(byte);
        if (done(answer))
            return true;
    }
    return false;
}

// The answer line, gathered for at most answer_limit_ms. A port that is not
// open, or a device gone, gives the empty line once the limit passed.
std::string read_answer_line()
{
    answer_line answer;
    const deadline d = deadline_after(answer_limit_ms);
    if (gather_answer(answer, d, [](const answer_line &a) { return a.ended(); }))
        return answer.text();
    // No port, or a device gone: the request still takes its whole limit, so
    // a host polling an unplugged board is paced as by a silent one.
    sleep_until_passed(d);
    // A line without its end is no answer: its digits may be a piece of the
    // reading ("6" of "600"), and its rest is for the next drain to discard.
    give_up_answer(answer.begun());
    return std::string();
}
}  // namespace

int32_t send_command(const std::string &command)
{
    return send_line(command_line(command));
}

int32_t exchange_byte(const std::string &command)
{
    drain_port();
    if (send_command(command) == 0)
        return no_answer_byte;  // nothing went out, so no answer can come
    // At 9600 baud the command alone takes about 4 ms on the wire: the answer
    // byte is waited for, within the same limit as an analog answer.
    answer_line answer;
    if (gather_answer(answer, deadline_after(answer_limit_ms), [](const answer_line &a) { return a.begun(); }))
        return answer.first_byte();
    give_up_answer(false);  // a late byte is not the next request's
    return no_answer_byte;
}

std::string exchange_command(const std::string &command)
{
    delay_ms(pause_before_drain_ms);
    drain_port();
    // The analog command goes out with an empty line after it, which the
    // board ignores.
    send_line(command_line(command) + command_end);
    delay_ms(pause_after_write_ms);
    return trim_spaces(read_answer_line());
}
