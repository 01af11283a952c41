#include "serial_port.h"

#include <cerrno>
#include <cstdlib>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "clock.h"

namespace {

// Fixed-id slots: descriptor per id, 0 meaning closed. Plain C storage so the
// table stays usable during process exit, when the driver's finaliser closes
// the ports after C++ objects may already be gone.
int *fixed_slots = nullptr;
int32_t fixed_slot_count = 0;
constexpr int32_t initial_fixed_slots = 16;

struct handle_entry {
    int32_t handle;
    int fd;
};
// Handle entries in order of opening, oldest first.
handle_entry *handle_entries = nullptr;
int32_t handle_count = 0;
int32_t handle_capacity = 0;
int32_t next_handle = first_port_handle;

// The port kept open on its path (the driver's): what it was opened with, so
// that a device that went away is opened again the same way once it is back.
struct kept_port {
    bool kept;
    int32_t id;
    char path[PATH_MAX];
    int32_t baud, parity, data_bits, handshake, input_buffer_size, output_buffer_size;
    float stop_bits;
    bool exclusive;
    bool tried;           // a try was made at tried_at_ms
    int32_t tried_at_ms;
};
kept_port kept{};

// A device whose descriptor reports this is gone for good: unplugged, or its
// driver unbound. Its descriptor is closed at once and never written again.
bool is_gone_error(int error)
{
    return error == EIO || error == ENXIO || error == ENODEV;
}

bool grow_fixed_slots(int32_t needed)
{
    if (needed <= fixed_slot_count)
        return true;
    int32_t count = fixed_slot_count > 0 ? fixed_slot_count : initial_fixed_slots;
    while (count < needed)
        count *= 2;
    if (count > max_fixed_port_id + 1)
        count = max_fixed_port_id + 1;
    void *grown = std::realloc(fixed_slots, sizeof(int) * static_cast<size_t>(count));
    if (grown == nullptr)
        return false;
    fixed_slots = static_cast<int *>(grown);
    for (int32_t i = fixed_slot_count; i < count; ++i)
        fixed_slots[i] = 0;
    fixed_slot_count = count;
    return true;
}

int32_t find_handle(int32_t id)
{
    for (int32_t i = 0; i < handle_count; ++i)
        if (handle_entries[i].handle == id)
            return i;
    return -1;
}

// Descriptor of the port that `id` names, or 0 when it names none.
int port_fd(int32_t id)
{
    if (id >= 0 && id < fixed_slot_count)
        return fixed_slots[id];
    if (id == 0)
        return 0;
    const int32_t entry = find_handle(id);
    return entry < 0 ? 0 : handle_entries[entry].fd;
}

int32_t make_handle()
{
    // Handles come from their own range, above every fixed id, and are
    // reused only after wrapping and only when no live entry holds them.
    for (;;) {
        const int32_t handle = next_handle;
        next_handle = next_handle == INT32_MAX ? first_port_handle : next_handle + 1;
        if (find_handle(handle) < 0)
            return handle;
    }
}

bool add_handle_entry(int32_t handle, int fd)
{
    if (handle_count == handle_capacity) {
        const int32_t capacity = handle_capacity == 0 ? 8 : handle_capacity * 2;
        void *grown = std::realloc(handle_entries, sizeof(handle_entry) * static_cast<size_t>(capacity));
        if (grown == nullptr)
            return false;
        handle_entries = static_cast<handle_entry *>(grown);
        handle_capacity = capacity;
    }
    handle_entries[handle_count++] = handle_entry{handle, fd};
    return true;
}

speed_t speed_code(int32_t baud, bool *ok)
{
    *ok = true;
    switch (baud) {
    case 0: return B0;
    case 50: return B50;
    case 75: return B75;
    case 110: return B110;
    case 150: return B150;
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 1800: return B1800;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: *ok = false; return B0;
    }
}

// Opens a device for reading and writing, non-blocking, without making it the
// controlling terminal, never as descriptor 0, 1 or 2 (a host that closed its
// standard input would otherwise get descriptor 0, which counts as closed),
// and close-on-exec (a program the host starts must not inherit the board).
int open_device(const char *path)
{
    int fd;
    do {
        fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0 || fd > 2)
        return fd < 0 ? 0 : fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    return moved < 0 ? 0 : moved;
}

// A port is a terminal or a FIFO. Anything else at the path (a regular file
// left by a stray `echo > /dev/ttyUSB0`, a folder, /dev/null) would take the
// commands and give back its content as answers.
bool is_port_kind(const struct stat &info)
{
    return S_ISCHR(info.st_mode) || S_ISFIFO(info.st_mode);
}

// Opens the device only when the path leads to a port: checked before the
// open (so a file is never opened for writing) and again on the descriptor,
// where a character device must also be a terminal.
int open_port_device(const char *path)
{
    struct stat info;
    if (stat(path, &info) != 0 || !is_port_kind(info))
        return 0;
    const int fd = open_device(path);
    if (fd == 0)
        return 0;
    if (fstat(fd, &info) != 0 || !is_port_kind(info) || (S_ISCHR(info.st_mode) && !isatty(fd))) {
        close(fd);
        return 0;
    }
    return fd;
}

}  // namespace

int32_t port_bytes_waiting(int32_t id);

namespace {

// Frees the table's storage, leaving whatever it held open.
void forget_port_table()
{
    std::free(fixed_slots);
    std::free(handle_entries);
    fixed_slots = nullptr;
    fixed_slot_count = 0;
    handle_entries = nullptr;
    handle_count = 0;
    handle_capacity = 0;
    next_handle = first_port_handle;
}

// Sleeps in poll() until one of `events` holds on the port.
bool wait_port(int32_t id, short events, const deadline &d)
{
    const int fd = port_fd(id);
    if (fd == 0)
        return false;
    for (;;) {
        if (deadline_passed(d))
            return false;
        // Asleep until just past the limit, so that a reading of exactly the
        // limit still goes on.
        const int64_t sleep_ms = ms_left(d) + 1;
        pollfd watched{fd, events, 0};
        const int ready = poll(&watched, 1, sleep_ms < INT32_MAX ? static_cast<int>(sleep_ms) : INT32_MAX);
        if (ready > 0) {
            // Hung up or failed: only bytes that arrived before still count;
            // once they are read the device is closed.
            if ((watched.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
                if (events == POLLIN && port_bytes_waiting(id) > 0)
                    return true;
                close_port(id);
                return false;
            }
            return (watched.revents & events) != 0;
        }
        if (ready < 0 && errno != EINTR)
            return false;
    }
}

}  // namespace

void init_port_table()
{
    forget_port_table();
    grow_fixed_slots(initial_fixed_slots);
}

int32_t open_port(int32_t id, const char *path, int32_t baud, int32_t /*parity*/,
                  int32_t data_bits, float stop_bits, int32_t handshake,
                  int32_t /*input_buffer_size*/, int32_t /*output_buffer_size*/)
{
    if (path == nullptr)
        return 0;
    if (id < -1 || id > max_fixed_port_id)
        return 0;

    bool baud_ok = false;
    const speed_t speed = speed_code(baud, &baud_ok);
    if (!baud_ok)
        return 0;
    tcflag_t size;
    switch (data_bits) {
    case 5: size = CS5; break;
    case 6: size = CS6; break;
    case 7: size = CS7; break;
    case 8: size = CS8; break;
    default: return 0;
    }
    if (handshake < 0 || handshake > 3)
        return 0;
    if (id >= 0 && !grow_fixed_slots(id + 1))
        return 0;

    const int fd = open_port_device(path);
    if (fd == 0)
        return 0;

    termios settings;
    std::memset(&settings, 0, sizeof settings);
    settings.c_iflag = IGNPAR | ICRNL;
    if (handshake == 3)
        settings.c_iflag |= IXON | IXANY | IXOFF;
    settings.c_oflag = 0;
    settings.c_cflag = speed | size | CREAD | CLOCAL;
    if (stop_bits != 1.0f)  // 1.5, 2.0 and NaN all mean two stop bits
        settings.c_cflag |= CSTOPB;
    if (handshake == 2)
        settings.c_cflag |= CRTSCTS;
    settings.c_lflag = 0;
    settings.c_line = 0;
    settings.c_cc[VEOF] = 4;
    settings.c_cc[VTIME] = 0;
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VSTART] = 21;
    settings.c_cc[VSTOP] = 23;
    tcflush(fd, TCIFLUSH);
    tcsetattr(fd, TCSANOW, &settings);
    // A USB-serial adapter with a latency timer (16 ms on the common FTDI
    // chips) hands each answer over at once; a pty or CDC device has no
    // such setting and is left as it is.
    serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) == 0 && (serial.flags & ASYNC_LOW_LATENCY) == 0) {
        serial.flags |= ASYNC_LOW_LATENCY;
        ioctl(fd, TIOCSSERIAL, &serial);
    }

    if (id == -1) {
        const int32_t handle = make_handle();
        if (!add_handle_entry(handle, fd)) {
            close(fd);
            return 0;
        }
        return handle;
    }
    // The old port of this id goes only now that its successor is open.
    if (fixed_slots[id] != 0)
        close_port(id);
    fixed_slots[id] = fd;
    return fd;
}

int32_t port_bytes_waiting(int32_t id)
{
    const int fd = port_fd(id);
    if (fd == 0)
        return 0;
    int count = 0;
    if (ioctl(fd, FIONREAD, &count) != 0 || count < 0)
        return 0;
    return count;
}

int32_t read_port(int32_t id, char *buffer, int32_t max_count)
{
    const int fd = port_fd(id);
    if (fd == 0 || buffer == nullptr || max_count <= 0)
        return 0;
    const ssize_t got = read(fd, buffer, static_cast<size_t>(max_count));
    if (got < 0 && is_gone_error(errno))
        close_port(id);
    return got < 0 ? 0 : static_cast<int32_t>(got);
}

int32_t write_port_text(int32_t id, const char *text, int32_t format)
{
    const int fd = port_fd(id);
    if (fd == 0 || text == nullptr || format != text_format_bytes)
        return 0;
    const size_t length = std::strlen(text);
    if (length == 0)
        return 0;
    ssize_t sent;
    do {
        sent = write(fd, text, length);
    } while (sent < 0 && errno == EINTR);  // nothing went out: safe to try again
    if (sent < 0 && is_gone_error(errno))
        close_port(id);
    return sent < 0 ? 0 : static_cast<int32_t>(sent);
}

int32_t write_port_whole(int32_t id, const char *text, const deadline &d)
{
    const int fd = port_fd(id);
    if (fd == 0 || text == nullptr)
        return 0;
    const size_t length = std::strlen(text);
    size_t sent = 0;
    deadline limit = d;
    while (sent < length) {
        const ssize_t n = write(fd, text + sent, length - sent);
        if (n > 0) {
            // A device may take part of a line (a pty takes what fits). A
            // piece left behind would glue itself to the next line, so a
            // line that has begun gets a second limit for its rest.
            if (sent == 0 && static_cast<size_t>(n) < length && d.limit_ms > 0)
                limit.limit_ms = d.limit_ms <= INT32_MAX / 2 ? d.limit_ms * 2 : INT32_MAX;
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            if (is_gone_error(errno))
                close_port(id);
            break;  // the device failed or is gone: no room will come
        }
        // Full: sleep until the device has room, within the limit.
        if (deadline_passed(limit) || !wait_port_writable(id, limit))
            break;
    }
    return static_cast<int32_t>(sent);
}

bool wait_port_readable(int32_t id, const deadline &d)
{
    return wait_port(id, POLLIN, d);
}

bool wait_port_writable(int32_t id, const deadline &d)
{
    return wait_port(id, POLLOUT, d);
}

void claim_port_exclusively(int32_t id)
{
    const int fd = port_fd(id);
    if (fd != 0)
        ioctl(fd, TIOCEXCL);
}

void release_port_claim(int32_t id)
{
    const int fd = port_fd(id);
    if (fd != 0)
        ioctl(fd, TIOCNXCL);
}

void close_port(int32_t id)
{
    if (id >= 0 && id < fixed_slot_count) {
        if (fixed_slots[id] != 0) {
            close(fixed_slots[id]);
            fixed_slots[id] = 0;
        }
        return;
    }
    const int32_t entry = find_handle(id);
    if (id == 0 || entry < 0)
        return;
    close(handle_entries[entry].fd);
    std::memmove(&handle_entries[entry], &handle_entries[entry + 1],
                 sizeof(handle_entry) * static_cast<size_t>(handle_count - entry - 1));
    --handle_count;
}

void close_all_ports()
{
    for (int32_t id = 0; id < fixed_slot_count; ++id)
        close_port(id);
    while (handle_count > 0)
        close_port(handle_entries[0].handle);
}

int32_t keep_port_open(int32_t id, const char *path, int32_t baud, int32_t parity, int32_t data_bits,
                       float stop_bits, int32_t handshake, int32_t input_buffer_size,
                       int32_t output_buffer_size, bool exclusive)
{
    kept.kept = false;
    if (path == nullptr || std::strlen(path) >= sizeof kept.path || id < 0)
        return 0;
    kept = kept_port{true, id, {}, baud, parity, data_bits, handshake, input_buffer_size,
                     output_buffer_size, stop_bits, exclusive, false, 0};
    std::memcpy(kept.path, path, std::strlen(path) + 1);
    const int32_t opened = open_port(id, path, baud, parity, data_bits, stop_bits, handshake,
                                     input_buffer_size, output_buffer_size);
    if (opened != 0 && exclusive)
        claim_port_exclusively(id);
    return opened;
}

bool reopen_kept_port(int32_t id)
{
    if (!kept.kept || kept.id != id)
        return false;
    if (port_fd(id) != 0)
        return true;
    // One failed open at most every reopen_interval_ms: a request finds no
    // port at the cost of one system call.
    const int32_t now = elapsed_ms();
    if (kept.tried && ms_since(kept.tried_at_ms) < reopen_interval_ms)
        return false;
    kept.tried = true;
    kept.tried_at_ms = now;
    const int32_t opened = open_port(id, kept.path, kept.baud, kept.parity, kept.data_bits, kept.stop_bits,
                                     kept.handshake, kept.input_buffer_size, kept.output_buffer_size);
    if (opened != 0 && kept.exclusive)
        claim_port_exclusively(id);
    return opened != 0;
}

void free_port_table()
{
    kept.kept = false;
    close_all_ports();
    forget_port_table();
}

bool device_opens(const char *path)
{
    if (path == nullptr)
        return false;
    const int fd = open_device(path);
    if (fd == 0)
        return false;
    close(fd);
    return true;
}
