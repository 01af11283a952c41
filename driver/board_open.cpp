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
#include "board_stream.h"
#include "protocol/board_line.h"
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
    if (options.baud != 0 && options.baud != driver_line.baud && options.baud != 250000 && options.baud != 500000 &&
        options.baud != 1000000)
        return {AB_BAD_VALUE, "baud " + std::to_string(options.baud) + " is none of 9600, 250000, 500000, 1000000"};
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

    std::unique_ptr<ab_board> board(new ab_board);
    board->owner = getpid();
    board->options = options;
    board->path = path;
    if (board->trace.open(secure_getenv(trace_variable), "arduinoboard")) {
        board->trace.name_port(path);
        board->exchange.trace_to(&board->trace);
    }
    const open_failure failure = board->exchange.port().keep(path.c_str(), driver_line,
                                                             open_options{.exclusive = options.exclusive != 0});
    if (failure.error != 0) {
        board->trace.event(trace_event::open, std::string("not opened: ") + failure.reason());
        board->trace.close();
        return {status_of_open_failure(failure.error), path + ": " + failure.reason()};
    }
    board->trace.event(trace_event::open, "opened");
    note_open(*board);
    // The board restarts as its port opens; nothing reaches it before.
    sleep_until_passed(board->restarted);
    start_sketch(*board);
    register_board(board.get());
    opened = board.release();
    return {};
}

void close_board(ab_board *board)
{
    std::unique_ptr<ab_board> closing(unregister_board(board));
    if (!closing)
        return;
    const bool ours = closing->owner == getpid();
    // A read waiting on the board's stream would keep the close waiting
    // until its own time limit: it is sent back first. Calls that get the
    // request lock from now on see the board closing and turn back.
    if (ours) {
        std::shared_ptr<board_stream> stream;
        {
            std::lock_guard<std::mutex> request(closing->request_lock);
            stream = closing->stream;
        }
        if (stream)
            stream->end_reads(AB_BAD_ARGUMENT, "the board was closed");
    }
    wait_until_unused(closing.get());
    // A forked child closes its own descriptor only: the claim is the
    // parent's, which goes on using the device. The owner frees the device
    // for everyone, though a child it forked still holds a copy.
    if (!ours && closing->stream) {
        // The stream's thread is the parent's: the child's copy of it is
        // left as it is, never joined.
        new std::shared_ptr<board_stream>(std::move(closing->stream));
    }
    if (ours) {
        stream_stop(*closing);
        closing->exchange.port().port().release_claim();
        closing->exchange.port().port().release_lock();
    }
    closing->exchange.port().forget();
    closing->trace.event(trace_event::close, "ab_close");
    closing->trace.close();
}
