// One port's trace (ARDUINODRV_TRACE): a line for each event of its
// exchange, its open and its close, in the layout of protocol/trace_line.h,
// written to the sink the variable names. Off, it costs each event one test
// of the exchange's pointer to it.
#pragma once

#include <cstdint>
#include <string_view>

#include "posix/trace_sink.h"

// The variable that names where both libraries write their trace.
constexpr const char *trace_variable = "ARDUINODRV_TRACE";

// A plain value with no destructor: the driver's is written by its
// finaliser, when C++ objects may be gone.
class port_trace {
public:
    // Opens the sink that `value` names (see trace_sink::open); every line
    // starts with `library` ("arduinodrv", "arduinoboard") and counts its
    // seconds from now. False, and no trace, when `value` names none.
    bool open(const char *value, const char *library);
    bool is_open() const { return sink_.is_open(); }
    void close() { sink_.close(); }

    // The port the lines name from now on; "" for none.
    void name_port(std::string_view path);

    // One line: `event` (one of trace_event's), then ": " and `details`
    // when there are any.
    void event(const char *event, std::string_view details = {});

private:
    // Room for the port's word: a longer path is cut, so that every line
    // stays short enough to reach a pipe in one piece.
    static constexpr size_t port_room = 256;

    trace_sink sink_;
    const char *library_ = "";
    int32_t start_ms_ = 0;
    char port_[port_room + 4] = "-";
};
