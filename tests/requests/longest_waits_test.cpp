// The longest time of each family of requests, as the header's TIMING gives
// it, on the worst line there is: a board that sends line ends without end
// and never reads, so the device's buffer stays full. Each wait then runs to
// its limit: discarding what waits, room for the command line, the answer.
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <thread>
#include <unistd.h>

#include "child.h"
#include "driver_loader.h"
#include "driver_session.h"
#include "request_helpers.h"

namespace {

// The header's longest times, in ms.
constexpr double longest_analog_input_ms = 4010;
constexpr double longest_digital_input_ms = 4000;
constexpr double longest_output_ms = 2000;
// What each request spends on this line at least: the line finds no room
// and the answer never comes. (Discarding what waits ends early whenever the
// kernel has not yet handed on the flood's next bytes, and a line the device
// takes in part gets up to 1000 ms more: both only stretch a request.)
constexpr double least_analog_input_ms = 2000;  // room, answer
constexpr double least_digital_input_ms = 1000;  // room: a line that found none asks nothing
constexpr double least_output_ms = 1000;
// A shared machine, an emulator, sanitizers.
constexpr double margin_ms = 2000;
constexpr double early_ms = 100;

// The device at TEST_DEVICE_FOLDER/ttyUSB0: a pty whose board side is never
// read, and which floods the driver's side with line ends.
class flooding_full_line {
public:
    flooding_full_line()
    {
        char name[128];
        if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty failed");
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
        unlink(link_.c_str());
        if (symlink(name, link_.c_str()) != 0)
            throw std::runtime_error("symlink failed: " + link_);
    }
    ~flooding_full_line()
    {
        stop_ = true;
        if (flood_.joinable())
            flood_.join();
        unlink(link_.c_str());
        close(slave_);
        close(master_);
    }
    flooding_full_line(const flooding_full_line &) = delete;
    flooding_full_line &operator=(const flooding_full_line &) = delete;

    // Fills the device's output until it takes nothing more, then floods.
    // Call after the load: opening the port sets the line raw.
    void fill_and_flood()
    {
        fcntl(slave_, F_SETFL, fcntl(slave_, F_GETFL) | O_NONBLOCK);
        const std::string filler(4096, 'f');
        // The kernel moves what was written along its buffers a little
        // later: full is when a pause brings no more room.
        for (int quiet_rounds = 0; quiet_rounds < 3;) {
            bool took = false;
            while (write(slave_, filler.data(), filler.size()) > 0)
                took = true;
            quiet_rounds = took ? 0 : quiet_rounds + 1;
            usleep(20000);
        }
        flood_ = std::thread([this] {
            const std::string line_ends(4096, '\n');
            while (!stop_) {
                pollfd room{master_, POLLOUT, 0};
                if (poll(&room, 1, 10) > 0)
                    (void)!write(master_, line_ends.data(), line_ends.size());
            }
        });
    }

private:
    const std::string link_ = std::string(TEST_DEVICE_FOLDER) + "/ttyUSB0";
    int master_ = -1, slave_ = -1;
    std::atomic<bool> stop_{false};
    std::thread flood_;
};

void expect_within(const char *call, double took, double least, double longest)
{
    std::printf("%-12s %7.0f ms (header: at most %.0f)\n", call, took, longest);
    EXPECT_GE(took, least - early_ms) << call << ": the line was not the worst, or a wait was cut short";
    EXPECT_LT(took, longest + margin_ms) << call << " took longer than the header says";
}

TEST(LongestWaits, EveryFamilyAgainstAFloodingBoardOnAFullDevice)
{
    const child_result child = run_in_child(
        [] {
            flooding_full_line line;
            loaded_driver driver(TEST_LIBRARY_USB0);
            const request_exports call(driver);
            line.fill_and_flood();

            int raw = -1;
            expect_within("ea", time_ms([&] { raw = call.ea(0); }), least_analog_input_ms, longest_analog_input_ms);
            EXPECT_EQ(raw, 0);
            double volts = -1.0;
            expect_within("ead", time_ms([&] { volts = call.ead(1); }), least_analog_input_ms, longest_analog_input_ms);
            EXPECT_EQ(volts, 0.0);
            int level = -1;
            expect_within("eb", time_ms([&] { level = call.eb(0); }), least_digital_input_ms, longest_digital_input_ms);
            EXPECT_EQ(level, 0);
            expect_within("sa", time_ms([&] { EXPECT_EQ(call.sa(0, 200), 100); }), least_output_ms, longest_output_ms);
            expect_within("sad", time_ms([&] { EXPECT_EQ(call.sad(0, 2.5), 64.0); }), least_output_ms, longest_output_ms);
            expect_within("sb", time_ms([&] { EXPECT_EQ(call.sb(0, 1), 1); }), least_output_ms, longest_output_ms);
        },
        120000, true);
    std::fputs(child.out.c_str(), stdout);
    EXPECT_EQ(child.exit_code, 0);
}

}  // namespace
