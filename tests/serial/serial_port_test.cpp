// The port and its line settings, against pseudo-terminals: the test holds
// the master side and a descriptor of the slave, the layer opens the slave by
// path as it opens a real device.
#include <cerrno>
#include <csignal>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <poll.h>
#include <set>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "child.h"
#include "claim_observer.h"
#include "elapsed.h"
#include "process_fds.h"
#include "posix/clock.h"
#include "protocol/board_line.h"
#include "serial/kept_port.h"
#include "serial/line_rate.h"
#include "pty_pair.h"
#include "serial/serial_port.h"
#include "someones_terminal.h"

namespace {

// Timing here uses its own clock: the layer's clock must stay unread in this
// process so that every forked child starts it afresh (see tests/posix/clock_test.cpp).
using steady = std::chrono::steady_clock;

struct pty_device : pty_pair {
    termios settings() const
    {
        termios t{};
        tcgetattr(slave, &t);
        return t;
    }

    // The board sends bytes.
    void send(const std::string &bytes) const
    {
        EXPECT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // What the port wrote: waits for `count` bytes at most timeout_ms, then
    // takes whatever else is there at once.
    std::string take(size_t count, int timeout_ms) const
    {
        std::string got;
        const auto deadline = steady::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            char buffer[256];
            const ssize_t n = read(master, buffer, sizeof buffer);
            if (n > 0) {
                got.append(buffer, static_cast<size_t>(n));
                continue;
            }
            if (got.size() >= count || steady::now() >= deadline)
                return got;
            pollfd p{master, POLLIN, 0};
            poll(&p, 1, 10);
        }
    }
};

// The board's line, as the driver opens it.
opened_port open_driver_line(const char *path, open_options options = {})
{
    return serial_port::open(path, driver_line, options);
}

line_settings line_with(int32_t baud, int32_t data_bits, stop_bits stop = stop_bits::one,
                        handshake flow = handshake::none)
{
    return line_settings{baud, data_bits, stop, flow};
}

// Writes without waiting: the device has room in every case that uses it,
// and this process must not read the layer's clock.
size_t write_now(serial_port &port, const std::string &bytes)
{
    return port.write_some(bytes.data(), bytes.size(), deadline{0, 0});
}

// The one descriptor that `after` has and `before` lacks, or -1.
int new_fd(const std::set<int> &before, const std::set<int> &after)
{
    int found = -1;
    for (int fd : after)
        if (!before.count(fd)) {
            if (found != -1)
                return -1;
            found = fd;
        }
    return found;
}

bool fd_is_open(int fd)
{
    return fcntl(fd, F_GETFD) != -1 || errno != EBADF;
}

// Waits until the port reports `count` bytes waiting, at most timeout_ms.
bool wait_waiting(serial_port &port, int32_t count, int timeout_ms)
{
    const auto deadline = steady::now() + std::chrono::milliseconds(timeout_ms);
    while (port.bytes_waiting() < count) {
        if (steady::now() >= deadline)
            return false;
        usleep(1000);
    }
    return true;
}

// Whether the device is claimed for one process, as the kernel says; nullopt
// where it cannot be asked (TIOCGEXCL is missing under qemu-i386).
std::optional<bool> claimed_by_kernel(int fd)
{
    int exclusive = 0;
    if (ioctl(fd, TIOCGEXCL, &exclusive) != 0)
        return std::nullopt;
    return exclusive != 0;
}

TEST(SerialPort, DriverSettingsReadBack)
{
    pty_device device;
    const std::set<int> before = open_fds();
    opened_port opened = open_driver_line(device.path.c_str());
    ASSERT_TRUE(opened.ok()) << opened.failure.reason();
    const int fd = new_fd(before, open_fds());
    ASSERT_GE(fd, 3);

    const termios t = device.settings();
    EXPECT_EQ(t.c_cflag, 0x8BDu);
    EXPECT_EQ(t.c_iflag, 0x104u);
    EXPECT_EQ(t.c_oflag, 0u);
    EXPECT_EQ(t.c_lflag, 0u);
    EXPECT_EQ(t.c_line, 0);
    for (int i = 0; i < NCCS; ++i) {
        int expected = 0;
        switch (i) {
        case VMIN: expected = 1; break;
        case VSTART: expected = 21; break;
        case VSTOP: expected = 23; break;
        case VEOF: expected = 4; break;
        default: break;  // VTIME and the rest stay 0
        }
        EXPECT_EQ(t.c_cc[i], expected) << "c_cc[" << i << "]";
    }

    // Raw, non-blocking and not inherited by programs the host starts.
    EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    // Claimed only when asked.
    EXPECT_FALSE(opened.port.claimed());
    opened.port.close();
    EXPECT_FALSE(opened.port.is_open());
    EXPECT_EQ(open_fds(), before);
}

TEST(SerialPort, EveryBaudOfTheTableSelectsItsCode)
{
    struct {
        int32_t baud;
        speed_t code;
    } const table[] = {
        {0, B0}, {50, B50}, {75, B75}, {110, B110}, {150, B150}, {300, B300},
        {600, B600}, {1200, B1200}, {1800, B1800}, {2400, B2400}, {4800, B4800},
        {9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200},
    };
    pty_device device;
    for (const auto &entry : table) {
        opened_port opened = serial_port::open(device.path.c_str(), line_with(entry.baud, 8));
        ASSERT_TRUE(opened.ok()) << "baud " << entry.baud;
        const termios t = device.settings();
        EXPECT_EQ(t.c_cflag & CBAUD, entry.code) << "baud " << entry.baud;
        EXPECT_EQ(t.c_cflag & ~CBAUD, static_cast<tcflag_t>(CS8 | CREAD | CLOCAL)) << "baud " << entry.baud;
        opened.port.close();
    }
}

TEST(SerialPort, RefusedOpensOpenNothingAndSayWhy)
{
    pty_device device;
    // Settings the layer would never apply, to see that nothing was touched.
    termios mark = device.settings();
    cfmakeraw(&mark);
    cfsetspeed(&mark, B1200);
    mark.c_cc[VMIN] = 7;
    ASSERT_EQ(tcsetattr(device.slave, TCSANOW, &mark), 0);
    const termios before_settings = device.settings();
    const char *path = device.path.c_str();
    const std::set<int> before = open_fds();

    std::vector<line_settings> refused;
    for (int32_t baud : {134, 200, 230400, 460800, -1, 1, 9601, INT_MIN, INT_MAX})
        refused.push_back(line_with(baud, 8));
    for (int32_t bits : {4, 9, 0, -8, INT_MIN})
        refused.push_back(line_with(9600, bits));
    // Values no enumerator has, as a cast or a corrupted record makes them.
    refused.push_back(line_with(9600, 8, static_cast<stop_bits>(2)));
    refused.push_back(line_with(9600, 8, stop_bits::one, static_cast<handshake>(3)));
    refused.push_back(line_with(9600, 8, stop_bits::one, static_cast<handshake>(255)));
    for (const line_settings &line : refused) {
        const opened_port opened = serial_port::open(path, line);
        EXPECT_FALSE(opened.ok()) << "baud " << line.baud << " bits " << line.data_bits << " stop "
                                  << int(line.stop) << " handshake " << int(line.flow);
        EXPECT_EQ(opened.failure.error, EINVAL);
        EXPECT_STREQ(opened.failure.reason(), "line settings refused");
    }

    struct {
        const char *path;
        int error;
    } const missing[] = {{nullptr, EINVAL}, {"", ENOENT}, {"/nonexistent/ttyUSB0", ENOENT}, {"/", ENOTTY}};
    for (const auto &c : missing) {
        const opened_port opened = open_driver_line(c.path);
        EXPECT_FALSE(opened.ok()) << (c.path ? c.path : "null");
        EXPECT_EQ(opened.failure.error, c.error) << (c.path ? c.path : "null");
        EXPECT_NE(std::string(opened.failure.reason()), "") << (c.path ? c.path : "null");
    }
    EXPECT_STREQ(open_driver_line("/nonexistent/ttyUSB0").failure.reason(), std::strerror(ENOENT));

    EXPECT_EQ(open_fds(), before);
    const termios after_settings = device.settings();
    EXPECT_EQ(std::memcmp(&before_settings, &after_settings, sizeof(termios)), 0);
}

TEST(SerialPort, OneOrTwoStopBits)
{
    pty_device device;
    for (stop_bits stop : {stop_bits::one, stop_bits::two}) {
        opened_port opened = serial_port::open(device.path.c_str(), line_with(9600, 8, stop));
        ASSERT_TRUE(opened.ok()) << "stop bits " << int(stop);
        const bool two = (device.settings().c_cflag & CSTOPB) != 0;
        EXPECT_EQ(two, stop == stop_bits::two);
        EXPECT_EQ(device.settings().c_cflag & (PARENB | PARODD), 0u);
        opened.port.close();
    }
}

TEST(SerialPort, DataBitsAndHandshakes)
{
    pty_device device;
    const char *path = device.path.c_str();
    // A pseudo-terminal always reports 8 data bits, so only acceptance shows.
    for (int32_t bits : {5, 6, 7, 8}) {
        opened_port opened = serial_port::open(path, line_with(9600, bits));
        EXPECT_TRUE(opened.ok()) << "data bits " << bits;
        opened.port.close();
    }

    struct {
        handshake flow;
        tcflag_t cflag, iflag;
    } const cases[] = {
        {handshake::none, 0x8BD, 0x104},
        {handshake::rts_cts, 0x8BD | CRTSCTS, 0x104},
        {handshake::xon_xoff, 0x8BD, 0x104 | IXON | IXANY | IXOFF},
    };
    for (const auto &c : cases) {
        opened_port opened = serial_port::open(path, line_with(9600, 8, stop_bits::one, c.flow));
        ASSERT_TRUE(opened.ok()) << "handshake " << int(c.flow);
        const termios t = device.settings();
        EXPECT_EQ(t.c_cflag, c.cflag) << "handshake " << int(c.flow);
        EXPECT_EQ(t.c_iflag, c.iflag) << "handshake " << int(c.flow);
        opened.port.close();
    }
}

TEST(SerialPort, OpenDiscardsUnreadInput)
{
    pty_device device;
    device.send("stale");
    usleep(50000);
    opened_port opened = open_driver_line(device.path.c_str());
    ASSERT_TRUE(opened.ok());
    serial_port &port = opened.port;
    EXPECT_EQ(port.bytes_waiting(), 0);
    device.send("new\r");
    ASSERT_TRUE(wait_waiting(port, 4, 2000));
    char buffer[16] = {};
    EXPECT_EQ(port.read(buffer, sizeof buffer), 4);
    EXPECT_STREQ(buffer, "new\n");
    port.close();
}

// A rate none of the fixed speeds has, as the master end reads it (what
// firmsim sees of its host); the other settings stay, and what came at the
// old rate is gone.
TEST(SerialPort, AMoveToAnyRateKeepsTheSettingsAndDropsWhatCameBefore)
{
    pty_device device;
    opened_port opened = open_driver_line(device.path.c_str());
    ASSERT_TRUE(opened.ok());
    serial_port &port = opened.port;
    if (descriptor_rate(device.master) == 0)
        GTEST_SKIP() << "this system cannot give a line any rate (termios2 is missing under qemu-i386)";
    EXPECT_EQ(descriptor_rate(device.master), 9600u);
    const termios before = device.settings();
    device.send("at 9600");
    ASSERT_TRUE(wait_waiting(port, 7, 2000));

    ASSERT_TRUE(port.set_rate(250000));
    EXPECT_EQ(descriptor_rate(device.master), 250000u);
    EXPECT_EQ(descriptor_rate(device.slave), 250000u);
    EXPECT_EQ(port.bytes_waiting(), 0);
    const termios after = device.settings();
    EXPECT_EQ(after.c_cflag & ~(CBAUD | CIBAUD), before.c_cflag & ~(CBAUD | CIBAUD));
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);

    EXPECT_FALSE(port.set_rate(0));
    EXPECT_EQ(descriptor_rate(device.master), 250000u);
    port.close();
    EXPECT_FALSE(port.set_rate(9600));
    EXPECT_EQ(descriptor_rate(-1), 0u);
}

// Only tried: the settings and the unread input of a device another program
// may be using stay as they were, and any file that opens counts.
TEST(SerialPort, AnUntouchedOpenChangesNothing)
{
    pty_device device;
    termios mark = device.settings();
    cfmakeraw(&mark);
    cfsetspeed(&mark, B1200);
    ASSERT_EQ(tcsetattr(device.slave, TCSANOW, &mark), 0);
    const termios before = device.settings();
    device.send("unread");
    usleep(50000);

    opened_port tried = serial_port::open_untouched(device.path.c_str());
    ASSERT_TRUE(tried.ok());
    EXPECT_FALSE(tried.port.claimed());
    const termios after = device.settings();
    EXPECT_EQ(std::memcmp(&before, &after, sizeof(termios)), 0);
    EXPECT_EQ(tried.port.bytes_waiting(), 6);
    tried.port.close();

    opened_port other_kind = serial_port::open_untouched("/dev/null");
    EXPECT_TRUE(other_kind.ok());
    other_kind.port.close();
    const opened_port missing = serial_port::open_untouched("/nonexistent/ttyUSB0");
    EXPECT_FALSE(missing.ok());
    EXPECT_EQ(missing.failure.error, ENOENT);
    EXPECT_EQ(serial_port::open_untouched(nullptr).failure.error, EINVAL);
}

// One owner per descriptor: a port moves, and the port it leaves behind
// holds nothing that a close could take from the new owner; a port moved
// over an open one closes that one's descriptor.
TEST(SerialPort, AMovedPortHasOneOwner)
{
    pty_device device;
    const std::set<int> before = open_fds();
    opened_port opened = open_driver_line(device.path.c_str());
    ASSERT_TRUE(opened.ok());
    serial_port owner = std::move(opened.port);
    EXPECT_FALSE(opened.port.is_open());
    opened.port.close();
    EXPECT_EQ(write_now(owner, "SB11\r"), 5u);

    serial_port other = serial_port::open_untouched(device.path.c_str()).port;
    ASSERT_TRUE(other.is_open());
    other = std::move(owner);
    EXPECT_EQ(write_now(other, "SB10\r"), 5u);
    other.close();
    EXPECT_EQ(open_fds(), before);
    EXPECT_EQ(device.take(10, 2000), "SB11\rSB10\r");
}

TEST(SerialPort, CarriageReturnsInAndOut)
{
    pty_device device;
    opened_port opened = open_driver_line(device.path.c_str());
    ASSERT_TRUE(opened.ok());
    serial_port &port = opened.port;

    // From the board: CR arrives as LF, an LF stays LF.
    device.send("512\r7\n");
    ASSERT_TRUE(wait_waiting(port, 6, 2000));
    EXPECT_EQ(port.bytes_waiting(), 6);
    char buffer[16];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(port.read(buffer, 3), 3);  // never more than asked
    EXPECT_EQ(std::string(buffer, 4), "512#");
    EXPECT_EQ(port.read(buffer, sizeof buffer), 3);
    EXPECT_EQ(std::string(buffer, 3), "\n7\n");
    EXPECT_EQ(port.bytes_waiting(), 0);

    // To the board: the bytes as given, CR included, nothing added.
    EXPECT_EQ(write_now(port, "1\r"), 2u);
    const std::string sent = device.take(2, 2000);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], 49);
    EXPECT_EQ(sent[1], 13);
    EXPECT_EQ(device.take(1, 50), "");

    // Latin-1 bytes and zero bytes pass unchanged.
    EXPECT_EQ(write_now(port, std::string("\xE9\xFB\0\r", 4)), 4u);
    EXPECT_EQ(device.take(4, 2000), std::string("\xE9\xFB\0\r", 4));

    // Nothing to write sends nothing.
    EXPECT_EQ(write_now(port, ""), 0u);
    EXPECT_EQ(port.write_some(nullptr, 3, deadline{0, 0}), 0u);
    EXPECT_EQ(device.take(1, 100), "");
    port.close();
}

TEST(SerialPort, ReadsWithNothingReceivedReturnAtOnce)
{
    pty_device device;
    opened_port opened = open_driver_line(device.path.c_str());
    ASSERT_TRUE(opened.ok());
    serial_port &port = opened.port;
    char buffer[8];
    std::memset(buffer, '#', sizeof buffer);
    const auto start = steady::now();
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(port.bytes_waiting(), 0);
        EXPECT_EQ(port.read(buffer, sizeof buffer), 0);
    }
    EXPECT_LT(ms_between(start, steady::now()), 1000);

    device.send("xy");
    ASSERT_TRUE(wait_waiting(port, 2, 2000));
    EXPECT_EQ(port.read(nullptr, 8), 0);
    EXPECT_EQ(port.read(buffer, 0), 0);
    EXPECT_EQ(port.read(buffer, -1), 0);
    EXPECT_EQ(port.read(buffer, INT_MIN), 0);
    EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(8, '#'));
    EXPECT_EQ(port.bytes_waiting(), 2);  // the refused reads took nothing
    port.close();
}

// A port never opened, or closed, does nothing and touches no device; so does
// closing it again.
TEST(SerialPort, APortNotOpenDoesNothing)
{
    pty_device device;
    opened_port opened = open_driver_line(device.path.c_str());
    ASSERT_TRUE(opened.ok());
    opened.port.close();
    device.send("waiting");
    usleep(50000);
    const std::set<int> before = open_fds();

    serial_port never;
    for (serial_port *port : {&never, &opened.port}) {
        char buffer[8];
        std::memset(buffer, '#', sizeof buffer);
        EXPECT_FALSE(port->is_open());
        EXPECT_EQ(port->bytes_waiting(), 0);
        EXPECT_EQ(port->read(buffer, sizeof buffer), 0);
        EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(8, '#'));
        EXPECT_EQ(write_now(*port, "no\r"), 0u);
        EXPECT_FALSE(port->wait_readable(deadline{0, 0}));
        EXPECT_FALSE(port->wait_writable(deadline{0, 0}));
        port->release_claim();
        port->close();
    }
    EXPECT_EQ(open_fds(), before);
    EXPECT_EQ(device.take(1, 50), "");
    int unread = 0;
    ioctl(device.slave, FIONREAD, &unread);
    EXPECT_EQ(unread, 7);  // nothing read the device's input
}

TEST(SerialPort, OnlyATerminalOrAFifoIsAPort)
{
    char folder[] = "/tmp/serial-kind-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string file = std::string(folder) + "/file", fifo = std::string(folder) + "/fifo";
    const int fd = open(file.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    close(fd);
    const std::set<int> before = open_fds();
    for (const char *path : {"/dev/null", "/dev/zero", static_cast<const char *>(folder), file.c_str()}) {
        const opened_port opened = open_driver_line(path);
        EXPECT_FALSE(opened.ok()) << path;
        EXPECT_EQ(opened.failure.error, ENOTTY) << path;
        EXPECT_STREQ(opened.failure.reason(), "not a terminal or FIFO") << path;
    }
    EXPECT_EQ(open_fds(), before);
    struct stat info {};
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 0);

    // A FIFO opens; the line settings cannot be applied, which the open
    // does not examine, nor can it be claimed, which the port keeps.
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    opened_port opened = open_driver_line(fifo.c_str(), open_options{.exclusive = true});
    ASSERT_TRUE(opened.ok());
    serial_port &port = opened.port;
    EXPECT_FALSE(port.claimed());
    EXPECT_EQ(port.bytes_waiting(), 0);
    char buffer[4];
    EXPECT_EQ(port.read(buffer, sizeof buffer), 0);
    EXPECT_EQ(write_now(port, "abc"), 3u);
    EXPECT_EQ(port.bytes_waiting(), 3);
    port.close();
    unlink(fifo.c_str());
    unlink(file.c_str());
    rmdir(folder);
}

// The claim keeps every other program out, root's too (the terminal's
// exclusive mode alone let root through): a second claiming open fails with
// EBUSY and leaves the holder's settings and unread input as they were. On a
// pseudo-terminal the claim is the lock alone, since its exclusive mode would
// outlive the holder. The lock goes with the holder's close, not before.
TEST(SerialPort, TheClaimKeepsOthersOutAndTheHolderUntouched)
{
    pty_device device;
    const char *path = device.path.c_str();
    opened_port holder = open_driver_line(path, open_options{.exclusive = true});
    ASSERT_TRUE(holder.ok());
    EXPECT_TRUE(holder.port.claimed());
    EXPECT_NE(claimed_by_kernel(device.slave), std::optional<bool>(true));

    termios mark = device.settings();
    cfsetspeed(&mark, B1200);
    mark.c_cc[VMIN] = 7;
    ASSERT_EQ(tcsetattr(device.slave, TCSANOW, &mark), 0);
    const termios before = device.settings();
    device.send("unread");
    ASSERT_TRUE(wait_waiting(holder.port, 6, 2000));
    const std::set<int> fds = open_fds();

    const opened_port second = open_driver_line(path, open_options{.exclusive = true});
    EXPECT_FALSE(second.ok());
    EXPECT_EQ(second.failure.error, EBUSY);
    EXPECT_STREQ(second.failure.reason(), "in use by another program");
    EXPECT_EQ(open_fds(), fds);
    const termios after = device.settings();
    EXPECT_EQ(std::memcmp(&before, &after, sizeof(termios)), 0);
    EXPECT_EQ(holder.port.bytes_waiting(), 6);

    holder.port.release_claim();
    EXPECT_FALSE(holder.port.claimed());
    EXPECT_EQ(open_driver_line(path, open_options{.exclusive = true}).failure.error, EBUSY);
    holder.port.close();
    opened_port next = open_driver_line(path, open_options{.exclusive = true});
    EXPECT_TRUE(next.ok());
    EXPECT_TRUE(next.port.claimed());
    next.port.close();
}

// An open that claims nothing shares the device with others like it, and
// never touches one that another open holds alone: its settings and unread
// input stay that one's.
TEST(SerialPort, ASharedOpenNeverTouchesAClaimedDevice)
{
    pty_device device;
    const char *path = device.path.c_str();
    opened_port holder = open_driver_line(path, open_options{.exclusive = true});
    ASSERT_TRUE(holder.ok());
    device.send("unread");
    ASSERT_TRUE(wait_waiting(holder.port, 6, 2000));
    const termios before = device.settings();
    const opened_port shared = open_driver_line(path);
    EXPECT_FALSE(shared.ok());
    EXPECT_EQ(shared.failure.error, EBUSY);
    const termios after = device.settings();
    EXPECT_EQ(std::memcmp(&before, &after, sizeof(termios)), 0);
    EXPECT_EQ(holder.port.bytes_waiting(), 6);
    holder.port.close();

    opened_port first = open_driver_line(path);
    opened_port second = open_driver_line(path);
    EXPECT_TRUE(first.ok());
    EXPECT_TRUE(second.ok());
    // While they share it, no one claims it.
    EXPECT_EQ(open_driver_line(path, open_options{.exclusive = true}).failure.error, EBUSY);
    first.port.close();
    second.port.close();
    opened_port claimed = open_driver_line(path, open_options{.exclusive = true});
    EXPECT_TRUE(claimed.ok());
    claimed.port.close();
}

// A port one thread reads while others write is never closed by the
// operation that finds its device gone (its number could be reused under
// the others): it says gone, does nothing more, and its owner closes it.
TEST(SerialPort, APortKeptOpenWhenGoneSaysSoAndWaitsForItsOwner)
{
    // Its waits read the layer's clock: in a child of its own.
    const child_result child = run_in_child([] {
        auto device = std::make_unique<pty_device>();
        opened_port opened = open_driver_line(device->path.c_str());
        ASSERT_TRUE(opened.ok());
        serial_port &port = opened.port;
        port.keep_open_when_gone();
        const int fd = port.descriptor();
        device->send("ab");
        EXPECT_EQ(port.wait_input(deadline{0, 0x7FFFFFFF}, -1), wait_result::ready);
        char bytes[8];
        EXPECT_EQ(port.read(bytes, sizeof bytes), 2);
        device->hang_up();
        EXPECT_EQ(port.wait_input(deadline{0, 0x7FFFFFFF}, -1), wait_result::gone);
        EXPECT_TRUE(port.gone());
        EXPECT_TRUE(port.is_open());
        EXPECT_TRUE(fd_is_open(fd));
        EXPECT_EQ(write_now(port, "EA0\r"), 0u);
        EXPECT_EQ(port.read(bytes, sizeof bytes), 0);
        port.close();
        EXPECT_FALSE(port.gone());
        EXPECT_FALSE(fd_is_open(fd));
    });
    EXPECT_EQ(child.exit_code, 0);
}

// A holder killed while the pseudo-terminal's other end stays open (a socat
// link, an emulator): its claim goes with it, for a user's plain open and for
// a new claim alike.
TEST(SerialPort, AKilledHoldersClaimGoesWithIt)
{
    pty_device device;
    claim_observer claims;
    int ready[2];
    ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
    const pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        const opened_port held = open_driver_line(device.path.c_str(), open_options{.exclusive = true});
        const char took = held.ok() && held.port.claimed() ? 'y' : 'n';
        if (write(ready[1], &took, 1) == 1)
            for (;;)
                pause();
        _exit(1);
    }
    close(ready[1]);
    char took = 0;
    EXPECT_EQ(read(ready[0], &took, 1), 1);
    close(ready[0]);
    EXPECT_EQ(took, 'y');
    EXPECT_TRUE(claims.held_exclusively(device.path));
    EXPECT_EQ(open_driver_line(device.path.c_str(), open_options{.exclusive = true}).failure.error, EBUSY);

    kill(holder, SIGKILL);
    ASSERT_EQ(waitpid(holder, nullptr, 0), holder);
    EXPECT_FALSE(claims.held_exclusively(device.path));
    opened_port again = open_driver_line(device.path.c_str(), open_options{.exclusive = true});
    EXPECT_TRUE(again.ok());
    EXPECT_TRUE(again.port.claimed());
    again.port.close();
}

// Someone's terminal (a session's: a shell, a console, a getty) is never a
// board: its open is refused before anything is set, claimed or written,
// whoever leads the session and whatever the leader's name holds.
TEST(SerialPort, ASessionsTerminalIsRefusedUntouched)
{
    // A leader whose name reads like the fields after it (and a terminal 0).
    char folder[] = "/tmp/session-leader-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string leader = std::string(folder) + "/x) S 1 1 1 0 (";
    ASSERT_EQ(symlink("/bin/sleep", leader.c_str()), 0);
    someones_terminal terminal(leader);
    const char *path = terminal.path().c_str();
    const int own = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(own, 0);
    termios before{};
    ASSERT_EQ(tcgetattr(own, &before), 0);
    const std::set<int> fds = open_fds();

    for (bool exclusive : {false, true}) {
        const opened_port opened = open_driver_line(path, open_options{.exclusive = exclusive});
        EXPECT_FALSE(opened.ok());
        EXPECT_EQ(opened.failure.error, ENOTTY);
        EXPECT_STREQ(opened.failure.reason(), "a session's terminal (someone's console), not a board");
    }
    EXPECT_EQ(open_fds(), fds);
    termios after{};
    ASSERT_EQ(tcgetattr(own, &after), 0);
    EXPECT_EQ(std::memcmp(&before, &after, sizeof(termios)), 0);
    EXPECT_EQ(terminal.written(), "");
    EXPECT_EQ(flock(own, LOCK_EX | LOCK_NB), 0);  // no lock was left on it
    close(own);
    unlink(leader.c_str());
    rmdir(folder);

    // The caller's own terminal, which the kernel tells of.
    const child_result child = run_in_child([] {
        pty_device console;
        ASSERT_NE(setsid(), -1);
        ASSERT_EQ(ioctl(console.slave, TIOCSCTTY, 0), 0);
        EXPECT_EQ(open_driver_line(console.path.c_str()).failure.error, ENOTTY);
        signal(SIGHUP, SIG_IGN);  // the console closes at the end and hangs up its session
    });
    EXPECT_EQ(child.exit_code, 0);
}

TEST(SerialPort, VanishedDeviceGivesZeroWithoutWaitingAndIsClosed)
{
    pty_device device;
    std::set<int> left = open_fds();
    left.erase(device.master);
    opened_port opened = open_driver_line(device.path.c_str());
    ASSERT_TRUE(opened.ok());
    serial_port &port = opened.port;
    device.hang_up();

    const auto start = steady::now();
    for (int i = 0; i < 10; ++i) {
        char buffer[8];
        EXPECT_EQ(port.bytes_waiting(), 0);
        EXPECT_EQ(port.read(buffer, sizeof buffer), 0);
        EXPECT_EQ(write_now(port, "SBA1\r"), 0u);
    }
    EXPECT_LT(ms_between(start, steady::now()), 2000);
    // The write that found it gone closed it.
    EXPECT_FALSE(port.is_open());
    EXPECT_EQ(open_fds(), left);
}

// A kept port, gone, is opened again on its path as it was first opened,
// each try at most every reopen_interval_ms.
TEST(KeptPort, ReopensItsPathWithItsSettingsAndClaim)
{
    const child_result child = run_in_child([] {
        char folder[] = "/tmp/kept-port-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        const std::string link = std::string(folder) + "/ttyUSB0";
        auto first = std::make_unique<pty_device>();
        ASSERT_EQ(symlink(first->path.c_str(), link.c_str()), 0);

        kept_port kept;
        EXPECT_FALSE(kept.reopen());  // nothing kept yet
        ASSERT_EQ(kept.keep(link.c_str(), driver_line, open_options{.exclusive = true}).error, 0);
        EXPECT_TRUE(kept.port().claimed());
        EXPECT_TRUE(kept.reopen());

        // Unplugged: the wait that finds it gone closes it, and the first
        // try to open it again fails at once.
        first->hang_up();
        EXPECT_FALSE(kept.port().wait_readable(deadline_after(1000)));
        EXPECT_FALSE(kept.port().is_open());
        first.reset();
        unlink(link.c_str());
        EXPECT_FALSE(kept.reopen());

        // Back under the same name, with other settings: not tried again
        // before the interval has passed since the last try.
        pty_device second;
        termios other = second.settings();
        cfmakeraw(&other);
        cfsetspeed(&other, B1200);
        ASSERT_EQ(tcsetattr(second.slave, TCSANOW, &other), 0);
        ASSERT_EQ(symlink(second.path.c_str(), link.c_str()), 0);
        const int32_t unplugged_at = elapsed_ms();
        EXPECT_FALSE(kept.reopen());
        while (!kept.reopen()) {
            ASSERT_LT(ms_since(unplugged_at), 3 * reopen_interval_ms);
            delay_ms(10);
        }
        EXPECT_GE(ms_since(unplugged_at), reopen_interval_ms - 50);
        EXPECT_EQ(second.settings().c_cflag, 0x8BDu);
        EXPECT_TRUE(kept.port().claimed());
        EXPECT_EQ(write_now(kept.port(), "ok"), 2u);
        EXPECT_EQ(second.take(2, 2000), "ok");

        kept.forget();
        EXPECT_FALSE(kept.port().is_open());
        EXPECT_FALSE(kept.reopen());
        unlink(link.c_str());
        rmdir(folder);
    });
    EXPECT_EQ(child.exit_code, 0);
}

// Descriptors 0, 1 and 2 are never a port's: 1 or 2 would receive the host's
// output.
TEST(SerialPortDescriptors, NeverTheStandardOnes)
{
    const child_result child = run_in_child([] {
        pty_device device;
        const int saved_out = fcntl(1, F_DUPFD_CLOEXEC, 10);
        const int saved_err = fcntl(2, F_DUPFD_CLOEXEC, 10);
        close(0);
        close(1);
        close(2);
        opened_port configured = open_driver_line(device.path.c_str());
        opened_port tried = serial_port::open_untouched(device.path.c_str());
        const bool standard_free = !fd_is_open(0) && !fd_is_open(1) && !fd_is_open(2);
        const size_t written = write_now(configured.port, "0") + write_now(tried.port, "h");
        dup2(saved_out, 1);
        dup2(saved_err, 2);

        EXPECT_TRUE(configured.ok());
        EXPECT_TRUE(tried.ok());
        EXPECT_TRUE(standard_free);
        EXPECT_EQ(written, 2u);
        EXPECT_EQ(device.take(2, 2000), "0h");
        configured.port.close();
        tried.port.close();
    });
    EXPECT_EQ(child.exit_code, 0);
}

}  // namespace
