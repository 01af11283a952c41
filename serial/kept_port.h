// A port kept open on its path (the driver's): what it was opened with is
// kept, so that a device that went away is opened again the same way, with
// its settings and claim, once it is back.
#pragma once

#include <climits>
#include <cstdint>

#include "serial_port.h"

// How often a kept port that is not open is tried again.
constexpr int32_t reopen_interval_ms = 500;

// It has no destructor: it stays usable while the process exits, when the
// driver's finaliser closes it after C++ objects may be gone.
class kept_port {
public:
    // Opens `path` and keeps it, forgetting the port kept before (closed).
    // A path too long to keep opens nothing. Why the open failed (error 0
    // when it worked); the port is the kept one's alone, closed through
    // forget().
    open_failure keep(const char *path, const line_settings &line, open_options options);

    // True when the port is open: at once when it is, else after a try to
    // open it again, made at most once every reopen_interval_ms (a device
    // still missing or held by another program, EBUSY, costs one failed
    // open; a path that now leads to a session's terminal, one look through
    // the processes). False when nothing is kept.
    bool reopen();

    // The same in three steps, for an owner that opens outside its locks:
    // whether a try is due now (at most one every reopen_interval_ms; it
    // counts as made), the open of the kept path with its settings and
    // claim, which changes nothing kept, and keeping what it gave.
    bool reopen_due();
    opened_port open_kept() const;
    void keep_reopened(opened_port opened) { note(std::move(opened)); }

    serial_port &port() { return port_; }
    // The path kept ("" when none).
    const char *path() const { return path_; }
    // Successful opens since keep(), the first included.
    uint64_t opens() const { return opens_; }
    // Opens tried since keep(), the first included, whether they worked or not.
    uint64_t tries() const { return tries_; }
    // Why the last open failed (error 0 when it worked, or none was tried).
    const open_failure &last_failure() const { return failure_; }

    // Closes the port and keeps nothing.
    void forget();

private:
    serial_port port_;
    bool kept_ = false;
    char path_[PATH_MAX] = {};
    line_settings line_{};
    open_options options_{};
    bool tried_ = false;  // a try was made at tried_at_ms_
    int32_t tried_at_ms_ = 0;
    uint64_t opens_ = 0;
    uint64_t tries_ = 0;
    open_failure failure_{};

    void note(opened_port opened);
};
