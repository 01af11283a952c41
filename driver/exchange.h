// The traffic with the board on one port: the line protocol's one home on
// the host's side. A request passes its bare command ("EA3"); the exchange
// frames the line, writes it whole, and reads the answer: a line (analog
// inputs) or one byte (digital inputs); outputs read nothing. Every wait
// sleeps until its byte, its room or its limit.
//
// One line_exchange per port: the 71 exports share the driver's
// (driver_exchange.h, with the original's pauses); each board object has
// its own and waits only for what it needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "port_trace.h"
#include "protocol/line_protocol.h"
#include "protocol/trace_line.h"
#include "serial/kept_port.h"

// How long after its limit an awaited answer may still begin and be known
// for a late one by drain().
constexpr int32_t late_answer_window_ms = 30;

// How a request's answer went.
enum class answer_outcome {
    answered,   // the whole line, or the byte, came within the limit
    no_answer,  // nothing whole came within the limit
    gone,       // no port: not open, or the device went away (at once, not at the limit)
};

struct answer {
    answer_outcome outcome = answer_outcome::no_answer;
    std::string line;        // a line answer, without its end
    int32_t byte = -1;       // a byte answer (0 to 255)
    int64_t arrived_ns = 0;  // system time (CLOCK_REALTIME) when its end arrived
    int64_t arrived_monotonic_ns = 0;
};

// A plain value with no destructor (the driver's is used by its finaliser,
// when C++ objects may be gone).
class line_exchange {
public:
    kept_port &port() { return port_; }

    // Traces this exchange's events (protocol/trace_line.h) to `trace`;
    // null, the default, traces nothing. Off, each event costs one test of
    // this pointer.
    void trace_to(port_trace *trace) { trace_ = trace; }
    port_trace *trace() const { return trace_; }

    // An answer came that is not a reading: `judged` is what the caller
    // judged (the line, or the byte), for the trace.
    void answer_not_a_reading(const std::string &judged)
    {
        if (trace_ != nullptr) [[unlikely]]
            trace_->event(trace_event::not_a_reading, quoted_bytes(judged));
    }

    // Writes `line` (framed: see line_protocol.h) whole: waits for room
    // while the device's buffer is full (a fast host is held to the line's
    // pace), up to command_write_limit_ms; a line that finds no room in that
    // time is dropped whole, and one the device has begun to take gets as
    // long again for its rest. A piece left by a device that stopped reading
    // in the middle of a line is ended by a CR before the next line. The
    // number of bytes sent. Opens the port again first when it is
    // gone (kept_port::reopen).
    size_t send_line(const std::string &line);

    // Discards what waits before a request, for at most limit_ms (a board
    // that never stops sending cannot hang the host). After an answer that
    // did not end within its limit, also its rest: up to its line end when
    // part of it came, else what begins within late_answer_window_ms of the
    // limit.
    void drain(int32_t limit_ms);

    // As drain, but after an answer that did not end within its limit waits
    // for a quiet line first: nothing arriving for quiet_ms, at most
    // limit_ms. An answer up to quiet_ms late, or a cut one's rest, is then
    // never taken as the next request's.
    void settle(int32_t quiet_ms, int32_t limit_ms);

    // The answer line: the bytes up to the first line end (line ends before
    // its first byte skipped), gathered until the deadline. A line without
    // its end at the limit is no answer: its digits may be a piece of the
    // reading ("6" of "600"), and its rest is for the next drain.
    answer read_line(const deadline &d);

    // The first answer byte that is not a line end (one can only be the tail
    // of an earlier answer still on its way), before the deadline.
    answer read_byte(const deadline &d);

    // Hands each byte that comes to `take` (bool take(char)), one at a
    // time, until it returns true (it has what it needs), the deadline
    // passes or the device goes.
    template <typename taker> answer_outcome receive(const deadline &d, taker take);

    // The device stopped reading in the middle of the last line.
    bool line_cut() const { return last_line_cut_; }

    // The answer just read was not what was asked: what may follow it is
    // for the next drain or settle to discard.
    void doubt_answer() { give_up_answer(true); }

    // Forgets the state of the line before a new port (a reopen flushes it).
    void new_line() { last_line_cut_ = false; last_answer_ = answer_state::ended; }

private:
    // What is known of the line after a request whose answer did not end
    // within its limit.
    enum class answer_state {
        ended,    // the last answer ended, or none was asked for
        awaited,  // nothing came: the answer may still begin
        begun,    // part of it came: its rest is on its way
    };
    template <typename done_with> answer gather(const deadline &d, done_with done);
    template <typename taker> answer_outcome receive_bytes(const deadline &d, taker take);
    void give_up_answer(bool begun);
    // Bytes discarded, for the trace: the first of them, and how many.
    struct discarded {
        std::string shown;
        size_t count = 0;
    };
    void discard_until(const deadline &d, answer_state state, discarded *seen);
    void discard_quiet(const deadline &d, int32_t quiet_ms, discarded *seen);

    // The port open (kept_port::reopen), with the try traced.
    bool reopen_port();
    // The traced side of each step: called only with a trace.
    void trace_sent(const std::string &out, size_t sent, bool had_port);
    void trace_received(answer_outcome outcome, const std::string &shown, size_t count, const deadline &d,
                        bool had_port);
    void trace_discarded(const discarded &seen, bool had_port);
    void trace_gone_since(bool had_port);

    kept_port port_;
    bool last_line_cut_ = false;
    answer_state last_answer_ = answer_state::ended;
    int32_t gave_up_at_ms_ = 0;  // when the awaited answer's limit passed
    port_trace *trace_ = nullptr;
    int64_t sent_ns_ = 0;  // traced: when the last line went out
};

template <typename taker> answer_outcome line_exchange::receive(const deadline &d, taker take)
{
    if (trace_ == nullptr) [[likely]]
        return receive_bytes(d, take);
    const bool had_port = port_.port().is_open();
    std::string shown;
    size_t count = 0;
    const answer_outcome outcome = receive_bytes(d, [&](char byte) {
        if (shown.size() < trace_bytes_shown)
            shown += byte;
        ++count;
        return take(byte);
    });
    trace_received(outcome, shown, count, d, had_port);
    return outcome;
}

template <typename taker> answer_outcome line_exchange::receive_bytes(const deadline &d, taker take)
{
    serial_port &port = port_.port();
    while (port.is_open() && port.wait_readable(d)) {
        char byte;
        if (port.read(&byte, 1) != 1)
            return answer_outcome::gone;  // readable, yet nothing to read: the device is gone
        if (take(byte))
            return answer_outcome::answered;
    }
    return port.is_open() ? answer_outcome::no_answer : answer_outcome::gone;
}
