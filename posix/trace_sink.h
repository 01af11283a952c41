// Where a trace goes: a descriptor or a file, named by the text of an
// environment variable, written a line at a time. A trace must never change
// what the program does: a line that cannot go out at once is dropped, and
// nothing the trace does stalls the caller or raises SIGPIPE.
#pragma once

#include <cstddef>

// How a sink reaches its target without ever waiting for it.
enum class sink_kind : unsigned char {
    none,    // no trace
    own,     // a description of our own, non-blocking: a pipe, a FIFO, a terminal
    file,    // a regular file: its writes never wait for a reader
    socket,  // sent with MSG_DONTWAIT | MSG_NOSIGNAL
    polled,  // a shared description that may block: written only when poll() says it has room
};

// A plain value with no destructor: the driver's is written by its
// finaliser, when C++ objects may be gone.
class trace_sink {
public:
    // Opens the target that `value` names:
    //   - decimal digits alone: that descriptor, which must be open for
    //     writing; 1 (standard output, the host's data) is refused;
    //   - anything else: a path, opened for appending (created when
    //     missing); a FIFO nobody reads is not waited for.
    // Nothing is opened (false) for null or empty, a descriptor that is not
    // open for writing, a path that does not open, is a folder, is longer
    // than PATH_MAX or holds a control character. The sink's descriptor is
    // never 0 to 2 and is close-on-exec; the descriptor named is left as it
    // is (its flags too: the host's standard error stays blocking).
    bool open(const char *value);

    bool is_open() const { return kind_ != sink_kind::none; }
    sink_kind kind() const { return kind_; }

    // Writes one line (the caller ends it with '\n') in one system call, so
    // lines from several threads or processes never mix. A line the target
    // has no room for now is dropped; after a failure other than that
    // (the reader gone, the descriptor closed) the sink closes itself.
    void write_line(const char *line, size_t size);

    void close();

private:
    int fd_ = -1;
    sink_kind kind_ = sink_kind::none;
};
