// A board's reader: the one thread that reads its descriptor, sleeping in
// poll() until bytes come, and hands each piece to what waits for it; that
// sees the device go and opens it again; that keeps the line alive and the
// board's state known (its uptime, its rate, its stream).
#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "board_object.h"
#include "posix/clock.h"
#include "protocol/trace_line.h"

namespace {

// The reader sends the board a line at least this often: the board keeps a
// fast rate and a stream only while its host talks (board_wire.h).
constexpr int32_t keep_interval_ms = static_cast<int32_t>(board_wire::host_silence_ms / 4);
// After this many of its questions in a row got no answer at a fast rate or
// in a stream, the reader mends the line (board_start.cpp).
constexpr int keep_misses_to_mend = 3;
// A board clock behind the host's by more than this restarted (the host's
// own delays in reading an answer stay well below it).
constexpr int64_t restart_slack_ms = 1500;

// How long the reader's question may take.
int32_t keep_limit_ms(const ab_board &board)
{
    return std::clamp(board.options.timeout_ms, 100, 500);
}

void fulfil(awaited_answer &answer, board_item &&item)
{
    answer.got = awaited_answer::state::answered;
    answer.item = std::move(item);
    answer.arrived_ns = realtime_ns();
    answer.arrived_monotonic_ns = monotonic_ns();
}

// Everything written before the line that `sent` answered was answered or
// never will be: the board answers in order (line lock held).
void answered_up_to(ab_board &board, uint64_t sent, const awaited_answer *except)
{
    for (awaited_answer *answer : board.awaited)
        if (answer != except && answer->sent != 0 && answer->sent < sent && answer->got == awaited_answer::state::waiting)
            answer->got = awaited_answer::state::overtaken;
    while (!board.unanswered.empty() && board.unanswered.front().sent <= sent)
        board.unanswered.pop_front();
    // The board hears this host.
    board.doubt = false;
}

void discard(ab_board &board, const board_item &item, const char *what)
{
    if (!board.traced)
        return;
    const std::string bytes = item.what == board_item::kind::tagged ? item.text + item.tag : item.text;
    std::string details = quoted_bytes(bytes);
    if (item.count > bytes.size())
        details += " " + std::to_string(item.count) + " bytes";
    trace_board(board, trace_event::discard, details + (what[0] != '\0' ? std::string(" (") + what + ")" : ""));
}

// What a tagged answer does to the line as it comes (line lock held).
void take_effect(ab_board &board, const awaited_answer &answer)
{
    int64_t value = 0;
    if (!natural_value(answer.item.text, 0xFFFFFFFFLL, &value))
        return;
    if (answer.does == awaited_answer::effect::starts_stream && board.asked_stream &&
        value == board.asked_stream->interval_us()) {
        // Frames may follow in the very bytes being sorted.
        if (board.stream)
            board.link.samples_dropped += board.stream->discard();
        board.stream = std::move(board.asked_stream);
        board.input.expect_stream(board.stream->analog_mask(), board.stream->digital_mask());
    } else if (answer.does == awaited_answer::effect::ends_stream && board.stream && board.stream->running()) {
        const board_stream::counts counts = board.stream->confirm_end(static_cast<uint32_t>(value));
        board.link.frames_lost += counts.lost;
        end_stream(board, AB_OK, "the stream was stopped");
    }
}

// The reader's own question was answered: the board is there, at this
// rate, and says its uptime (line lock held).
void keep_answered(ab_board &board)
{
    board.keep_pending = false;
    board.keep_misses = 0;
    withdraw(board, board.keep, true);
    note_uptime(board, board.keep.item.text, true);
}

void take_tagged(ab_board &board, board_item &&item)
{
    for (awaited_answer *answer : board.awaited) {
        if (answer->what == awaited_answer::kind::tagged && answer->tag == item.tag &&
            answer->got == awaited_answer::state::waiting) {
            fulfil(*answer, std::move(item));
            answered_up_to(board, answer->sent, answer);
            if (answer == &board.keep && board.keep_pending)
                keep_answered(board);
            else
                take_effect(board, *answer);
            return;
        }
    }
    // A late answer of a request that gave up (its tag is not used again
    // until then), or noise.
    for (const ab_board::given_up &given : board.unanswered) {
        if (given.tag == item.tag) {
            discard(board, item, "late");
            answered_up_to(board, given.sent, nullptr);
            return;
        }
    }
    discard(board, item, "");
}

void take_classic(ab_board &board, board_item &&item, awaited_answer::kind kind)
{
    for (awaited_answer *answer : board.awaited) {
        if (answer->what == kind && answer->got == awaited_answer::state::waiting) {
            fulfil(*answer, std::move(item));
            answered_up_to(board, answer->sent, answer);
            return;
        }
    }
    // The late answer of the oldest classic request that gave up.
    if (!board.unanswered.empty() && board.unanswered.front().tag == '\0')
        board.unanswered.pop_front();
    discard(board, item, "");
}

void take_identity(ab_board &board, board_item &&item)
{
    sketch_identity identity;
    if (!parse_identity(item.text, &identity)) {
        discard(board, item, "");
        return;
    }
    for (awaited_answer *answer : board.awaited) {
        if (answer->what == awaited_answer::kind::identity && answer->got == awaited_answer::state::waiting) {
            fulfil(*answer, std::move(item));
            return;
        }
    }
    // The sketch said what it is after the start took it for a classic
    // one: the reader starts it again as what it is.
    if (board.started_once && !board.sketch.extended() && identity.extended() && board.state == line_state::ready) {
        board.late_sketch = identity;
        board.start_due = start_reason::late_identity;
        trace_board(board, trace_event::discard, quoted_bytes(item.text) + " (the sketch's late identity)");
        return;
    }
    discard(board, item, "");
}

// Hands `count` bytes to what waits for them (line lock held).
void take_bytes(ab_board &board, const char *bytes, size_t count)
{
    board.received_bytes += count;
    board.last_received_ms = elapsed_ms();
    size_t at = 0;
    // A classic scan reads its answers itself, byte by byte.
    for (awaited_answer *answer : board.awaited) {
        if (answer->what != awaited_answer::kind::scan || answer->got != awaited_answer::state::waiting)
            continue;
        classic_scan_bytes &scan = *answer->scan;
        while (at < count && !scan.answers.finished()) {
            const int index = scan.answers.take(bytes[at++]);
            if (index >= 0)
                scan.arrived[static_cast<size_t>(index)] = {realtime_ns(), monotonic_ns()};
        }
        if (scan.answers.finished())
            fulfil(*answer, board_item{});
        break;
    }
    if (at < count) {
        board.input.take(bytes + at, count - at);
        sort_input(board);
    }
}

void lose_port(ab_board &board)
{
    std::lock_guard<std::mutex> writing(board.write_lock);
    std::lock_guard<std::mutex> lock(board.line_lock);
    if (board.state == line_state::gone && !board.port.port().is_open())
        return;
    board.port.port().close();
    board.state = line_state::gone;
    board.link.connected = 0;
    for (awaited_answer *answer : board.awaited)
        if (answer->got == awaited_answer::state::waiting)
            answer->got = awaited_answer::state::gone;
    if (board.keep_pending) {
        withdraw(board, board.keep, true);
        board.keep_pending = false;
    }
    end_stream(board, AB_NO_PORT, "the device went away during the stream");
    board.asked_stream.reset();
    board.unanswered.clear();
    board.doubt = false;
    board.classic_unsettled = false;
    board.line_cut = false;
    board.input = board_input();
    if (board.baud != board_wire::classic_rate) {
        board.baud = board_wire::classic_rate;  // every open starts there
        board.link.baud = board.baud;
    }
    trace_board(board, trace_event::gone, "the device hung up or failed; closed");
    board.events.add(AB_EVENT_DETACHED, 0);
    board.changed.notify_all();
}

// Sleeps until the reader is woken or `ms` passed.
void sleep_awake(ab_board &board, int32_t ms)
{
    pollfd wake{board.wake_fd, POLLIN, 0};
    if (poll(&wake, 1, ms) > 0) {
        uint64_t count = 0;
        (void)!::read(board.wake_fd, &count, sizeof count);
    }
}

// The device is gone: tries to open it again, at most every
// reopen_interval_ms, with the same settings and claim.
void reopen_or_wait(ab_board &board)
{
    bool due;
    {
        std::lock_guard<std::mutex> lock(board.line_lock);
        due = board.port.reopen_due();
    }
    if (due) {
        opened_port opened = board.port.open_kept();  // outside the locks: it may look through the processes
        std::lock_guard<std::mutex> writing(board.write_lock);
        std::lock_guard<std::mutex> lock(board.line_lock);
        const int previous = board.port.last_failure().error;
        const bool ok = opened.ok();
        board.port.keep_reopened(std::move(opened));
        if (ok) {
            board.port.port().keep_open_when_gone();
            note_open(board);
            board.start_due = start_reason::opened;
            trace_board(board, trace_event::reopen, "opened");
            board.events.add(AB_EVENT_ATTACHED, 0);
            board.changed.notify_all();
            return;
        }
        // A device still missing is tried every reopen_interval_ms: its
        // reason is said once, until it changes.
        if (board.port.last_failure().error != previous)
            trace_board(board, trace_event::reopen, std::string("not opened: ") + board.port.last_failure().reason());
    }
    sleep_awake(board, reopen_interval_ms);
}

// The reader's question: its answer, or the misses that make the line in
// doubt; the next question when due. The next time the reader has work.
deadline keep_the_line(ab_board &board)
{
    std::unique_lock<std::mutex> lock(board.line_lock);
    if (board.state != line_state::ready || !board.sketch.extended() || !board.sketch.keep)
        return deadline_after(keep_interval_ms);
    if (board.keep_pending) {
        if (board.keep.got != awaited_answer::state::waiting || deadline_passed(board.keep_deadline)) {
            board.keep_pending = false;
            withdraw(board, board.keep, true);
            if (++board.keep_misses >= keep_misses_to_mend) {
                board.keep_misses = 0;
                board.doubt = false;
                // At 9600 with no stream a silent board is only silent; at a
                // fast rate, or streaming, the two ends may be apart.
                if (board.baud != board_wire::classic_rate || (board.stream && board.stream->running())) {
                    board.start_due = start_reason::resync;
                    return deadline_after(0);
                }
            }
        }
    }
    // A classic byte answer takes whatever byte comes first: no question
    // goes out while one is awaited.
    bool byte_awaited = false;
    for (const awaited_answer *answer : board.awaited)
        byte_awaited |= answer->what == awaited_answer::kind::byte || answer->what == awaited_answer::kind::scan;
    const bool due = !board.keep_pending && !byte_awaited &&
                     (ms_since(board.last_sent_ms) >= keep_interval_ms || board.doubt || board.keep_misses > 0);
    if (due) {
        board.keep = awaited_answer{};
        lock.unlock();
        const bool sent = post(board, keep_command, board.keep);
        lock.lock();
        if (sent) {
            board.keep_pending = true;
            board.keep_deadline = deadline_after(keep_limit_ms(board));
        }
    }
    if (board.keep_pending)
        return board.keep_deadline;
    return deadline{board.last_sent_ms, keep_interval_ms};
}

void run_reader(ab_board &board)
{
    while (!board.stopping) {
        bool open;
        start_reason reason;
        {
            std::lock_guard<std::mutex> lock(board.line_lock);
            open = board.state != line_state::gone && board.port.port().is_open();
            reason = board.start_due;
            board.start_due = start_reason::none;
        }
        if (!open) {
            reopen_or_wait(board);
            continue;
        }
        if (reason != start_reason::none) {
            run_start(board, reason);
            continue;
        }
        const deadline next = keep_the_line(board);
        if (!board.stopping)
            pump(board, next);
    }
}

}  // namespace

void sort_input(ab_board &board)
{
    board_item item;
    const int32_t now_ms = elapsed_ms();
    while (board.input.next(item)) {
        switch (item.what) {
        case board_item::kind::tagged: take_tagged(board, std::move(item)); break;
        case board_item::kind::line: take_classic(board, std::move(item), awaited_answer::kind::line); break;
        case board_item::kind::byte: take_classic(board, std::move(item), awaited_answer::kind::byte); break;
        case board_item::kind::identity: take_identity(board, std::move(item)); break;
        case board_item::kind::samples:
            if (board.stream && board.stream->running()) {
                const board_stream::counts counts = board.stream->keep(item.samples, realtime_ns(), now_ms);
                board.link.frames_lost += counts.lost;
                board.link.frames_bad += counts.bad;
                board.link.samples_dropped += counts.dropped;
            }
            break;
        case board_item::kind::foreign_samples:
            board.noise_seen = true;  // a stream this host did not start: the start ends it
            break;
        case board_item::kind::junk:
            board.noise_seen = true;
            discard(board, item, "");
            break;
        }
    }
    const uint64_t bad = board.input.bad_frames();
    board.link.frames_bad += bad - board.bad_frames_told;
    board.bad_frames_told = bad;
}

void pump(ab_board &board, const deadline &until)
{
    switch (board.port.port().wait_input(until, board.wake_fd)) {
    case wait_result::woken: {
        uint64_t count = 0;
        (void)!::read(board.wake_fd, &count, sizeof count);
        return;
    }
    case wait_result::timeout: return;
    case wait_result::gone: lose_port(board); return;
    case wait_result::ready: take_waiting(board); return;
    }
}

void take_waiting(ab_board &board)
{
    char bytes[4096];
    bool gone;
    int32_t got;
    {
        std::lock_guard<std::mutex> lock(board.line_lock);
        serial_port &port = board.port.port();
        if (!port.is_open())
            return;
        // Everything that waits, in one call.
        got = port.read(bytes, sizeof bytes);
        if (got > 0)
            take_bytes(board, bytes, static_cast<size_t>(got));
        gone = port.gone();
    }
    // Told once the lock is free: a request woken for its answer takes the
    // lock at once instead of waiting for it.
    if (got > 0)
        board.changed.notify_all();
    if (gone)
        lose_port(board);
}

void note_open(ab_board &board)
{
    board.opened_ms = elapsed_ms();
    board.restarted = deadline_after(board.options.start_ms);
    board.state = line_state::starting;
    board.input = board_input();
    board.unanswered.clear();
    board.classic_unsettled = false;
    board.last_received_ms = board.opened_ms;
    board.last_sent_ms = board.opened_ms;
    board.keep_misses = 0;
    board.link.opens = board.port.opens();
    board.link.opened_ns = realtime_ns();
    board.link.connected = 1;
    board.baud = board_wire::classic_rate;
    board.link.baud = board.baud;
}

void note_restart(ab_board &board, const char *why)
{
    for (int32_t &duty : board.link.pwm)
        duty = 0;
    for (int32_t &level : board.link.digital)
        level = 0;
    end_stream(board, AB_NO_ANSWER, std::string("the board restarted (") + why + ")");
    trace_board(board, "restart", why);
    board.events.add(AB_EVENT_RESTARTED, 0);
}

void note_rate(ab_board &board, int32_t baud)
{
    if (board.baud == baud)
        return;
    board.baud = baud;
    board.link.baud = baud;
    trace_board(board, "rate", std::to_string(baud) + " baud");
    board.events.add(AB_EVENT_RATE_CHANGED, baud);
}

void note_uptime(ab_board &board, const std::string &value, bool judge)
{
    int64_t uptime = 0;
    if (!natural_value(value, 0xFFFFFFFFLL, &uptime))
        return;
    const int32_t now = elapsed_ms();
    if (board.uptime_known && judge) {
        const uint32_t expected = board.uptime_ms + static_cast<uint32_t>(now - board.uptime_at_ms);
        const int32_t behind = static_cast<int32_t>(expected - static_cast<uint32_t>(uptime));
        if (behind > restart_slack_ms) {
            note_restart(board, "its clock went back");
            if (board.state == line_state::ready && board.options.baud != board_wire::classic_rate)
                board.start_due = start_reason::restarted;  // the fast line again
        }
    }
    board.uptime_known = true;
    board.uptime_ms = static_cast<uint32_t>(uptime);
    board.uptime_at_ms = now;
}

void end_stream(ab_board &board, ab_status status, const std::string &why)
{
    if (board.stream && board.stream->running()) {
        board.stream->end(status, why);
        board.events.add(AB_EVENT_STREAM_ENDED, status);
    }
    board.input.expect_no_stream();
    board.changed.notify_all();
}

bool start_reader(ab_board &board)
{
    board.wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (board.wake_fd < 0)
        return false;
    try {
        board.reader = std::thread([&board] { run_reader(board); });
    } catch (...) {
        return false;
    }
    return true;
}

void wake_reader(ab_board &board)
{
    const uint64_t one = 1;
    (void)!::write(board.wake_fd, &one, sizeof one);
}

void stop_reader(ab_board &board)
{
    board.stopping = true;
    wake_reader(board);
    if (board.reader.joinable())
        board.reader.join();
}
