// The board's start, run by its reader after each open: the wait while it
// restarts, the question what its sketch is (asked again until it answers),
// the end of a stream an earlier program left running, and the fast line.
// Also the repair of a line whose ends may be apart. Every state here is
// the board's own answer, never assumed: where an answer does not come, the
// host waits out the board's silence rule (board_wire.h), after which the
// board is at 9600 with no stream whatever it heard.
#include <algorithm>

#include "board_object.h"
#include "posix/clock.h"
#include "protocol/board_line.h"

namespace {

// The question what the sketch is: each try's limit, and how long the
// question goes on at least (a sketch that starts slowly, a busy host).
constexpr int32_t identify_try_ms = 300;
constexpr int32_t identify_window_ms = 1000;
// What the host gives the board beyond its silence rule's time.
constexpr int32_t silence_margin_ms = 250;
constexpr int32_t board_silence_ms = static_cast<int32_t>(board_wire::host_silence_ms) + silence_margin_ms;
// The handshakes' answers: the end of a stream, the uptime, the move of the
// line (at 9600 each takes some 10 ms on the line).
constexpr int32_t handshake_limit_ms = 500;
constexpr int32_t rate_answer_limit_ms = 1000;
// The check at the new rate: each try's limit, and how many.
constexpr int32_t check_try_ms = 300;
constexpr int check_tries = 3;
// After its answer to the move has left, the board takes a moment to set
// its new rate.
constexpr int32_t rate_switch_ms = 2;
// The question at each fast rate, for a board left at one.
constexpr int32_t probe_limit_ms = 100;

bool line_alive(ab_board &board)
{
    std::lock_guard<std::mutex> lock(board.line_lock);
    return board.state != line_state::gone && !board.stopping;
}

// Sorts what comes until the deadline (nothing waits for it: it is
// discarded), unless the device goes or the reader ends.
void sort_until(ab_board &board, const deadline &until)
{
    while (!board.stopping && line_alive(board) && !deadline_passed(until))
        pump(board, until);
}

// Moves the host's end of the line (the board's moves on its own word).
bool host_rate(ab_board &board, int32_t baud)
{
    std::lock_guard<std::mutex> writing(board.write_lock);
    std::lock_guard<std::mutex> lock(board.line_lock);
    if (!board.port.port().set_rate(baud))
        return false;
    board.input = board_input();  // what came at the old rate is noise
    board.input.use_tags(board.sketch.extended());
    // What this end sent at a rate the board was not at may wait in its
    // buffer as noise without a line end: the next line ends it first.
    board.line_cut = true;
    return true;
}

// Asks what the sketch is until it says so, or `window` ends; a board that
// sends what is no answer at 9600 (at another rate, or streaming) is given
// its silence rule's time beyond.
bool identify(ab_board &board, deadline window, sketch_identity *identity, bool wait_for_noise)
{
    bool extended = false;
    uint64_t received;
    {
        std::lock_guard<std::mutex> lock(board.line_lock);
        board.noise_seen = false;
        received = board.received_bytes;
    }
    while (!deadline_passed(window) && line_alive(board)) {
        awaited_answer answer;
        answer.what = awaited_answer::kind::identity;
        const int32_t limit = static_cast<int32_t>(std::clamp<int64_t>(ms_left(window), 1, identify_try_ms));
        exchange(board, command_line(identify_command), answer, limit, true);
        if (answer.got == awaited_answer::state::answered && parse_identity(answer.item.text, identity))
            return true;
        std::lock_guard<std::mutex> lock(board.line_lock);
        // Bytes came, and none was the answer.
        if (wait_for_noise && !extended && (board.noise_seen || board.received_bytes != received)) {
            extended = true;
            const deadline beyond = deadline_after(board_silence_ms);
            if (ms_left(beyond) > ms_left(window))
                window = beyond;
        }
    }
    return false;
}

// Asks once at each fast rate: a board found at one keeps it (both ends
// agree on it), else the host goes back to 9600.
bool probe_fast_rates(ab_board &board, sketch_identity *identity)
{
    for (const uint32_t rate : board_wire::fast_rates) {
        const auto baud = static_cast<int32_t>(rate);
        bool possible;
        {
            std::lock_guard<std::mutex> writing(board.write_lock);
            possible = board.port.port().rate_possible(baud);
        }
        if (!possible || !host_rate(board, baud))
            continue;
        awaited_answer answer;
        answer.what = awaited_answer::kind::identity;
        exchange(board, command_line(identify_command), answer, probe_limit_ms, true);
        if (answer.got == awaited_answer::state::answered && parse_identity(answer.item.text, identity) &&
            identity->extended()) {
            std::lock_guard<std::mutex> writing(board.write_lock);
            std::lock_guard<std::mutex> lock(board.line_lock);
            note_rate(board, baud);
            return true;
        }
        if (!line_alive(board))
            return false;
    }
    host_rate(board, board_wire::classic_rate);
    return false;
}

// A tagged handshake on the reader: its answer's value, or false.
bool handshake(ab_board &board, const std::string &command, int32_t limit_ms, std::string *value)
{
    awaited_answer answer;
    if (exchange(board, command, answer, limit_ms, true) != exchange_outcome::answered)
        return false;
    *value = answer.item.text;
    return true;
}

// A line whose two ends may be apart after a move that went wrong: back to
// 9600 at both, the sketch asked again there, and its uptime (which tells
// whether it restarted meanwhile).
void recover(ab_board &board, bool host_moved);

// The board may be anywhere: the host goes back to 9600 and waits until the
// board, having heard nothing it understands for its silence rule's time,
// is at 9600 with no stream too.
// `host_moved`: the host's end is at another rate than the one agreed.
void wait_out_silence(ab_board &board, bool host_moved = false)
{
    int32_t since;
    {
        std::lock_guard<std::mutex> lock(board.line_lock);
        since = board.last_sent_ms;
    }
    if (host_moved || board.baud != board_wire::classic_rate)
        host_rate(board, board_wire::classic_rate);
    {
        std::lock_guard<std::mutex> writing(board.write_lock);
        std::lock_guard<std::mutex> lock(board.line_lock);
        note_rate(board, board_wire::classic_rate);
    }
    sort_until(board, deadline{since, board_silence_ms});
}

void recover(ab_board &board, bool host_moved)
{
    wait_out_silence(board, host_moved);
    sketch_identity identity;
    if (!identify(board, deadline_after(identify_window_ms), &identity, false))
        return;
    std::string value;
    if (handshake(board, keep_command, handshake_limit_ms, &value)) {
        std::lock_guard<std::mutex> lock(board.line_lock);
        note_uptime(board, value, true);
    }
}

// The fast line the options ask for (the fastest both ends take, by
// default), as a two-step agreement: the board moves after its answer at
// 9600, and the host keeps the new rate only once the board answered there.
// Whatever is lost or late on the way, the silence rule brings both ends
// back to 9600, where the open goes on.
void move_line(ab_board &board)
{
    const int32_t wanted = board.options.baud;
    if (board.baud != board_wire::classic_rate && wanted != 0 && wanted != board.baud) {
        // Found at a rate other than the one asked for: back to 9600 first.
        std::string value;
        if (handshake(board, rate_command(board_wire::classic_rate), rate_answer_limit_ms, &value) &&
            host_rate(board, board_wire::classic_rate)) {
            std::lock_guard<std::mutex> writing(board.write_lock);
            std::lock_guard<std::mutex> lock(board.line_lock);
            note_rate(board, board_wire::classic_rate);
        } else {
            wait_out_silence(board, true);
        }
    }
    if (wanted == board_wire::classic_rate || board.baud != board_wire::classic_rate)
        return;
    for (const uint32_t rate : board_wire::fast_rates) {
        const auto baud = static_cast<int32_t>(rate);
        if (wanted != 0 && baud != wanted)
            continue;
        bool possible;
        {
            std::lock_guard<std::mutex> writing(board.write_lock);
            possible = board.port.port().rate_possible(baud);
        }
        if (!possible)
            continue;  // not a rate this host's device can make
        std::string value;
        if (!handshake(board, rate_command(baud), rate_answer_limit_ms, &value)) {
            if (line_alive(board))
                recover(board, false);  // it may have moved
            return;
        }
        int64_t agreed = -1;
        natural_value(value, 0xFFFFFFFFLL, &agreed);
        if (agreed == 0)
            continue;  // refused: a slower one may do
        if (agreed != baud) {
            recover(board, false);  // an answer that is neither: it may have moved all the same
            return;
        }
        if (!host_rate(board, baud)) {
            recover(board, true);
            return;
        }
        sort_until(board, deadline_after(rate_switch_ms));
        // The same question each try: an answer to any of them will do.
        awaited_answer check;
        for (int tries = 0; tries < check_tries && line_alive(board); ++tries) {
            if (exchange(board, keep_command, check, check_try_ms, true) == exchange_outcome::answered) {
                std::lock_guard<std::mutex> writing(board.write_lock);
                std::lock_guard<std::mutex> lock(board.line_lock);
                note_rate(board, baud);
                note_uptime(board, check.item.text, false);
                return;
            }
        }
        if (line_alive(board))
            recover(board, true);
        return;
    }
}

// After the board said what it is: the end of any stream (an earlier
// program's, on a board that did not restart), and its uptime, which tells
// whether it restarted since this host last heard it.
void settle_sketch(ab_board &board, start_reason reason)
{
    std::string value;
    handshake(board, stream_end_command, handshake_limit_ms, &value);
    const bool uptime = line_alive(board) && handshake(board, keep_command, handshake_limit_ms, &value);
    std::lock_guard<std::mutex> lock(board.line_lock);
    const bool reopened = reason == start_reason::opened && board.started_once;
    if (uptime)
        note_uptime(board, value, reason != start_reason::opened || board.started_once);
    else if (reopened)
        note_restart(board, "its port opened again");  // as far as anyone can tell
}

}  // namespace

void run_start(ab_board &board, start_reason reason)
{
    {
        std::lock_guard<std::mutex> lock(board.line_lock);
        board.state = line_state::starting;
        board.unanswered.clear();
        board.doubt = false;
        board.keep_misses = 0;
        board.changed.notify_all();
    }
    sketch_identity identity;
    bool identified = false;
    switch (reason) {
    case start_reason::opened:
        // The board restarts as its port opens; nothing reaches it before.
        sort_until(board, board.restarted);
        identified = identify(board, deadline_after(identify_window_ms), &identity, true);
        // A board that did not restart (on a link) may still be at the fast
        // rate an earlier program left it at, silent, until its silence
        // rule's time has passed since that program's last line (always
        // passed by now, unless the start was short).
        if (!identified && line_alive(board) && board.options.start_ms + identify_window_ms < board_silence_ms)
            identified = probe_fast_rates(board, &identity);
        break;
    case start_reason::resync:
        wait_out_silence(board);
        {
            std::lock_guard<std::mutex> lock(board.line_lock);
            end_stream(board, AB_NO_ANSWER, "the board stopped answering during the stream");
        }
        identified = identify(board, deadline_after(identify_window_ms), &identity, false);
        break;
    case start_reason::late_identity:
        identified = true;
        identity = board.late_sketch;
        break;
    case start_reason::restarted:
    case start_reason::none:
        identified = true;
        identity = board.sketch;
        break;
    }
    if (!line_alive(board))
        return;
    {
        std::lock_guard<std::mutex> lock(board.line_lock);
        if (reason == start_reason::opened)
            board.sketch = identified ? identity : sketch_identity{};
        else if (identified)
            board.sketch = identity;
        board.input.use_tags(board.sketch.extended());
        board.link.sketch = board.sketch.version;
    }
    if (board.sketch.extended()) {
        if (identified && reason != start_reason::restarted)
            settle_sketch(board, reason);
        if (board.sketch.rates)
            move_line(board);
    } else if (reason == start_reason::opened && board.started_once) {
        // A classic sketch restarts as its port opens, as far as anyone
        // can tell.
        std::lock_guard<std::mutex> lock(board.line_lock);
        note_restart(board, "its port opened again");
    }
    std::lock_guard<std::mutex> lock(board.line_lock);
    if (board.state == line_state::starting)
        board.state = line_state::ready;
    board.started_once = true;
    board.changed.notify_all();
}
