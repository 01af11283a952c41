#include "wire_of.h"

#include <chrono>
#include <gtest/gtest.h>

namespace {

bool marker_arrived(fake_board &board, const wire_marker &marker)
{
    marker.send();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
        const std::string got = board.received();
        if (got.ends_with(marker.line))
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            break;
        board.wait_received(got.size() + 1, 50);
    }
    ADD_FAILURE() << "the marker never reached the board";
    return false;
}

}  // namespace

wire_marker digital_marker(EXPORT(sb) sb)
{
    return {[sb] { sb(3, 1); }, "SBD1\r"};
}

wire_marker analog_marker(EXPORT(sa) sa)
{
    return {[sa] { sa(3, 31337); }, "SA931337\r"};
}

std::string wire_of(fake_board &board, const wire_marker &marker, const std::function<void()> &call)
{
    // A marker first: bytes of an earlier call may still be on their way.
    board.clear_received();
    if (!marker_arrived(board, marker))
        return "<lost>";
    board.clear_received();
    call();
    if (!marker_arrived(board, marker))
        return "<lost>";
    const std::string got = board.received();
    return got.substr(0, got.size() - marker.line.size());
}
