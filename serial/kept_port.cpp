#include "kept_port.h"

#include <cerrno>
#include <cstring>

#include "posix/clock.h"

opened_port kept_port::keep(const char *path, const line_settings &line, open_options options)
{
    forget();
    if (path == nullptr)
        return opened_port{serial_port{}, open_failure{EINVAL, "no path"}};
    if (std::strlen(path) >= sizeof path_)
        return opened_port{serial_port{}, open_failure{ENAMETOOLONG}};
    std::memcpy(path_, path, std::strlen(path) + 1);
    line_ = line;
    options_ = options;
    kept_ = true;
    const opened_port opened = open_serial_port(path_, line_, options_);
    note(opened);
    return opened;
}

bool kept_port::reopen()
{
    if (!kept_)
        return false;
    if (port_.is_open())
        return true;
    // One failed open at most every reopen_interval_ms: a request finds no
    // port at the cost of one system call.
    const int32_t now = elapsed_ms();
    if (tried_ && ms_since(tried_at_ms_) < reopen_interval_ms)
        return false;
    tried_ = true;
    tried_at_ms_ = now;
    note(open_serial_port(path_, line_, options_));
    return port_.is_open();
}

void kept_port::note(const opened_port &opened)
{
    port_ = opened.port;
    if (opened.ok())
        ++opens_;
    else
        failure_ = opened.failure;
}

void kept_port::forget()
{
    port_.close();
    kept_ = false;
    tried_ = false;
    opens_ = 0;
    failure_ = open_failure{};
}
