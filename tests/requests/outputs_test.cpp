// sa, sad, rsa and rsad against a fake board: the exact line of each set, the
// half value returned, and the read-back tables.
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <string>
#include <unistd.h>

#include "driver_session.h"
#include "pty_pair.h"
#include "wire_of.h"

namespace {

DRIVER_TEST(AnalogOutputs, RawValuesAndReadBack)
{
    for (int channel = 0; channel <= 8; ++channel) {
        EXPECT_EQ(rsa(channel), 0) << "channel " << channel;
        EXPECT_EQ(rsad(channel), 0.0) << "channel " << channel;
    }

    struct {
        int channel, value;
        const char *wire;
        int half;
    } const cases[] = {
        {0, 255, "SA3255\r", 127},
        {3, 0, "SA90\r", 0},
        {2, -7, "SA6-7\r", -3},
        {1, 128, "SA5128\r", 64},
        {2, -1, "SA6-1\r", 0},
        {1, -3, "SA5-3\r", -1},
        {1, 1, "SA51\r", 0},
        {0, 1000, "SA31000\r", 500},
        {0, INT_MIN, "SA3-2147483648\r", -1073741824},
        {3, INT_MAX, "SA92147483647\r", 1073741823},
        // Channels 4 to 8 are stored but have no pin: nothing is sent.
        {4, 100, "", 50},
        {8, -9, "", -4},
    };
    for (const auto &c : cases) {
        int half = 0;
        EXPECT_EQ(wire_of(board, digital_marker(sb), [&] { half = sa(c.channel, c.value); }), c.wire)
            << "sa(" << c.channel << ", " << c.value << ")";
        EXPECT_EQ(half, c.half);
        EXPECT_EQ(rsa(c.channel), c.value);
        EXPECT_EQ(rsad(c.channel), 0.0);
    }

    // No entry: nothing sent, nothing stored, read-backs give 0.
    for (int channel : {-1, 9, INT_MIN, INT_MAX}) {
        int half = 0;
        EXPECT_EQ(wire_of(board, digital_marker(sb), [&] { half = sa(channel, 255); }), "") << "channel " << channel;
        EXPECT_EQ(half, 127);
        EXPECT_EQ(rsa(channel), 0);
        EXPECT_EQ(rsad(channel), 0.0);
    }
    EXPECT_EQ(rsa(0), INT_MIN);
    EXPECT_EQ(rsa(4), 100);
}

DRIVER_TEST(AnalogOutputs, VoltsRoundedAndStoredAsPassed)
{
    const double inf = std::numeric_limits<double>::infinity();
    struct {
        int channel;
        double volts;
        const char *wire;
        double half;
        int raw;
    } const cases[] = {
        {1, 2.5, "SA5128\r", 64.0, 128},
        {0, 0.0, "SA30\r", 0.0, 0},
        {0, -0.0, "SA30\r", 0.0, 0},
        {0, 5.0, "SA3255\r", 127.0, 255},
        {2, 1.0, "SA651\r", 25.0, 51},
        {3, 6.0, "SA9306\r", 153.0, 306},
        {3, -1.0, "SA9-51\r", -25.0, -51},
        // -0.51 goes away from zero.
        {0, -0.01, "SA3-1\r", 0.0, -1},
        // Within single-precision rounding of a half: rounded as the half.
        {0, 0.49999999999999 * 5.0 / 255.0, "SA31\r", 0.0, 1},
        {2, 4.2e7, "SA62142000000\r", 1071000000.0, 2142000000},
        // Outside the 32-bit range or not a number: the most negative value.
        {0, 4.3e7, "SA3-2147483648\r", -1073741824.0, INT_MIN},
        {0, -4.3e7, "SA3-2147483648\r", -1073741824.0, INT_MIN},
        {1, 1e300, "SA5-2147483648\r", -1073741824.0, INT_MIN},
        {1, inf, "SA5-2147483648\r", -1073741824.0, INT_MIN},
        {2, -inf, "SA6-2147483648\r", -1073741824.0, INT_MIN},
        // Stored but not sent.
        {5, 2.5, "", 64.0, 128},
    };
    for (const auto &c : cases) {
        double half = 0.0;
        EXPECT_EQ(wire_of(board, digital_marker(sb), [&] { half = sad(c.channel, c.volts); }), c.wire)
            << "sad(" << c.channel << ", " << c.volts << ")";
        EXPECT_EQ(half, c.half);
        EXPECT_EQ(rsa(c.channel), c.raw);
        EXPECT_EQ(rsad(c.channel), c.volts);
        EXPECT_EQ(std::signbit(rsad(c.channel)), std::signbit(c.volts));
    }

    const double nan = std::numeric_limits<double>::quiet_NaN();
    double half = 0.0;
    EXPECT_EQ(wire_of(board, digital_marker(sb), [&] { half = sad(3, nan); }), "SA9-2147483648\r");
    EXPECT_EQ(half, -1073741824.0);
    EXPECT_EQ(rsa(3), INT_MIN);
    EXPECT_TRUE(std::isnan(rsad(3)));

    // sa changes the raw entry only: the volts stay what sad was given.
    EXPECT_EQ(wire_of(board, digital_marker(sb), [&] { sad(0, 1.0); }), "SA351\r");
    EXPECT_EQ(wire_of(board, digital_marker(sb), [&] { sa(0, 200); }), "SA3200\r");
    EXPECT_EQ(rsad(0), 1.0);
    EXPECT_EQ(rsa(0), 200);

    for (int channel : {-1, 9, INT_MIN, INT_MAX}) {
        EXPECT_EQ(wire_of(board, digital_marker(sb), [&] { half = sad(channel, 2.5); }), "") << "channel " << channel;
        EXPECT_EQ(half, 64.0);
        EXPECT_EQ(rsa(channel), 0);
        EXPECT_EQ(rsad(channel), 0.0);
    }
    EXPECT_EQ(rsad(5), 2.5);
}

// A device that stops reading: its buffer fills, then each output call
// waits for room within its bound and drops its line whole. What reached
// the device is whole lines only, and the port works again once read.
TEST(Outputs, ADeviceThatStopsReadingGetsWholeLinesOrNone)
{
    const child_result child = run_in_child(
        [] {
            pty_pair device;
            const std::string link = std::string(TEST_DEVICE_FOLDER) + "/ttyUSB0";
            unlink(link.c_str());
            ASSERT_EQ(symlink(device.path.c_str(), link.c_str()), 0);
            loaded_driver driver(TEST_LIBRARY_USB0);
            auto sa = GET_EXPORT(driver, sa);
            auto sb = GET_EXPORT(driver, sb);

            using steady = std::chrono::steady_clock;
            long long slowest_ms = 0;
            int calls = 0;
            while (slowest_ms < 500 && calls < 100000) {
                const auto start = steady::now();
                EXPECT_EQ(sa(0, 255), 127);
                slowest_ms = std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - start).count();
                ++calls;
            }
            EXPECT_LT(calls, 100000) << "the device never filled";
            EXPECT_GE(slowest_ms, 900);
            EXPECT_LT(slowest_ms, 5000);
            EXPECT_EQ(sb(0, 1), 1);

            std::string wire;
            char buffer[4096];
            for (ssize_t n; (n = read(device.master, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR);)
                if (n > 0)
                    wire.append(buffer, static_cast<size_t>(n));
            // Whole lines, in order. A line the device took only in part (a pty
            // takes what fits) stands alone, ended by the next line's CR, and
            // is never glued to the next command.
            size_t at = 0;
            for (size_t end; (end = wire.find('\r', at)) != std::string::npos; at = end + 1) {
                const std::string got = wire.substr(at, end - at);
                ASSERT_TRUE(std::string("SA3255").starts_with(got) || (got == "SBA1" && end + 1 == wire.size()))
                    << "line " << got;
            }
            const std::string rest = wire.substr(at);
            EXPECT_TRUE(std::string("SA3255").starts_with(rest) || std::string("SBA1").starts_with(rest)) << rest;

            // Room again: the next line goes out at once, whole.
            EXPECT_EQ(sb(1, 1), 1);
            std::string after;
            for (int i = 0; i < 200 && after.size() < 5; ++i) {
                const ssize_t n = read(device.master, buffer, sizeof buffer);
                if (n > 0)
                    after.append(buffer, static_cast<size_t>(n));
                else
                    usleep(5000);
            }
            const size_t first = after.find_first_not_of('\r');
            EXPECT_EQ(first == std::string::npos ? after : after.substr(first), "SBB1\r");
            unlink(link.c_str());
        },
        60000);
    EXPECT_EQ(child.exit_code, 0);
}

}  // namespace
