#include "trace_sink.h"

#include <cerrno>
#include <cstdint>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "held_sigpipe.h"

namespace {

constexpr int standard_output = 1;

// The descriptor number a value of decimal digits alone names; -1 for any
// other value (a path), -2 for digits beyond the descriptors' range.
int descriptor_named(const char *value)
{
    int64_t number = 0;  // wider than int on every width: the check below must see past INT_MAX
    for (const char *c = value; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9')
            return -1;
        number = number * 10 + (*c - '0');
        if (number > INT_MAX)
            return -2;
    }
    return static_cast<int>(number);
}

bool is_usable_path(const char *value)
{
    const size_t length = std::strlen(value);
    if (length >= PATH_MAX)
        return false;
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(value[i]);
        if (c < 0x20 || c == 0x7F)
            return false;
    }
    return true;
}

// Never 0 to 2: a host that closed its standard error must not find our
// trace there. Closes `fd` when it has to move it.
int above_standard(int fd)
{
    if (fd < 0 || fd > 2)
        return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    ::close(fd);
    return moved;
}

}  // namespace

bool trace_sink::open(const char *value)
{
    close();
    if (value == nullptr || value[0] == '\0')
        return false;
    const int named = descriptor_named(value);
    if (named == -2 || named == standard_output)
        return false;
    if (named < 0) {
        if (!is_usable_path(value))
            return false;
        // Non-blocking: a FIFO without a reader fails at once instead of
        // waiting for one.
        int fd;
        do
            fd = ::open(value, O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
        while (fd < 0 && errno == EINTR);
        struct stat info;
        fd = above_standard(fd);
        if (fd < 0 || fstat(fd, &info) != 0) {
            if (fd >= 0)
                ::close(fd);
            return false;
        }
        fd_ = fd;
        kind_ = S_ISREG(info.st_mode) ? sink_kind::file : sink_kind::own;
        return true;
    }

    // A descriptor of the host's: it must be open for writing (a read end of
    // a pipe, opened again for writing, would feed the host its own trace).
    const int flags = fcntl(named, F_GETFL);
    struct stat info;
    if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY || fstat(named, &info) != 0)
        return false;
    if (S_ISREG(info.st_mode) || S_ISSOCK(info.st_mode)) {
        // A file shares the host's offset, so the host's own writes never
        // overwrite the trace's; a socket is sent to without waiting.
        fd_ = fcntl(named, F_DUPFD_CLOEXEC, 3);
        kind_ = fd_ < 0 ? sink_kind::none : S_ISREG(info.st_mode) ? sink_kind::file : sink_kind::socket;
        return is_open();
    }
    // A pipe, a FIFO or a terminal: opened again through /proc, a
    // description of our own that may be non-blocking while the host's
    // stays as it is.
    char again[32];
    std::snprintf(again, sizeof again, "/proc/self/fd/%d", named);
    int fd;
    do
        fd = ::open(again, O_WRONLY | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    fd = above_standard(fd);
    if (fd >= 0) {
        fd_ = fd;
        kind_ = sink_kind::own;
        return true;
    }
    // No /proc, or a pipe whose reader is gone: the host's description,
    // written only when it has room.
    fd_ = fcntl(named, F_DUPFD_CLOEXEC, 3);
    kind_ = fd_ < 0 ? sink_kind::none : sink_kind::polled;
    return is_open();
}

void trace_sink::write_line(const char *line, size_t size)
{
    if (kind_ == sink_kind::none || line == nullptr || size == 0)
        return;
    if (kind_ == sink_kind::polled) {
        pollfd room{fd_, POLLOUT, 0};
        if (poll(&room, 1, 0) != 1 || (room.revents & POLLOUT) == 0) {
            if ((room.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0)
                close();
            return;
        }
    }
    ssize_t written;
    if (kind_ == sink_kind::socket) {
        written = send(fd_, line, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    } else {
        written = without_sigpipe([&] { return ::write(fd_, line, size); });
    }
    if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
        close();  // the reader is gone, or the target failed: no later line would go
}

void trace_sink::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    kind_ = sink_kind::none;
}
