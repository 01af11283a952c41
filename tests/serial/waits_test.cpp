// The waits of the serial layer: asleep until a byte, room or the deadline.
// Each case runs in a child, so this process never reads the layer's clock
// (see clock_test.cpp).
#include <chrono>
#include <gtest/gtest.h>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

#include "child.h"
#include "pty_pair.h"
#include "serial/board_line.h"
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

// A pty whose slave the layer opens as port 0; the test plays the board on the master.
struct line_under_test : pty_pair {
    line_under_test()
    {
        init_port_table();
        if (open_port_with(0, path.c_str(), driver_line) == 0)
            throw std::runtime_error("open_port failed");
    }
    ~line_under_test() { free_port_table(); }
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
        EXPECT_FALSE(wait_port_readable(0, deadline_after(300)));
        EXPECT_GE(ms_since_point(start), 300);
        EXPECT_LT(ms_since_point(start), 3000);
        EXPECT_LT(cpu_ms() - cpu_before, 100.0);

        // A byte that comes later ends the wait when it comes.
        std::thread board([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            EXPECT_EQ(write(line.master, "7", 1), 1);
        });
        start = steady::now();
        EXPECT_TRUE(wait_port_readable(0, deadline_after(5000)));
        EXPECT_LT(ms_since_point(start), 3000);
        board.join();
        // Once the deadline passed, even a byte already there does not count:
        // a board that floods cannot keep a wait going.
        EXPECT_TRUE(wait_port_readable(0, deadline_after(0)));
        EXPECT_FALSE(wait_port_readable(0, deadline{deadline_after(0).start_ms, -1}));

        // No port, or a board gone: no byte can come, so false at once.
        start = steady::now();
        EXPECT_FALSE(wait_port_readable(5, deadline_after(2000)));
        EXPECT_FALSE(wait_port_writable(5, deadline_after(2000)));
        char byte;
        EXPECT_EQ(read_port(0, &byte, 1), 1);
        close(line.master);
        line.master = -1;
        EXPECT_FALSE(wait_port_readable(0, deadline_after(2000)));
        EXPECT_LT(ms_since_point(start), 1000);
    });
    EXPECT_EQ(child.exit_code, 0);
}

TEST(Waits, WholeLinesWaitForRoomAndAreNeverCut)
{
    const child_result child = run_in_child([] {
        line_under_test line;
        // Fill the device until it takes nothing more, even after a while (a
        // pty moves what it holds between its buffers a little later).
        const std::string block(512, 'x');
        const auto fill = [&] {
            size_t filled = 0;
            for (int refused = 0; refused < 3;) {
                const int32_t n = write_port_text(0, block.c_str());
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

        // Nobody reads: the line is dropped whole once its limit passed.
        auto start = steady::now();
        EXPECT_EQ(write_port_whole(0, "SA3255\r", deadline_after(200)), 0);
        EXPECT_GE(ms_since_point(start), 200);
        EXPECT_EQ(line.drain_master(), std::string(filled, 'x'));

        // A reader that makes room late: the line waits and goes out whole.
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
        EXPECT_EQ(write_port_whole(0, "SBA1\r", deadline_after(3000)), 5);
        EXPECT_GE(ms_since_point(start), 100);
        board.join();
        EXPECT_EQ(seen, std::string(filled, 'x') + "SBA1\r");

        // A board gone: the write gives up at once.
        close(line.master);
        line.master = -1;
        start = steady::now();
        EXPECT_EQ(write_port_whole(0, "SBA1\r", deadline_after(2000)), 0);
        EXPECT_LT(ms_since_point(start), 1000);
    });
    EXPECT_EQ(child.exit_code, 0);
}

}  // namespace
