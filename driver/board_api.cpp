// libarduinoboard's interface: every ab_ function, each checking its
// arguments, finding its board, and saying how it went. No C++ exception
// leaves the library: a failure to allocate is a status like any other.
#include <chrono>
#include <cstring>
#include <new>
#include <type_traits>

#include "arduinoboard.h"
#include "board_open.h"
#include "board_registry.h"
#include "protocol/board_channels.h"

namespace {

// ab_last_error's text: this thread's last call's.
thread_local char last_error[1024];

ab_status said(ab_status status, const std::string &why = std::string())
{
    const size_t length = why.size() < sizeof last_error - 1 ? why.size() : sizeof last_error - 1;
    std::memcpy(last_error, why.data(), length);
    last_error[length] = '\0';
    return status;
}

ab_status said(const board_result &result)
{
    return said(result.status, result.why);
}

// Runs a call's body; what it throws (std::bad_alloc, or a thread or lock
// the system refused) becomes a status.
template <typename body> ab_status guarded(body run) noexcept
{
    try {
        return run();
    } catch (...) {
        return said(AB_NO_MEMORY, "out of memory");
    }
}

ab_status not_found(const ab_board *board)
{
    return said(AB_BAD_ARGUMENT, board == nullptr ? "board is NULL" : "the board is closed");
}

// The parent's board in a forked child: the parent holds the device.
ab_status not_ours()
{
    return said(AB_PORT_BUSY, "the board was opened by the parent of this forked process, which holds it");
}

ab_status bad_channel(const char *kind, int channel, int count)
{
    return said(AB_BAD_CHANNEL, std::string(kind) + " " + std::to_string(channel) + ": the board has " + kind +
                                    "s 0-" + std::to_string(count - 1));
}

// Nothing for a call to fill.
struct nothing {};

// A call on a board: what it fills (`out`, cleared first; a nothing* when
// none) must be given, the board open and this process's; then
// `run(ab_board &)` does the rest and says how it went.
template <typename filled, typename body>
ab_status on_board(ab_board *board, filled *out, const char *out_name, body run)
{
    return guarded([&] {
        if constexpr (!std::is_same_v<filled, nothing>) {
            if (out != nullptr)
                *out = filled{};
        }
        const board_use use(board);
        if (!use.found())
            return not_found(board);
        if (out_name != nullptr && out == nullptr)
            return said(AB_BAD_ARGUMENT, std::string(out_name) + " is NULL");
        if (!use.ours())
            return not_ours();
        return run(use.board());
    });
}

template <typename request>
ab_status read_input(ab_board *board, int channel, ab_reading *reading, const char *kind, int count, request read)
{
    return on_board(board, reading, "reading", [&](ab_board &open) {
        if (channel < 0 || channel >= count)
            return bad_channel(kind, channel, count);
        const board_result result = read(open, channel, *reading);
        if (result.status != AB_OK)
            *reading = ab_reading{};
        return said(result);
    });
}

template <typename request>
ab_status write_output(ab_board *board, int channel, int value, int highest, const char *kind, request write)
{
    return on_board(board, static_cast<nothing *>(nullptr), nullptr, [&](ab_board &open) {
        if (channel < 0 || channel >= channels_of_each_kind)
            return bad_channel(kind, channel, channels_of_each_kind);
        if (value < 0 || value > highest)
            return said(AB_BAD_VALUE, std::string(kind) + " " + std::to_string(channel) + ": " +
                                          std::to_string(value) + " is outside 0-" + std::to_string(highest));
        return said(write(open, channel, value));
    });
}

}  // namespace

extern "C" {

AB_API const char *ab_status_text(ab_status status) noexcept
{
    switch (status) {
    case AB_OK: return "done";
    case AB_NO_ANSWER: return "the board did not answer within the time limit";
    case AB_NOT_A_READING: return "the board answered something that is not a reading";
    case AB_NO_PORT: return "the device is not open now (missing or unplugged)";
    case AB_PORT_BUSY: return "another program (or another board object) holds the device";
    case AB_NO_PERMISSION: return "this user may not open the device";
    case AB_NOT_A_PORT: return "not a serial device";
    case AB_BAD_CHANNEL: return "no such channel on the board";
    case AB_BAD_VALUE: return "a value the output cannot take";
    case AB_BAD_ARGUMENT: return "a null pointer, a closed board or an impossible path";
    case AB_SEVERAL_PORTS: return "several devices may be the board";
    case AB_NOT_SUPPORTED: return "the board's sketch cannot do this";
    case AB_STREAMING: return "a stream is running on the board: stop it first";
    case AB_NO_MEMORY: return "the system gave no memory or thread for the call";
    case AB_NOT_STREAMING: return "no stream is running on the board";
    }
    return "unknown status";
}

AB_API const char *ab_last_error(void) noexcept
{
    return last_error;
}

AB_API const char *ab_version(void) noexcept
{
    return ARDUINOBOARD_VERSION;
}

AB_API void ab_default_options(ab_options *options) noexcept
{
    if (options != nullptr)
        default_options(*options);
}

AB_API ab_status ab_open(const char *port, const ab_options *options, ab_board **board) noexcept
{
    return guarded([&] {
        if (board == nullptr)
            return said(AB_BAD_ARGUMENT, "board is NULL: there is nowhere to put the board");
        *board = nullptr;
        return said(open_board(port, options, *board));
    });
}

AB_API void ab_close(ab_board *board) noexcept
{
    try {
        close_board(board);
    } catch (...) {
        // Only a lock the system refused: the board stays open.
    }
}

AB_API const char *ab_port(const ab_board *board) noexcept
{
    const board_use use(board);
    return use.found() ? use.board().path.c_str() : nullptr;
}

AB_API ab_status ab_read_analog(ab_board *board, int channel, ab_reading *reading) noexcept
{
    return read_input(board, channel, reading, "analog input", analog_input_count, read_analog);
}

AB_API ab_status ab_read_digital(ab_board *board, int channel, ab_reading *reading) noexcept
{
    return read_input(board, channel, reading, "digital input", channels_of_each_kind, read_digital);
}

AB_API ab_status ab_write_pwm(ab_board *board, int channel, int duty) noexcept
{
    return write_output(board, channel, duty, highest_pwm_duty, "PWM output", write_pwm);
}

AB_API ab_status ab_write_digital(ab_board *board, int channel, int on) noexcept
{
    return write_output(board, channel, on, 1, "digital output",
                        [](ab_board &b, int32_t c, int32_t v) { return write_digital(b, c, v == 1); });
}

AB_API ab_status ab_scan(ab_board *board, ab_scan_result *result) noexcept
{
    bool asked = false;
    const ab_status status = on_board(board, result, "result", [&](ab_board &open) {
        asked = true;
        return said(scan(open, *result));
    });
    // A scan refused as a whole: every value says why.
    if (!asked && result != nullptr) {
        for (ab_status &each : result->analog_status)
            each = status;
        for (ab_status &each : result->digital_status)
            each = status;
    }
    return status;
}

AB_API ab_status ab_stream_start(ab_board *board, unsigned analog_mask, unsigned digital_mask, int interval_us) noexcept
{
    return on_board(board, static_cast<nothing *>(nullptr), nullptr, [&](ab_board &open) {
        if (!stream_masks_valid(analog_mask, digital_mask))
            return said(AB_BAD_CHANNEL, "the masks name inputs the board lacks (analog 0-5, digital 0-3)");
        if (analog_mask == 0 && digital_mask == 0)
            return said(AB_BAD_VALUE, "the masks name no input");
        if (interval_us <= 0)
            return said(AB_BAD_VALUE, "interval_us " + std::to_string(interval_us) + " is not a time");
        return said(stream_start(open, analog_mask, digital_mask, interval_us));
    });
}

AB_API ab_status ab_stream_read(ab_board *board, ab_sample *samples, size_t max, int timeout_ms, size_t *count) noexcept
{
    return on_board(board, count, "count", [&](ab_board &open) {
        if (samples == nullptr && max > 0)
            return said(AB_BAD_ARGUMENT, "samples is NULL");
        return said(stream_read(open, samples, max, timeout_ms, count));
    });
}

AB_API ab_status ab_stream_stop(ab_board *board) noexcept
{
    return on_board(board, static_cast<nothing *>(nullptr), nullptr,
                    [&](ab_board &open) { return said(stream_stop(open)); });
}

AB_API int ab_event_fd(ab_board *board) noexcept
{
    const board_use use(board);
    return use.found() && use.ours() ? use.board().events.descriptor() : -1;
}

AB_API ab_status ab_next_event(ab_board *board, ab_event *event, int timeout_ms) noexcept
{
    return on_board(board, event, "event", [&](ab_board &open) {
        *event = open.events.next(std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms),
                                  [&] { return open.closing.load(); });
        if (open.closing && event->kind == AB_EVENT_NONE)
            return said(AB_BAD_ARGUMENT, "the board was closed while the call waited for it");
        return said(AB_OK);
    });
}

AB_API ab_status ab_link_state(ab_board *board, ab_link *link) noexcept
{
    return on_board(board, link, "link", [&](ab_board &open) {
        std::lock_guard<std::mutex> state(open.line_lock);
        *link = open.link;
        return said(AB_OK);
    });
}

}  // extern "C"
