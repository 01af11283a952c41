// What the loaded library says of its port and of the board's answers: the
// shell reads the library's own trace (ARDUINODRV_TRACE, protocol/
// trace_line.h) on a pipe of its own, so that it can tell a reading from
// the neutral 0 that a missing port, a silent board or words give alike.
// A trace the user asked for (ARDUINODRV_TRACE set for the shell) still
// gets every line.
#pragma once

#include <string>

// Around the load: before it, a pipe whose write end ARDUINODRV_TRACE names;
// after it, the variable as the user had it, and what the load said.
void trace_before_load();
void trace_after_load();

// Whether the library got its port at load, as its trace said; unknown
// when it said nothing (no trace: a build without one, or no pipe).
enum class traced_port { unknown, open, missing };
traced_port port_at_load();

// What the library said during one call of an export.
struct call_trace {
    bool no_port = false;        // the request found no port, or the device went away
    bool no_answer = false;      // nothing whole came within the limit
    bool not_a_reading = false;  // an answer came that is not a reading
    std::string judged;          // that answer: the line, or the byte
};

// Marks the start of a call: what the library said before is passed on,
// not counted.
void trace_call_begin();
// What the library said since trace_call_begin.
call_trace trace_call_end();
