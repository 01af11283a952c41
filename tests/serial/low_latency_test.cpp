// The low-latency request at open. The program is linked with
// --wrap=ioctl: every ioctl of the serial layer comes here first, is
// counted, and goes on to the system, except the serial-driver requests,
// which a test may answer as a USB-serial adapter's driver would.
#include <cerrno>
#include <cstdarg>
#include <gtest/gtest.h>
#include <linux/serial.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "protocol/board_line.h"
#include "pty_pair.h"
#include "serial/serial_port.h"

namespace {

struct serial_driver_fake {
    bool present = false;      // answer TIOCGSERIAL as an adapter's driver
    int flags = 0;             // the flags it reports
    int set_error = 0;         // errno for TIOCSSERIAL, 0 to take it
    int gets = 0, get_failures = 0, sets = 0;
    serial_struct last_set{};
};
serial_driver_fake adapter;

}  // namespace

extern "C" int __real_ioctl(int fd, unsigned long request, ...);

extern "C" int __wrap_ioctl(int fd, unsigned long request, ...)
{
    va_list arguments;
    va_start(arguments, request);
    void *argument = va_arg(arguments, void *);
    va_end(arguments);
    auto *serial = static_cast<serial_struct *>(argument);
    if (request == TIOCGSERIAL) {
        ++adapter.gets;
        if (adapter.present) {
            *serial = serial_struct{};
            serial->type = PORT_16550A;
            serial->xmit_fifo_size = 16;
            serial->flags = adapter.flags;
            return 0;
        }
        const int result = __real_ioctl(fd, request, argument);
        adapter.get_failures += result != 0;
        return result;
    }
    if (request == TIOCSSERIAL) {
        ++adapter.sets;
        adapter.last_set = *serial;
        if (adapter.present) {
            errno = adapter.set_error;
            return adapter.set_error == 0 ? 0 : -1;
        }
    }
    return __real_ioctl(fd, request, argument);
}

namespace {

class LowLatencyAtOpen : public ::testing::Test {
protected:
    pty_pair line;
    serial_port port;

    void SetUp() override { adapter = serial_driver_fake{}; }
    void TearDown() override { port.close(); }
    bool open_at_9600()
    {
        port.close();
        port = serial_port::open(line.path.c_str(), driver_line).port;
        return port.is_open();
    }
    size_t write_now(const std::string &bytes) { return port.write_some(bytes.data(), bytes.size(), deadline{0, 0}); }
};

TEST_F(LowLatencyAtOpen, PtyRefusesTheRequestAndWorksAsBefore)
{
    ASSERT_TRUE(open_at_9600());
    EXPECT_EQ(adapter.gets, 1);
    EXPECT_EQ(adapter.get_failures, 1);
    EXPECT_EQ(adapter.sets, 0);
    termios applied{};
    ASSERT_EQ(tcgetattr(line.slave, &applied), 0);
    EXPECT_EQ(applied.c_iflag, static_cast<tcflag_t>(IGNPAR | ICRNL));
    EXPECT_EQ(cfgetispeed(&applied), static_cast<speed_t>(B9600));
    EXPECT_EQ(write_now("EA0\r"), 4u);
    char got[8] = {};
    pollfd ready{line.master, POLLIN, 0};
    ASSERT_EQ(poll(&ready, 1, 5000), 1);  // the master does not block: wait for the line
    EXPECT_EQ(read(line.master, got, sizeof got), 4);
    EXPECT_STREQ(got, "EA0\r");
}

TEST_F(LowLatencyAtOpen, AdapterGetsLowLatencyWithItsOtherSettingsKept)
{
    adapter.present = true;
    adapter.flags = ASYNC_SKIP_TEST;
    ASSERT_TRUE(open_at_9600());
    ASSERT_EQ(adapter.sets, 1);
    EXPECT_EQ(adapter.last_set.flags, ASYNC_SKIP_TEST | ASYNC_LOW_LATENCY);
    EXPECT_EQ(adapter.last_set.type, PORT_16550A);
    EXPECT_EQ(adapter.last_set.xmit_fifo_size, 16);
}

TEST_F(LowLatencyAtOpen, AdapterAlreadyLowLatencyOrRefusingStillOpens)
{
    adapter.present = true;
    adapter.flags = ASYNC_LOW_LATENCY;
    ASSERT_TRUE(open_at_9600());
    EXPECT_EQ(adapter.sets, 0);

    adapter.flags = 0;
    adapter.set_error = EPERM;
    ASSERT_TRUE(open_at_9600());
    EXPECT_EQ(adapter.sets, 1);
    EXPECT_EQ(write_now("SB01\r"), 5u);
}

}  // namespace
