// What the driver put on the wire for one call, not a byte more or less.
#pragma once

#include <functional>
#include <string>

#include "driver_loader.h"
#include "fake_board.h"

// A call whose line the test knows, made before and after the call under
// test: once the board has its line, every byte written before it has
// arrived too. A test picks one that leaves alone what it checks.
struct wire_marker {
    std::function<void()> send;
    std::string line;  // as the board receives it
};

// sb(3, 1): leaves the analog read-back tables alone.
wire_marker digital_marker(EXPORT(sb) sb);
// sa(3, 31337): a line nothing else sends.
wire_marker analog_marker(EXPORT(sa) sa);

// The bytes `call` wrote; "<lost>", and a test failure, when a marker never
// reached the board.
std::string wire_of(fake_board &board, const wire_marker &marker, const std::function<void()> &call);
