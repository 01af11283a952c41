#include "kept_port.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include "posix/clock.h"

open_failure kept_port::keep(const char *path, const line_settings &line, open_options options)
{
    forget();
    if (path == nullptr)
        return open_failure{EINVAL, "no path"};
    if (std::strlen(path) >= sizeof path_)
        return open_failure{ENAMETOOLONG};
    std::memcpy(path_, path, std::strlen(path) + 1);
    line_ = line;
    options_ = options;
    kept_ = true;
    note(serial_port::open(path_, line_, options_));
    return port_.is_open() ? open_failure{} : failure_;
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
    note(serial_port::open(path_, line_, options_));
    return port_.is_open();
}

bool kept_port::reopen_due()
{
    if (!kept_ || port_.is_open())
        return false;
    const int32_t now = elapsed_ms();
    if (tried_ && ms_since(tried_at_ms_) < reopen_interval_ms)
        return false;
    tried_ = true;
    tried_at_ms_ = now;
    return true;
}

opened_port kept_port::open_kept() const
{
    return serial_port::open(path_, line_, options_);
}

void kept_port::note(opened_port opened)
{
    ++tries_;
    port_ = std::move(opened.port);
    if (port_.is_open())
        ++opens_;
    failure_ = opened.failure;
}

void kept_port::forget()
{
    port_.close();
    kept_ = false;
    tried_ = false;
    opens_ = 0;
    tries_ = 0;
    failure_ = open_failure{};
}
