#include "board_events.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include "posix/clock.h"

bool board_events::open()
{
    fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return fd_ >= 0;
}

void board_events::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

void board_events::add(ab_event_kind kind, int32_t value)
{
    std::lock_guard<std::mutex> lock(lock_);
    if (queue_.size() == kept) {
        queue_.pop_front();
        ++missed_;
    }
    ab_event event{};
    event.kind = kind;
    event.value = value;
    event.time_ns = realtime_ns();
    queue_.push_back(event);
    // Readable while events wait: set with the first, cleared with the last.
    if (queue_.size() == 1 && fd_ >= 0) {
        const uint64_t one = 1;
        (void)!::write(fd_, &one, sizeof one);
    }
    added_.notify_all();
}

ab_event board_events::take_locked()
{
    ab_event event{};
    if (queue_.empty())
        return event;
    event = queue_.front();
    queue_.pop_front();
    event.missed = missed_;
    missed_ = 0;
    if (queue_.empty() && fd_ >= 0) {
        uint64_t count = 0;
        (void)!::read(fd_, &count, sizeof count);
    }
    return event;
}

void board_events::wake_all()
{
    std::lock_guard<std::mutex> lock(lock_);
    added_.notify_all();
}
