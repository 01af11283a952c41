// The waits of the serial layer: asleep until a byte, room or the deadline.
// Each case runs in a child, so this process never reads the layer's clock
// (see tests/posix/clock_test.cpp).
#include <chrono>
#include <gtest/gtest.h>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

#include "child.h"
#include "protocol/board_line.h"
#include "pty_pair.h"
#include "serial/serial_port.h"

namespace {

using steady = std::chrono::steady_clock;

long long ms_since_point(steady::time_point from)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - from).count();
}

double cpu_ms()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec * 1e3 + usage.ru_utime.tv_usec / 1e3 + usage.ru_stime.tv_sec * 1e3 +
           usage.ru_stime.tv_usec / 1e3;
}

// A pty whose slave the layer opens as `port`; the test plays the board on the master.
struct line_under_test : pty_pair {
    serial_port port;
    line_under_test()
    {
        port = serial_port::open(path.c_str(), driver_line).port;
        if (!port.is_open())
            throw std::runtime_error("open_serial_port failed");
    }
    ~line_under_test() { port.close(); }
    // Reads what the port wrote until nothing more comes.
    std::string drain_master()
    {
        std::string got;
        char buffer[4096];
        ssize_t n;
        while ((n = read(master, buffer, sizeof buffer)) > 0)
            got.append(buffer, static_cast<size_t>(n));
        return got;
    }
};

TEST(Waits, ReadableSleepsUntilTheByteOrTheDeadline)
{
    const child_result child = run_in_child([] {
        line_under_test line;
        // Silent: false once the limit passed, costing next to no CPU.
        const double cpu_before = cpu_ms();
        auto start = steady::now();
        EXPECT_FALSE(line.port.wait_readable(deadline_after(300)));
        EXPECT_GE(ms_since_point(start), 300);
        EXPECT_LT(ms_since_point(start), 3000);
        EXPECT_LT(cpu_ms() - cpu_before, 100.0);

        // A byte that comes later ends the wait when it comes.
        std::thread board([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            EXPECT_EQ(write(line.master, "7", 1), 1);
        });
        start = steady::now();
        EXPECT_TRUE(line.port.wait_readable(deadline_after(5000)));
        EXPECT_LT(ms_since_point(start), 3000);
        board.join();
        // Once the deadline passed, even a byte already there does not count:
        // a board that floods cannot keep a wait going.
        EXPECT_TRUE(line.port.wait_readable(deadline_after(0)));
        EXPECT_FALSE(line.port.wait_readable(deadline{deadline_after(0).start_ms, -1}));

        // No port, or a board gone: no byte can come, so false at once.
        start = steady::now();
        serial_port none;
        EXPECT_FALSE(none.wait_readable(deadline_after(2000)));
        EXPECT_FALSE(none.wait_writable(deadline_after(2000)));
        char byte;
        EXPECT_EQ(line.port.read(&byte, 1), 1);
        close(line.master);
        line.master = -1;
        EXPECT_FALSE(line.port.wait_readable(deadline_after(2000)));
        EXPECT_LT(ms_since_point(start), 1000);
    });
    EXPECT_EQ(child.exit_code, 0);
}

TEST(Waits, WritesWaitForRoomUntilTheDeadline)
{
    const child_result child = run_in_child([] {
        line_under_test line;
        // Fill the device until it takes nothing more, even after a while (a
        // pty moves what it holds between its buffers a little later).
        const std::string block(512, 'x');
        const auto fill = [&] {
            size_t filled = 0;
            for (int refused = 0; refused < 3;) {
                const size_t n = line.port.write_some(block.data(), block.size(), deadline_after(-1));
                if (n > 0) {
                    filled += static_cast<size_t>(n);
                    refused = 0;
                } else {
                    ++refused;
                    usleep(50000);
                }
            }
            return filled;
        };
        size_t filled = fill();
        ASSERT_GT(filled, 0u);

        // Nobody reads: nothing goes out, and the write ends at its deadline.
        const std::string sa = "SA3255\r", sb = "SBA1\r";
        auto start = steady::now();
        EXPECT_EQ(line.port.write_some(sa.data(), sa.size(), deadline_after(200)), 0u);
        EXPECT_GE(ms_since_point(start), 200);
        EXPECT_EQ(line.drain_master(), std::string(filled, 'x'));

        // A reader that makes room late: the bytes wait and go out.
        filled = fill();
        std::string seen;
        std::thread board([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            for (int i = 0; i < 100 && seen.find('\r') == std::string::npos; ++i) {
                seen += line.drain_master();
                usleep(10000);
            }
        });
        start = steady::now();
        EXPECT_EQ(line.port.write_some(sb.data(), sb.size(), deadline_after(3000)), 5u);
        EXPECT_GE(ms_since_point(start), 100);
        board.join();
        EXPECT_EQ(seen, std::string(filled, 'x') + "SBA1\r");

        // A board gone: the write gives up at once.
        close(line.master);
        line.master = -1;
        start = steady::now();
        EXPECT_EQ(line.port.write_some(sb.data(), sb.size(), deadline_after(2000)), 0u);
        EXPECT_LT(ms_since_point(start), 1000);
    });
    EXPECT_EQ(child.exit_code, 0);
}

}  // namespace
