// Opening and closing a board object: the options, the port's path (given,
// or the one likely device), the open with its claim and the board's start.
#include <cerrno>
#include <cstdlib>
#include <climits>
#include <cstring>
#include <memory>
#include <unistd.h>

#include "board_open.h"
#include "board_registry.h"
#include "protocol/board_line.h"
#include "protocol/line_protocol.h"
#include "protocol/trace_line.h"
#include "serial/usb_serial_devices.h"

namespace {

constexpr int default_timeout_ms = 1000;
constexpr int longest_option_ms = 60000;

board_result checked_options(const ab_options &options)
{
    if (options.timeout_ms < 1 || options.timeout_ms > longest_option_ms)
        return {AB_BAD_VALUE, "timeout_ms " + std::to_string(options.timeout_ms) + " is outside 1-60000"};
    if (options.start_ms < 0 || options.start_ms > longest_option_ms)
        return {AB_BAD_VALUE, "start_ms " + std::to_string(options.start_ms) + " is outside 0-60000"};
    if (options.exclusive != 0 && options.exclusive != 1)
        return {AB_BAD_VALUE, "exclusive " + std::to_string(options.exclusive) + " is neither 0 nor 1"};
    if (options.baud != 0 && (options.baud < 0 || !board_wire::is_line_rate(static_cast<uint32_t>(options.baud))))
        return {AB_BAD_VALUE, "baud " + std::to_string(options.baud) + " is none of 0, 9600, 250000, 500000, 1000000"};
    return {};
}

// A path the open may try: not empty, shorter than PATH_MAX, and without a
// control character (the newline of a careless echo names no device).
board_result checked_path(const char *path)
{
    const size_t length = std::strlen(path);
    if (length == 0)
        return {AB_BAD_ARGUMENT, "the port's path is empty (NULL or \"auto\" finds the board)"};
    if (length >= PATH_MAX)
        return {AB_BAD_ARGUMENT, "the port's path is longer than a path may be"};
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(path[i]);
        if (c < 0x20 || c == 0x7F)
            return {AB_BAD_ARGUMENT, "the port's path holds a control character"};
    }
    return {};
}

// The one device that is likely the board.
board_result likely_port(std::string &path)
{
    const usb_serial_listing found = likely_board_devices(board_system_root);
    // No sysfs at all lists no device, as an empty one does.
    if (found.error != 0 && found.error != ENOENT)
        return {AB_NO_PORT, std::string("cannot list the serial devices: ") + std::strerror(found.error)};
    if (found.devices.size() == 1) {
        path = found.devices.front().path;
        return {};
    }
    if (found.devices.empty())
        return {AB_NO_PORT, "no serial device with a board's USB ids (is the board plugged in?)"};
    char names[512];
    name_devices(found.devices, names, sizeof names);
    return {AB_SEVERAL_PORTS, std::string("several devices may be the board: ") + names + "; name one"};
}

// At the end: back to 9600 at the board's word; if it does not answer, its
// silence rule takes it there anyway once this host is gone.
void rate_back(ab_board &board)
{
    std::lock_guard<std::mutex> request(board.request_lock);
    {
        std::lock_guard<std::mutex> lock(board.line_lock);
        if (board.state != line_state::ready || board.baud == board_wire::classic_rate)
            return;
    }
    awaited_answer answer;
    exchange(board, rate_command(board_wire::classic_rate), answer, board.options.timeout_ms);
}

void close_descriptors(ab_board &board)
{
    board.port.forget();
    board.events.close();
    if (board.wake_fd >= 0)
        ::close(board.wake_fd);
    board.wake_fd = -1;
}

}  // namespace

void default_options(ab_options &options)
{
    options.timeout_ms = default_timeout_ms;
    options.start_ms = board_start_ms;
    options.exclusive = 1;
    options.baud = 0;
}

board_result open_board(const char *port, const ab_options *given, ab_board *&opened)
{
    opened = nullptr;
    ab_options options;
    default_options(options);
    if (given != nullptr)
        options = *given;
    board_result result = checked_options(options);
    if (result.status != AB_OK)
        return result;
    std::string path;
    if (port == nullptr || std::strcmp(port, "auto") == 0)
        result = likely_port(path);
    else if ((result = checked_path(port)).status == AB_OK)
        path = port;
    if (result.status != AB_OK)
        return result;

    auto board = std::make_unique<ab_board>();
    board->owner = getpid();
    board->options = options;
    board->path = path;
    if (board->trace.open(secure_getenv(trace_variable), "arduinoboard")) {
        board->trace.name_port(path);
        board->traced = true;
    }
    const open_failure failure = board->port.keep(path.c_str(), owned_line, open_options{.exclusive = options.exclusive != 0});
    if (failure.error != 0) {
        trace_board(*board, trace_event::open, std::string("not opened: ") + failure.reason());
        board->trace.close();
        return {status_of_open_failure(failure.error), path + ": " + failure.reason()};
    }
    // Its reader reads it while requests write it: the reader closes it.
    board->port.port().keep_open_when_gone();
    trace_board(*board, trace_event::open, "opened");
    {
        std::lock_guard<std::mutex> lock(board->line_lock);
        note_open(*board);
    }
    if (!board->events.open() || !start_reader(*board)) {
        stop_reader(*board);
        close_descriptors(*board);
        return {AB_NO_MEMORY, path + ": no descriptor or thread could be had for the board's reader"};
    }
    {
        // The reader starts the board: ab_open returns once it has.
        std::unique_lock<std::mutex> lock(board->line_lock);
        board->changed.wait(lock, [&] { return board->started_once || board->state == line_state::gone; });
    }
    opened = register_board(board.release());
    return {};
}

void close_board(ab_board *handle)
{
    std::unique_ptr<ab_board> closing(unregister_board(handle));
    if (!closing)
        return;
    ab_board &board = *closing;
    if (board.owner != getpid()) {
        // A forked child closes its own descriptors only: the board, its
        // reader and its claim are the parent's, which goes on using the
        // device. Nothing else of it is touched here (its locks may have
        // been held by a thread that did not come along).
        wait_until_unused(&board);
        for (const int fd : {board.port.port().descriptor(), board.wake_fd, board.events.descriptor()})
            if (fd >= 0)
                ::close(fd);
        closing.release();
        return;
    }
    // Calls waiting on the board turn back: a request for the board's start,
    // a stream's reader, a wait for events.
    {
        std::lock_guard<std::mutex> lock(board.line_lock);
        board.changed.notify_all();
    }
    board.events.wake_all();
    wait_until_unused(&board);
    // The board is left as every open finds it: no stream, at 9600.
    stream_stop(board);
    rate_back(board);
    stop_reader(board);
    // The owner frees the device for everyone, though a child it forked
    // still holds a copy.
    board.port.port().release_claim();
    board.port.port().release_lock();
    trace_board(board, trace_event::close, "ab_close");
    close_descriptors(board);
    board.trace.close();
}
