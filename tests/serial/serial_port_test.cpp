// The port table and the line settings, against pseudo-terminals: the test
// holds the master side and a descriptor of the slave, the layer opens the
// slave by path as it opens a real device.
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <set>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "child.h"
#include "elapsed.h"
#include "process_fds.h"
#include "pty_pair.h"
#include "serial/serial_port.h"

namespace {

// Timing here uses its own clock: the layer's clock must stay unread in this
// process so that every forked child starts it afresh (see clock_test.cpp).
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

int32_t open_driver_settings(int32_t id, const char *path)
{
    return open_port(id, path, 9600, 0, 8, 1.0f, 0, 1024, 1024);
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
bool wait_waiting(int32_t id, int32_t count, int timeout_ms)
{
    const auto deadline = steady::now() + std::chrono::milliseconds(timeout_ms);
    while (port_bytes_waiting(id) < count) {
        if (steady::now() >= deadline)
            return false;
        usleep(1000);
    }
    return true;
}

class SerialPort : public ::testing::Test {
protected:
    void SetUp() override { init_port_table(); }
    void TearDown() override { close_all_ports(); }
};

TEST_F(SerialPort, DriverSettingsReadBack)
{
    pty_device device;
    const int32_t fd = open_driver_settings(0, device.path.c_str());
    ASSERT_GT(fd, 0);

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
}

TEST_F(SerialPort, EveryBaudOfTheTableSelectsItsCode)
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
        const int32_t handle = open_port(-1, device.path.c_str(), entry.baud, 0, 8, 1.0f, 0, 1024, 1024);
        ASSERT_GT(handle, 0) << "baud " << entry.baud;
        const termios t = device.settings();
        EXPECT_EQ(t.c_cflag & CBAUD, entry.code) << "baud " << entry.baud;
        EXPECT_EQ(t.c_cflag & ~CBAUD, static_cast<tcflag_t>(CS8 | CREAD | CLOCAL)) << "baud " << entry.baud;
        close_port(handle);
    }
}

TEST_F(SerialPort, RefusedArgumentsOpenNothing)
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

    for (int32_t id : {0, -1}) {
        for (int32_t baud : {134, 200, 230400, 460800, -1, 1, 9601, INT_MIN, INT_MAX})
            EXPECT_EQ(open_port(id, path, baud, 0, 8, 1.0f, 0, 1024, 1024), 0) << "baud " << baud;
        for (int32_t bits : {4, 9, 0, -8, INT_MIN})
            EXPECT_EQ(open_port(id, path, 9600, 0, bits, 1.0f, 0, 1024, 1024), 0) << "data bits " << bits;
        for (int32_t handshake : {-1, 4, INT_MIN, INT_MAX})
            EXPECT_EQ(open_port(id, path, 9600, 0, 8, 1.0f, handshake, 1024, 1024), 0)
                << "handshake " << handshake;
        EXPECT_EQ(open_driver_settings(id, nullptr), 0);
        EXPECT_EQ(open_driver_settings(id, ""), 0);
        EXPECT_EQ(open_driver_settings(id, "/nonexistent/ttyUSB0"), 0);
        EXPECT_EQ(open_driver_settings(id, "/"), 0);  // a folder cannot be opened for writing
    }
    // Ids that are neither -1 nor a fixed id.
    for (int32_t id : {-2, INT_MIN, max_fixed_port_id + 1, first_port_handle, INT_MAX})
        EXPECT_EQ(open_driver_settings(id, path), 0) << "id " << id;

    EXPECT_EQ(open_fds(), before);
    const termios after_settings = device.settings();
    EXPECT_EQ(std::memcmp(&before_settings, &after_settings, sizeof(termios)), 0);
    // Nothing is left in the table either.
    for (int32_t id : {0, max_fixed_port_id})
        EXPECT_EQ(write_port_text(id, "x"), 0);
    EXPECT_EQ(device.take(1, 50), "");
}

TEST_F(SerialPort, LargestFixedIdIsUsable)
{
    pty_device device;
    ASSERT_GT(open_driver_settings(max_fixed_port_id, device.path.c_str()), 0);
    EXPECT_EQ(write_port_text(max_fixed_port_id, "ok"), 2);
    EXPECT_EQ(device.take(2, 2000), "ok");
    close_port(max_fixed_port_id);
    EXPECT_EQ(write_port_text(max_fixed_port_id, "ok"), 0);
}

TEST_F(SerialPort, StopBitsOtherThanExactlyOneGiveTwo)
{
    pty_device device;
    for (float stop_bits : {1.0f, 1.5f, 2.0f, std::nanf(""), 0.0f, 0.99999994f, -1.0f}) {
        const int32_t handle = open_port(-1, device.path.c_str(), 9600, 0, 8, stop_bits, 0, 1024, 1024);
        ASSERT_GT(handle, 0) << "stop bits " << stop_bits;
        const bool two = (device.settings().c_cflag & CSTOPB) != 0;
        EXPECT_EQ(two, stop_bits != 1.0f) << "stop bits " << stop_bits;
        close_port(handle);
    }
}

TEST_F(SerialPort, ParityAndBufferSizesChangeNothing)
{
    pty_device device;
    ASSERT_GT(open_driver_settings(-1, device.path.c_str()), 0);
    const termios reference = device.settings();
    for (int32_t parity : {0, 1, 2, 256, -1, INT_MIN}) {
        for (int32_t size : {1024, 0, -1}) {
            const int32_t handle = open_port(-1, device.path.c_str(), 9600, parity, 8, 1.0f, 0, size, size);
            ASSERT_GT(handle, 0) << "parity " << parity << " size " << size;
            const termios t = device.settings();
            EXPECT_EQ(std::memcmp(&t, &reference, sizeof(termios)), 0) << "parity " << parity;
            EXPECT_EQ(t.c_cflag & (PARENB | PARODD), 0u);
            close_port(handle);
        }
    }
}

TEST_F(SerialPort, DataBitsAndHandshakes)
{
    pty_device device;
    const char *path = device.path.c_str();
    // A pseudo-terminal always reports 8 data bits, so only acceptance shows.
    for (int32_t bits : {5, 6, 7, 8}) {
        const int32_t handle = open_port(-1, path, 9600, 0, bits, 1.0f, 0, 1024, 1024);
        EXPECT_GT(handle, 0) << "data bits " << bits;
        close_port(handle);
    }

    struct {
        int32_t handshake;
        tcflag_t cflag, iflag;
    } const cases[] = {
        {0, 0x8BD, 0x104},
        {1, 0x8BD, 0x104},
        {2, 0x8BD | CRTSCTS, 0x104},
        {3, 0x8BD, 0x104 | IXON | IXANY | IXOFF},
    };
    for (const auto &c : cases) {
        const int32_t handle = open_port(-1, path, 9600, 0, 8, 1.0f, c.handshake, 1024, 1024);
        ASSERT_GT(handle, 0) << "handshake " << c.handshake;
        const termios t = device.settings();
        EXPECT_EQ(t.c_cflag, c.cflag) << "handshake " << c.handshake;
        EXPECT_EQ(t.c_iflag, c.iflag) << "handshake " << c.handshake;
        close_port(handle);
    }
}

TEST_F(SerialPort, OpenDiscardsUnreadInput)
{
    pty_device device;
    device.send("stale");
    usleep(50000);
    ASSERT_GT(open_driver_settings(0, device.path.c_str()), 0);
    EXPECT_EQ(port_bytes_waiting(0), 0);
    device.send("new\r");
    ASSERT_TRUE(wait_waiting(0, 4, 2000));
    char buffer[16] = {};
    EXPECT_EQ(read_port(0, buffer, sizeof buffer), 4);
    EXPECT_STREQ(buffer, "new\n");
}

TEST_F(SerialPort, CarriageReturnsInAndOut)
{
    pty_device device;
    ASSERT_GT(open_driver_settings(0, device.path.c_str()), 0);

    // From the board: CR arrives as LF, an LF stays LF.
    device.send("512\r7\n");
    ASSERT_TRUE(wait_waiting(0, 6, 2000));
    EXPECT_EQ(port_bytes_waiting(0), 6);
    char buffer[16];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(read_port(0, buffer, 3), 3);  // never more than asked
    EXPECT_EQ(std::string(buffer, 4), "512#");
    EXPECT_EQ(read_port(0, buffer, sizeof buffer), 3);
    EXPECT_EQ(std::string(buffer, 3), "\n7\n");
    EXPECT_EQ(port_bytes_waiting(0), 0);

    // To the board: the bytes as given, CR included, nothing added.
    EXPECT_EQ(write_port_text(0, "1\r", text_format_bytes), 2);
    const std::string sent = device.take(2, 2000);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], 49);
    EXPECT_EQ(sent[1], 13);
    EXPECT_EQ(device.take(1, 50), "");

    // Latin-1 bytes pass unchanged.
    EXPECT_EQ(write_port_text(0, "\xE9\xFB\r"), 3);
    EXPECT_EQ(device.take(3, 2000), "\xE9\xFB\r");
}

TEST_F(SerialPort, WritesThatSendNothing)
{
    pty_device device;
    ASSERT_GT(open_driver_settings(0, device.path.c_str()), 0);
    EXPECT_EQ(write_port_text(0, ""), 0);
    EXPECT_EQ(write_port_text(0, nullptr), 0);
    EXPECT_EQ(write_port_text(0, nullptr, text_format_bytes), 0);
    for (int32_t format : {0, 7, 9, 16, -1, INT_MIN, INT_MAX})
        EXPECT_EQ(write_port_text(0, "AB\r", format), 0) << "format " << format;
    EXPECT_EQ(device.take(1, 100), "");
    // A write without a format sends the bytes.
    EXPECT_EQ(write_port_text(0, "AB\r"), 3);
    EXPECT_EQ(device.take(3, 2000), "AB\r");
}

TEST_F(SerialPort, ReadsWithNothingReceivedReturnAtOnce)
{
    pty_device device;
    ASSERT_GT(open_driver_settings(0, device.path.c_str()), 0);
    char buffer[8];
    std::memset(buffer, '#', sizeof buffer);
    const auto start = steady::now();
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(port_bytes_waiting(0), 0);
        EXPECT_EQ(read_port(0, buffer, sizeof buffer), 0);
    }
    EXPECT_LT(ms_between(start, steady::now()), 1000);

    device.send("xy");
    ASSERT_TRUE(wait_waiting(0, 2, 2000));
    EXPECT_EQ(read_port(0, nullptr, 8), 0);
    EXPECT_EQ(read_port(0, buffer, 0), 0);
    EXPECT_EQ(read_port(0, buffer, -1), 0);
    EXPECT_EQ(read_port(0, buffer, INT_MIN), 0);
    EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(8, '#'));
    EXPECT_EQ(port_bytes_waiting(0), 2);  // the refused reads took nothing
}

TEST_F(SerialPort, FixedIdOpenedTwice)
{
    pty_device first, second;
    const int32_t old_fd = open_driver_settings(0, first.path.c_str());
    ASSERT_GT(old_fd, 0);

    // A failed reopen keeps the old port open and working under the id.
    EXPECT_EQ(open_driver_settings(0, "/nonexistent/ttyUSB0"), 0);
    EXPECT_EQ(open_port(0, second.path.c_str(), 134, 0, 8, 1.0f, 0, 1024, 1024), 0);
    EXPECT_TRUE(fd_is_open(old_fd));
    EXPECT_EQ(write_port_text(0, "A\r"), 2);
    EXPECT_EQ(first.take(2, 2000), "A\r");

    // The successor is opened while the old port is still open, so it cannot
    // get the old descriptor back; the old one is closed afterwards.
    const std::set<int> before = open_fds();
    const int32_t new_fd_ = open_driver_settings(0, second.path.c_str());
    ASSERT_GT(new_fd_, 0);
    EXPECT_NE(new_fd_, old_fd);
    EXPECT_FALSE(fd_is_open(old_fd));
    std::set<int> expected = before;
    expected.erase(old_fd);
    expected.insert(new_fd_);
    EXPECT_EQ(open_fds(), expected);

    EXPECT_EQ(write_port_text(0, "B\r"), 2);
    EXPECT_EQ(second.take(2, 2000), "B\r");
    EXPECT_EQ(first.take(1, 50), "");

    // Reopening the same device under the same id works too.
    const int32_t again = open_driver_settings(0, second.path.c_str());
    ASSERT_GT(again, 0);
    EXPECT_NE(again, new_fd_);
    EXPECT_FALSE(fd_is_open(new_fd_));
    EXPECT_EQ(write_port_text(0, "C\r"), 2);
    EXPECT_EQ(second.take(2, 2000), "C\r");

    close_port(0);
    EXPECT_FALSE(fd_is_open(again));
    EXPECT_EQ(write_port_text(0, "D\r"), 0);
    // The slot is reusable after a close.
    ASSERT_GT(open_driver_settings(0, first.path.c_str()), 0);
    EXPECT_EQ(write_port_text(0, "E\r"), 2);
    EXPECT_EQ(first.take(2, 2000), "E\r");
}

TEST_F(SerialPort, HandlesAreDistinctFromFixedIdsAndVoidAfterClose)
{
    pty_device a, b;
    ASSERT_GT(open_driver_settings(0, a.path.c_str()), 0);
    ASSERT_GT(open_driver_settings(5, b.path.c_str()), 0);

    const std::set<int> before_a = open_fds();
    const int32_t handle_a = open_driver_settings(-1, a.path.c_str());
    const int fd_a = new_fd(before_a, open_fds());
    const std::set<int> before_b = open_fds();
    const int32_t handle_b = open_driver_settings(-1, b.path.c_str());
    const int fd_b = new_fd(before_b, open_fds());
    ASSERT_GT(handle_a, 0);
    ASSERT_GT(handle_b, 0);
    ASSERT_GE(fd_a, 3);
    ASSERT_GE(fd_b, 3);
    EXPECT_NE(handle_a, handle_b);
    // No fixed id a caller can open is ever a handle.
    EXPECT_GT(handle_a, max_fixed_port_id);
    EXPECT_GT(handle_b, max_fixed_port_id);
    EXPECT_TRUE(fcntl(fd_a, F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(fcntl(fd_a, F_GETFL) & O_NONBLOCK);

    // Each name reaches its own device.
    EXPECT_EQ(write_port_text(handle_a, "ha"), 2);
    EXPECT_EQ(write_port_text(handle_b, "hb"), 2);
    EXPECT_EQ(write_port_text(5, "f5"), 2);
    EXPECT_EQ(a.take(2, 2000), "ha");
    EXPECT_EQ(b.take(4, 2000), "hbf5");

    close_port(handle_a);
    EXPECT_FALSE(fd_is_open(fd_a));
    EXPECT_EQ(write_port_text(handle_a, "x"), 0);
    EXPECT_EQ(port_bytes_waiting(handle_a), 0);
    close_port(handle_a);  // closing a void handle again does nothing
    EXPECT_TRUE(fd_is_open(fd_b));
    EXPECT_EQ(write_port_text(handle_b, "y"), 1);
    EXPECT_EQ(write_port_text(0, "z"), 1);
    EXPECT_EQ(b.take(1, 2000), "y");
    EXPECT_EQ(a.take(1, 2000), "z");

    // Many live handles at once stay distinct; closing in any order works.
    std::vector<int32_t> handles;
    for (int i = 0; i < 40; ++i) {
        const int32_t handle = open_driver_settings(-1, a.path.c_str());
        ASSERT_GT(handle, max_fixed_port_id);
        for (int32_t other : handles)
            ASSERT_NE(handle, other);
        EXPECT_NE(handle, handle_b);
        handles.push_back(handle);
    }
    const std::set<int> with_many = open_fds();
    for (size_t i = 1; i < handles.size(); i += 2)
        close_port(handles[i]);
    for (size_t i = 0; i < handles.size(); i += 2)
        close_port(handles[i]);
    EXPECT_EQ(open_fds().size(), with_many.size() - handles.size());
    EXPECT_EQ(write_port_text(handle_b, "still"), 5);
    EXPECT_EQ(b.take(5, 2000), "still");
}

TEST_F(SerialPort, CloseAllPortsClosesHandlesAndFixedIds)
{
    pty_device device;
    const std::set<int> before = open_fds();
    const int32_t h1 = open_driver_settings(-1, device.path.c_str());
    const int32_t h2 = open_driver_settings(-1, device.path.c_str());
    const int32_t fixed = open_driver_settings(3, device.path.c_str());
    ASSERT_GT(h1, 0);
    ASSERT_GT(h2, 0);
    ASSERT_GT(fixed, 0);
    EXPECT_EQ(open_fds().size(), before.size() + 3);

    close_all_ports();
    EXPECT_EQ(open_fds(), before);
    EXPECT_FALSE(fd_is_open(fixed));
    for (int32_t id : {h1, h2, 3})
        EXPECT_EQ(write_port_text(id, "x"), 0) << "id " << id;
    EXPECT_EQ(device.take(1, 50), "");

    close_all_ports();  // nothing left: does nothing
    // The table is usable afterwards.
    ASSERT_GT(open_driver_settings(3, device.path.c_str()), 0);
    EXPECT_EQ(write_port_text(3, "ok"), 2);
    EXPECT_EQ(device.take(2, 2000), "ok");
}

TEST_F(SerialPort, IdsThatNameNoPortDoNothing)
{
    pty_device device, bystander;
    // Open ports that must survive everything below untouched.
    const int32_t fixed_fd = open_driver_settings(2, bystander.path.c_str());
    const int32_t live_handle = open_driver_settings(-1, bystander.path.c_str());
    ASSERT_GT(fixed_fd, 0);
    ASSERT_GT(live_handle, 0);

    const int32_t closed_handle = open_driver_settings(-1, device.path.c_str());
    ASSERT_GT(closed_handle, 0);
    close_port(closed_handle);
    ASSERT_GT(open_driver_settings(7, device.path.c_str()), 0);
    close_port(7);

    device.send("waiting");
    bystander.send("kept");
    usleep(50000);
    const std::set<int> before = open_fds();

    const int32_t ids[] = {0, 1, 7, 15, 16, 1000, max_fixed_port_id, max_fixed_port_id + 1,
                           -1, -2, INT_MIN, INT_MAX, first_port_handle - 1,
                           live_handle + 1, live_handle - 1, closed_handle};
    for (int32_t id : ids) {
        if (id == live_handle)
            continue;
        char buffer[8];
        std::memset(buffer, '#', sizeof buffer);
        EXPECT_EQ(port_bytes_waiting(id), 0) << "id " << id;
        EXPECT_EQ(read_port(id, buffer, sizeof buffer), 0) << "id " << id;
        EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(8, '#')) << "id " << id;
        EXPECT_EQ(write_port_text(id, "no\r"), 0) << "id " << id;
        close_port(id);
    }

    EXPECT_EQ(open_fds(), before);
    EXPECT_EQ(device.take(1, 50), "");
    EXPECT_EQ(bystander.take(1, 50), "");
    int unread = 0;
    ioctl(bystander.slave, FIONREAD, &unread);
    EXPECT_EQ(unread, 4);  // nothing read the bystander's input
    EXPECT_EQ(write_port_text(2, "f"), 1);
    EXPECT_EQ(write_port_text(live_handle, "h"), 1);
    EXPECT_EQ(bystander.take(2, 2000), "fh");
}

TEST_F(SerialPort, OnlyATerminalOrAFifoIsAPort)
{
    char folder[] = "/tmp/serial-kind-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string file = std::string(folder) + "/file", fifo = std::string(folder) + "/fifo";
    const int fd = open(file.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    close(fd);
    for (const char *path : {"/dev/null", "/dev/zero", static_cast<const char *>(folder), file.c_str()})
        EXPECT_EQ(open_driver_settings(-1, path), 0) << path;
    struct stat info {};
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 0);

    // A FIFO opens; the line settings cannot be applied, which the open
    // does not examine.
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int32_t handle = open_driver_settings(-1, fifo.c_str());
    ASSERT_GT(handle, 0);
    EXPECT_EQ(port_bytes_waiting(handle), 0);
    char buffer[4];
    EXPECT_EQ(read_port(handle, buffer, sizeof buffer), 0);
    EXPECT_EQ(write_port_text(handle, "abc"), 3);
    EXPECT_EQ(port_bytes_waiting(handle), 3);
    close_port(handle);
    unlink(fifo.c_str());
    unlink(file.c_str());
    rmdir(folder);
}

TEST_F(SerialPort, VanishedDeviceGivesZeroWithoutWaiting)
{
    pty_device device;
    const int32_t fd = open_driver_settings(0, device.path.c_str());
    ASSERT_GT(fd, 0);
    const int32_t handle = open_driver_settings(-1, device.path.c_str());
    ASSERT_GT(handle, 0);
    device.hang_up();

    const auto start = steady::now();
    for (int32_t id : {0, handle}) {
        for (int i = 0; i < 10; ++i) {
            char buffer[8];
            EXPECT_EQ(port_bytes_waiting(id), 0);
            EXPECT_EQ(read_port(id, buffer, sizeof buffer), 0);
            EXPECT_EQ(write_port_text(id, "SBA1\r"), 0);
        }
    }
    EXPECT_LT(ms_between(start, steady::now()), 2000);
    close_port(handle);
    close_port(0);
    EXPECT_FALSE(fd_is_open(fd));
}

// Descriptors 0, 1 and 2 are never a port's: descriptor 0 would count as a
// closed slot, and 1 or 2 would receive the host's output.
TEST(SerialPortDescriptors, NeverTheStandardOnes)
{
    const child_result child = run_in_child([] {
        init_port_table();
        pty_device device;
        const int saved_out = fcntl(1, F_DUPFD_CLOEXEC, 10);
        const int saved_err = fcntl(2, F_DUPFD_CLOEXEC, 10);
        close(0);
        close(1);
        close(2);
        const int32_t fd = open_driver_settings(0, device.path.c_str());
        const int32_t handle = open_driver_settings(-1, device.path.c_str());
        const bool standard_free = !fd_is_open(0) && !fd_is_open(1) && !fd_is_open(2);
        const bool cloexec = fd > 0 && (fcntl(fd, F_GETFD) & FD_CLOEXEC);
        const int32_t written = write_port_text(0, "0") + write_port_text(handle, "h");
        dup2(saved_out, 1);
        dup2(saved_err, 2);

        EXPECT_GE(fd, 3);
        EXPECT_GT(handle, 0);
        EXPECT_TRUE(standard_free);
        EXPECT_TRUE(cloexec);
        EXPECT_EQ(written, 2);
        EXPECT_EQ(device.take(2, 2000), "0h");
        close_all_ports();
    });
    EXPECT_EQ(child.exit_code, 0);
}

}  // namespace
