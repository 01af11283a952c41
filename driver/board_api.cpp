// libarduinoboard's interface: every ab_ function, each checking its
// arguments, finding its board, and saying how it went. No C++ exception
// leaves the library: a failure to allocate is a status like any other.
#include <cstring>
#include <new>

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

// Runs a call's body; what it throws (only std::bad_alloc can be) becomes a
// status.
template <typename body> ab_status guarded(body run) noexcept
{
    try {
        return run();
    } catch (...) {
        return said(AB_BAD_ARGUMENT, "out of memory");
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

template <typename request>
ab_status read_input(ab_board *board, int channel, ab_reading *reading, const char *kind, int count, request read)
{
    return guarded([&] {
        if (reading != nullptr)
            *reading = ab_reading{};
        const board_use use(board);
        if (!use.found())
            return not_found(board);
        if (reading == nullptr)
            return said(AB_BAD_ARGUMENT, "reading is NULL");
        if (channel < 0 || channel >= count)
            return bad_channel(kind, channel, count);
        if (!use.ours())
            return not_ours();
        const board_result result = read(use.board(), channel, *reading);
        if (result.status != AB_OK)
            *reading = ab_reading{};
        return said(result);
    });
}

template <typename request>
ab_status write_output(ab_board *board, int channel, int value, int highest, const char *kind, request write)
{
    return guarded([&] {
        const board_use use(board);
        if (!use.found())
            return not_found(board);
        if (channel < 0 || channel >= channels_of_each_kind)
            return bad_channel(kind, channel, channels_of_each_kind);
        if (value < 0 || value > highest)
            return said(AB_BAD_VALUE, std::string(kind) + " " + std::to_string(channel) + ": " +
                                          std::to_string(value) + " is outside 0-" + std::to_string(highest));
        if (!use.ours())
            return not_ours();
        return said(write(use.board(), channel, value));
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
    // A scan refused as a whole: every value says why.
    const auto refused = [result](ab_status status) {
        if (result != nullptr) {
            for (ab_status &each : result->analog_status)
                each = status;
            for (ab_status &each : result->digital_status)
                each = status;
        }
        return status;
    };
    return guarded([&] {
        if (result != nullptr)
            *result = ab_scan_result{};
        const board_use use(board);
        if (!use.found())
            return refused(not_found(board));
        if (result == nullptr)
            return said(AB_BAD_ARGUMENT, "result is NULL");
        if (!use.ours())
            return refused(not_ours());
        return said(scan(use.board(), *result));
    });
}

AB_API ab_status ab_link_state(ab_board *board, ab_link *link) noexcept
{
    return guarded([&] {
        if (link != nullptr)
            *link = ab_link{};
        const board_use use(board);
        if (!use.found())
            return not_found(board);
        if (link == nullptr)
            return said(AB_BAD_ARGUMENT, "link is NULL");
        if (!use.ours())
            return not_ours();
        std::lock_guard<std::mutex> state(use.board().state_lock);
        *link = use.board().link;
        return said(AB_OK);
    });
}

}  // extern "C"
