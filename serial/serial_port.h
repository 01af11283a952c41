// Serial port layer: the only code that opens, reads or writes a device.
// A port owns the device's descriptor and its claim: it moves, never copies,
// so one owner alone may close it. It has no destructor, so the driver's
// stays usable while the process exits; an owner closes it. Every port
// is raw (but each CR received arrives as LF; see line_settings.h) and
// non-blocking: reads and writes never wait for the device; only the waits
// below do, each up to its deadline, asleep.
//
// A device that hangs up or fails with EIO, ENXIO or ENODEV (unplugged) is
// closed at once by the wait, read or write that found it gone; every
// operation on a port that is not open does nothing and gives 0 or false.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "line_settings.h"
#include "posix/deadline.h"

struct open_options {
    // Makes the port this process's alone. The claim is a lock on the open
    // (flock), which holds against root too and goes with the last descriptor
    // of the open, however its holder ends; on a terminal other than a
    // pseudo-terminal, also the terminal's exclusive mode (TIOCEXCL), which
    // keeps other users from opening it at all. A device already claimed is
    // not opened (EBUSY), and keeps its settings and unread input. Whether
    // the claim took is kept in the port (claimed()); a FIFO takes none.
    // Without it, a terminal's open shares the device (a shared lock for the
    // port's life), and is refused (EBUSY), untouched, where another open
    // holds it alone.
    bool exclusive = false;
};

// How a wait of a port that is kept open when its device goes ended.
enum class wait_result { ready, timeout, woken, gone };

struct opened_port;

class serial_port {
public:
    serial_port() = default;
    serial_port(serial_port &&other) noexcept { take(other); }
    // Closes the port this one held, then takes `other`'s.
    serial_port &operator=(serial_port &&other) noexcept
    {
        if (this != &other) {
            close();
            take(other);
        }
        return *this;
    }
    serial_port(const serial_port &) = delete;
    serial_port &operator=(const serial_port &) = delete;

    // Opens `path` with the line settings; whatever the device had received
    // before is discarded. Only a terminal or a FIFO is opened: a regular
    // file, a folder or another kind of device at the path (/dev/null) is
    // refused and never written, and so is a terminal that is a session's
    // (someone's shell or console; ENOTTY), before any setting. A line that
    // cannot be set opens nothing. The claim, when asked for, is taken
    // before the settings: a device claimed by another program fails with
    // EBUSY, untouched.
    static opened_port open(const char *path, const line_settings &line, open_options options = {});

    // Opens the device without touching its line settings or its pending
    // input, so that one another program is using is left undisturbed: for
    // a port that is only tried (and closed again at once).
    static opened_port open_untouched(const char *path);

    bool is_open() const { return fd_ >= 0; }
    // The claim asked for at the open holds.
    bool claimed() const { return claimed_; }

    // For a port that one thread reads while others write (a board's
    // reader): a device found gone is no longer closed by the operation that
    // found it (its descriptor could be reused under the other thread), but
    // marked gone(); operations then do nothing, and the owner closes it.
    void keep_open_when_gone() { close_when_gone_ = false; }
    bool gone() const { return gone_.load(std::memory_order_relaxed); }

    // The descriptor, for a wait of the owner's own (-1 when not open).
    int descriptor() const { return fd_; }

    // Received bytes waiting to be read; 0 when none.
    int32_t bytes_waiting();

    // One read of at most max_count bytes; 0 when nothing came or on any error.
    int32_t read(char *buffer, int32_t max_count);

    // Sleep in poll() until a byte waits (true) or the deadline passes
    // (false), resuming after signals with the time left. False at once when
    // the device hung up or failed and nothing it sent before is left: no
    // byte can come then.
    bool wait_readable(const deadline &d);

    // The same, also returning false with *woken set as soon as `wake_fd`
    // is readable: for a thread that another one must be able to wake.
    bool wait_readable(const deadline &d, int wake_fd, bool *woken);

    // Likewise until the device has room for a write.
    bool wait_writable(const deadline &d);

    // For a port kept open when gone: sleeps in poll() until a byte waits,
    // the deadline passes, `wake_fd` is readable (unless it is -1) or the
    // device is gone and nothing it sent before is left.
    wait_result wait_input(const deadline &d, int wake_fd);

    // Writes the bytes as the device takes them, sleeping while its buffer
    // is full, until all went out or the deadline passed. The number sent:
    // fewer than `size` only when the device stayed full to the deadline or
    // failed. A device with room is written even once the deadline passed.
    size_t write_some(const char *bytes, size_t size, const deadline &d);

    // Gives the claim up: the terminal's exclusive mode ends at once, so
    // that a descriptor of the same device kept elsewhere is not left
    // exclusive; the lock goes with the last descriptor of this open (this
    // port's close, and a forked child's), never before, so that a child
    // still using the port keeps it. claimed() is false after.
    void release_claim();

    // Unlocks the device now, for every descriptor of this open, a forked
    // child's too: for an owner that closes a port which a child it forked
    // must not use, so the child's copy holds nobody out.
    void release_lock();

    void close();

    // Moves the line to `baud` bits a second (any rate the device can make),
    // its other settings kept and its unread input discarded. False when
    // the port is not open or the device refuses.
    bool set_rate(int32_t baud);

    // Whether the device takes `baud` bits a second (set, then put back to
    // what it was): false where the system cannot give a line that rate.
    bool rate_possible(int32_t baud);

    // Whether each CR received is delivered as LF (the line settings' way,
    // for text answers); off for binary data such as a stream's frames.
    void deliver_cr_as_lf(bool as_lf);

private:
    serial_port(int fd, bool claimed, bool exclusive_mode) : fd_(fd), claimed_(claimed), exclusive_mode_(exclusive_mode) {}
    void take(serial_port &other)
    {
        fd_ = other.fd_;
        claimed_ = other.claimed_;
        exclusive_mode_ = other.exclusive_mode_;
        close_when_gone_ = other.close_when_gone_;
        gone_.store(other.gone(), std::memory_order_relaxed);
        other.fd_ = -1;
        other.claimed_ = other.exclusive_mode_ = false;
        other.close_when_gone_ = true;
        other.gone_.store(false, std::memory_order_relaxed);
    }
    // The device is gone: closed at once, or marked for the owner.
    void found_gone();

    int fd_ = -1;
    bool claimed_ = false;
    bool exclusive_mode_ = false;  // TIOCEXCL set by this port
    bool close_when_gone_ = true;
    std::atomic<bool> gone_ = false;
};

// Why an open failed: the system's error, and a short text for the user.
struct open_failure {
    int error = 0;               // errno; 0 when the port opened
    const char *text = nullptr;  // the layer's own reason, or null for the system's text of `error`
    // The text to show: the layer's reason or the system's.
    const char *reason() const;
};

// What an open gives: the port, or why there is none.
struct opened_port {
    serial_port port;      // open when it worked
    open_failure failure;  // why not, when it did not
    bool ok() const { return port.is_open(); }
};
