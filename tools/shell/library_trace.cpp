#include "library_trace.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string_view>
#include <unistd.h>

#include "posix/trace_sink.h"
#include "protocol/trace_line.h"

namespace {

constexpr const char *trace_variable = "ARDUINODRV_TRACE";

int read_end = -1;
int write_end = -1;  // the shell's, until the library has opened its own
// The user's own ARDUINODRV_TRACE, which gets every line read here.
trace_sink users_trace;
std::string users_value;
bool user_had_value = false;
std::string pending;  // a line not yet ended
traced_port load_port = traced_port::unknown;
call_trace current;

void take_line(std::string_view line)
{
    users_trace.write_line(std::string(line).append("\n").data(), line.size() + 1);
    trace_line parsed;
    if (!parse_trace_line(line, &parsed))
        return;
    const std::string_view event = parsed.event;
    if (event == trace_event::open) {
        load_port = std::string_view(parsed.details).starts_with("opened") ? traced_port::open : traced_port::missing;
    } else if (event == trace_event::no_port || event == trace_event::gone) {
        current.no_port = true;
    } else if (event == trace_event::no_answer) {
        current.no_answer = true;
    } else if (event == trace_event::not_a_reading) {
        size_t used = 0;
        current.not_a_reading = unquote_bytes(parsed.details, &current.judged, &used);
    }
}

// Takes every line the library has written so far: it writes them during
// its calls, so after a call they are all in the pipe.
void read_lines()
{
    if (read_end < 0)
        return;
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(read_end, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        pending.append(buffer, static_cast<size_t>(got));
    }
    size_t start = 0;
    for (size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1)
        take_line(std::string_view(pending).substr(start, end - start));
    pending.erase(0, start);
}

}  // namespace

void trace_before_load()
{
    const char *value = std::getenv(trace_variable);
    user_had_value = value != nullptr;
    users_value = user_had_value ? value : "";
    users_trace.open(value);
    if (read_end >= 0)
        close(read_end);  // a load that failed before
    read_end = -1;
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    read_end = ends[0];
    write_end = ends[1];
    setenv(trace_variable, std::to_string(write_end).c_str(), 1);
}

void trace_after_load()
{
    if (user_had_value)
        setenv(trace_variable, users_value.c_str(), 1);
    else
        unsetenv(trace_variable);
    // The library opened a description of its own.
    if (write_end >= 0)
        close(write_end);
    write_end = -1;
    read_lines();
}

traced_port port_at_load() { return load_port; }

void trace_call_begin()
{
    read_lines();
    current = call_trace{};
}

call_trace trace_call_end()
{
    read_lines();
    return current;
}
