#include "serial_port.h"

#include "line_rate.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "pseudo_terminal.h"
#include "session_terminal.h"

namespace {

opened_port failed(int error, const char *text = nullptr)
{
    return opened_port{serial_port{}, open_failure{error, text}};
}

constexpr const char *not_a_port_text = "not a terminal or FIFO";
constexpr const char *settings_refused_text = "line settings refused";
constexpr const char *in_use_text = "in use by another program";
constexpr const char *session_terminal_text = "a session's terminal (someone's console), not a board";

// A device whose descriptor reports this is gone for good: unplugged, or its
// driver unbound. Its descriptor is closed at once and never written again.
bool is_gone_error(int error)
{
    return error == EIO || error == ENXIO || error == ENODEV;
}

// Opens a device for reading and writing, non-blocking, without making it the
// controlling terminal, never as descriptor 0, 1 or 2 (a host that closed its
// standard output would otherwise send its output to the board), and
// close-on-exec (a program the host starts must not inherit the board).
// The descriptor, or -1 with errno set.
int open_device(const char *path)
{
    int fd;
    do {
        fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0 || fd > 2)
        return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    const int error = errno;
    ::close(fd);
    errno = error;
    return moved;
}

// A port is a terminal or a FIFO. Anything else at the path (a regular file
// left by a stray `echo > /dev/ttyUSB0`, a folder, /dev/null) would take the
// commands and give back its content as answers.
bool is_port_kind(const struct stat &info)
{
    return S_ISCHR(info.st_mode) || S_ISFIFO(info.st_mode);
}

// A USB-serial adapter with a latency timer (16 ms on the common FTDI chips)
// hands each answer over at once; a pty or CDC device has no such setting
// and is left as it is.
void ask_low_latency(int fd)
{
    serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) == 0 && (serial.flags & ASYNC_LOW_LATENCY) == 0) {
        serial.flags |= ASYNC_LOW_LATENCY;
        ioctl(fd, TIOCSSERIAL, &serial);
    }
}

}  // namespace

const char *open_failure::reason() const
{
    return text != nullptr ? text : std::strerror(error);
}

opened_port serial_port::open_untouched(const char *path)
{
    if (path == nullptr)
        return failed(EINVAL, "no path");
    const int fd = open_device(path);
    if (fd < 0)
        return failed(errno);
    return opened_port{serial_port(fd, false, false), {}};
}

opened_port serial_port::open(const char *path, const line_settings &line, open_options options)
{
    if (path == nullptr)
        return failed(EINVAL, "no path");
    termios settings;
    if (!terminal_settings_for(line, &settings))
        return failed(EINVAL, settings_refused_text);

    // Checked before the open, so a file is never opened for writing, and
    // again on the descriptor, where a character device must also be a
    // terminal.
    struct stat info;
    if (stat(path, &info) != 0)
        return failed(errno);
    if (!is_port_kind(info))
        return failed(ENOTTY, not_a_port_text);
    const int fd = open_device(path);
    if (fd < 0)
        return failed(errno);
    if (fstat(fd, &info) != 0 || !is_port_kind(info) || (S_ISCHR(info.st_mode) && !isatty(fd))) {
        ::close(fd);
        return failed(ENOTTY, not_a_port_text);
    }

    const bool terminal = S_ISCHR(info.st_mode);

    // The claim first, so that a device another program holds keeps its
    // settings and unread input, and costs no more than this open. The lock
    // is never given back by hand: a forked child shares it, and it goes
    // with the last descriptor of this open.
    const bool claim = options.exclusive && terminal;
    const bool locked = claim && flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (claim && !locked && errno == EWOULDBLOCK) {
        ::close(fd);
        return failed(EBUSY, in_use_text);
    }
    // An open that claims nothing shares the device, and never touches one
    // that another open holds alone (its line and input are that one's).
    if (terminal && !claim && flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        ::close(fd);
        return failed(EBUSY, in_use_text);
    }
    if (terminal && is_session_terminal(fd)) {
        ::close(fd);
        return failed(ENOTTY, session_terminal_text);
    }
    // A pseudo-terminal's exclusive mode outlives the process that set it
    // while the other end stays open (a socat link, an emulator), so there
    // the claim is the lock alone.
    const bool pseudo_terminal = is_pseudo_terminal(info.st_rdev);
    const bool exclusive_mode = claim && !pseudo_terminal && ioctl(fd, TIOCEXCL) == 0;

    // What the settings' results are does not matter: a FIFO takes none and
    // is a port all the same.
    tcflush(fd, TCIFLUSH);
    tcsetattr(fd, TCSANOW, &settings);
    ask_low_latency(fd);
    return opened_port{serial_port(fd, locked && (exclusive_mode || pseudo_terminal), exclusive_mode), {}};
}

void serial_port::found_gone()
{
    if (close_when_gone_)
        close();
    else
        gone_.store(true, std::memory_order_relaxed);
}

int32_t serial_port::bytes_waiting()
{
    if (fd_ < 0)
        return 0;
    int count = 0;
    if (ioctl(fd_, FIONREAD, &count) != 0 || count < 0)
        return 0;
    return count;
}

int32_t serial_port::read(char *buffer, int32_t max_count)
{
    if (fd_ < 0 || gone() || buffer == nullptr || max_count <= 0)
        return 0;
    const ssize_t got = ::read(fd_, buffer, static_cast<size_t>(max_count));
    if (got < 0 && is_gone_error(errno))
        found_gone();
    return got < 0 ? 0 : static_cast<int32_t>(got);
}

namespace {

// Sleeps in poll() until one of `events` holds on the descriptor: 1 when it
// does, 0 at the deadline or on a failure of poll, -1 when the device hung
// up or failed.
int wait_for(int fd, short events, const deadline &d, int wake_fd = -1)
{
    for (;;) {
        if (deadline_passed(d))
            return 0;
        // Asleep until just past the limit, so that a reading of exactly the
        // limit still goes on.
        const int64_t sleep_ms = ms_left(d) + 1;
        pollfd watched[2] = {{fd, events, 0}, {wake_fd, POLLIN, 0}};
        const int ready =
            poll(watched, wake_fd >= 0 ? 2 : 1, sleep_ms < INT32_MAX ? static_cast<int>(sleep_ms) : INT32_MAX);
        if (ready > 0 && (watched[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
            return -1;
        if (ready > 0 && (watched[0].revents & events) != 0)
            return 1;
        if (ready > 0 && watched[1].revents != 0)
            return 2;
        if (ready < 0 && errno != EINTR)
            return 0;
    }
}

}  // namespace

bool serial_port::wait_readable(const deadline &d)
{
    bool woken = false;
    return wait_readable(d, -1, &woken);
}

bool serial_port::wait_readable(const deadline &d, int wake_fd, bool *woken)
{
    *woken = false;
    const wait_result result = wait_input(d, wake_fd);
    *woken = result == wait_result::woken;
    return result == wait_result::ready;
}

wait_result serial_port::wait_input(const deadline &d, int wake_fd)
{
    if (fd_ < 0 || gone())
        return wait_result::gone;
    const int ready = wait_for(fd_, POLLIN, d, wake_fd);
    if (ready == 2)
        return wait_result::woken;
    // Hung up or failed: only bytes that arrived before still count; once
    // they are read the device is gone.
    if (ready < 0 && bytes_waiting() > 0)
        return wait_result::ready;
    if (ready < 0) {
        found_gone();
        return wait_result::gone;
    }
    return ready > 0 ? wait_result::ready : wait_result::timeout;
}

bool serial_port::wait_writable(const deadline &d)
{
    if (fd_ < 0 || gone())
        return false;
    const int ready = wait_for(fd_, POLLOUT, d);
    if (ready < 0)
        found_gone();
    return ready > 0;
}

size_t serial_port::write_some(const char *bytes, size_t size, const deadline &d)
{
    if (bytes == nullptr)
        return 0;
    size_t sent = 0;
    while (fd_ >= 0 && !gone() && sent < size) {
        const ssize_t n = ::write(fd_, bytes + sent, size - sent);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;  // nothing went out: safe to try again
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            if (is_gone_error(errno))
                found_gone();
            break;  // the device failed or is gone: no room will come
        }
        // Full: sleep until the device has room, within the deadline.
        if (deadline_passed(d) || !wait_writable(d))
            break;
    }
    return sent;
}

void serial_port::release_claim()
{
    if (fd_ >= 0 && exclusive_mode_)
        ioctl(fd_, TIOCNXCL);
    exclusive_mode_ = false;
    claimed_ = false;
}

void serial_port::release_lock()
{
    if (fd_ >= 0)
        flock(fd_, LOCK_UN);
}

bool serial_port::set_rate(int32_t baud)
{
    if (!set_descriptor_rate(fd_, baud))
        return false;
    // What came at the old rate is noise at the new one.
    tcflush(fd_, TCIFLUSH);
    return true;
}

bool serial_port::rate_possible(int32_t baud)
{
    const uint32_t now = descriptor_rate(fd_);
    if (now == 0 || !set_descriptor_rate(fd_, baud))
        return false;
    return set_descriptor_rate(fd_, static_cast<int32_t>(now));
}

void serial_port::deliver_cr_as_lf(bool as_lf)
{
    termios settings;
    if (fd_ < 0 || tcgetattr(fd_, &settings) != 0)
        return;
    if (as_lf)
        settings.c_iflag |= ICRNL;
    else
        settings.c_iflag &= ~ICRNL;
    tcsetattr(fd_, TCSANOW, &settings);
}

void serial_port::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    claimed_ = false;
    exclusive_mode_ = false;
    gone_.store(false, std::memory_order_relaxed);
}
