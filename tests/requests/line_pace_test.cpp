// Requests against a board on a real-speed line: its answers arrive byte by
// byte, the LF of a CR LF still on the wire when an analog answer is in, and
// it takes the driver's lines no faster than the line carries them.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <poll.h>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "driver_session.h"
#include "protocol/board_channels.h"

namespace {

constexpr int line_baud = 9600;
constexpr int analog_inputs = analog_input_count;
constexpr const int32_t (&pwm_pins)[channels_of_each_kind] = pwm_output_pins;

// Readings that tell each channel apart, and inputs of both levels.
sketch_pins distinct_pins()
{
    sketch_pins pins;
    for (int channel = 0; channel < analog_inputs; ++channel)
        pins.analog[channel] = static_cast<uint16_t>(101 * channel + 7);
    pins.input_high[4] = pins.input_high[8] = true;
    return pins;
}

DRIVER_TEST(LinePace, RequestRightAfterAnAnalogAnswer)
{
    const sketch_pins pins = distinct_pins();
    board.answer_as_sketch(pins);
    board.pace_like_line(line_baud);
    for (int round = 0; round < 10; ++round) {
        // The LF of ea's answer is on its way when eb writes: it is not
        // eb's answer, and eb's own byte is not the next analog answer.
        EXPECT_EQ(ea(3), 310) << "round " << round;
        EXPECT_EQ(eb(0), 0) << "round " << round;  // pin 2, low
        EXPECT_EQ(ea(5), 512) << "round " << round;
        EXPECT_EQ(eb(1), 1) << "round " << round;  // pin 4, high
        EXPECT_EQ(ead(1), 108 * 5.0 / 1024.0) << "round " << round;
        EXPECT_EQ(eb(2), 0) << "round " << round;  // pin 7, low
    }
}

DRIVER_TEST(LinePace, AnswersThatTrickleIn)
{
    // 300 baud: 33 ms a character, an analog answer takes over 150 ms.
    board.pace_like_line(300);
    board.respond_with([](const std::string &line) {
        if (line.rfind("EA", 0) == 0)
            return board_reply{"  1023 \r\n", 20};
        if (line.rfind("EB", 0) == 0)
            return board_reply{std::string(1, line == "EB8" ? '\x01' : '\0'), 20};
        return board_reply{};
    });
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(ea(0), 1023) << "round " << round;
        EXPECT_EQ(eb(0), 0) << "round " << round;
        EXPECT_EQ(ea(1), 1023) << "round " << round;
        EXPECT_EQ(eb(3), 1) << "round " << round;
        EXPECT_EQ(ead(2), 1023 * 5.0 / 1024.0) << "round " << round;
    }
    board.answer_as_sketch(distinct_pins());
    EXPECT_EQ(ea(4), 411);
    EXPECT_EQ(eb(1), 1);
}

// A burst of outputs fills the device's buffer: every line reaches the
// board whole and in order, none lost, none cut and glued to the next.
// The board reads at 38400 baud: a pty frees room in steps of about 1 KB,
// which at 9600 baud come further apart than a driver may wait for room,
// and than a real device's steps of a few dozen bytes ever do.
DRIVER_TEST_WITHIN(LinePace, OutputsFasterThanTheLine, 120000)
{
    board.answer_as_sketch(sketch_pins());
    board.pace_like_line(38400);
    constexpr int calls = 5000;  // some 30 KB, more than the pty's 20 KB
    std::string expected;
    for (int i = 0; i < calls; ++i) {
        const int channel = (i / 2) % 4;
        if (i % 2 == 0) {
            const int value = i % 256;
            EXPECT_EQ(sa(channel, value), value / 2);
            expected += "SA" + std::to_string(pwm_pins[channel]) + std::to_string(value) + "\r";
        } else {
            const int level = (i / 2) % 2;
            EXPECT_EQ(sb(channel, level), level);
            expected += std::string("SB") + "ABCD"[channel] + std::to_string(level) + "\r";
        }
    }
    // What the device still holds may now reach the board at once.
    board.pace_like_line(0);
    board.wait_received(expected.size(), 10000);
    const std::vector<std::string> got = command_lines(board.received());
    const std::vector<std::string> sent = command_lines(expected);
    EXPECT_EQ(got.size(), sent.size()) << "lines lost";
    for (size_t i = 0; i < std::min(got.size(), sent.size()); ++i)
        if (got[i] != sent[i]) {
            ADD_FAILURE() << "line " << i << " is \"" << got[i] << "\", sent \"" << sent[i] << "\"";
            break;
        }
    // The board applied the last of each.
    const sketch_pins seen = board.pins();
    for (int channel = 0; channel < 4; ++channel)
        EXPECT_EQ(seen.pwm_duty[pwm_pins[channel]], rsa(channel)) << "channel " << channel;
    for (int channel = 0; channel < 4; ++channel)
        EXPECT_EQ(seen.output_level[digital_output_pins[channel]], rsb(channel)) << "channel " << channel;
}

// A device that stops reading with part of a line taken (a pty takes what
// fits) and reads again a little after the call's 1000 ms: the line goes on
// whole. Lines dropped whole while the device was full are allowed; a piece
// glued to the next line ("SBSBA1") never.
DRIVER_TEST_WITHIN(LinePace, DeviceThatStallsMidLineGetsNoCutLine, 120000)
{
    using steady = std::chrono::steady_clock;
    board.pace_like_line(1);  // a character every 10 s: the device has stopped
    std::mutex mutex;
    std::condition_variable changed;
    bool calls_done = false;
    steady::time_point call_started = steady::time_point::max();
    // Reads again once a call has waited 1500 ms on a full device (a call
    // slow for other reasons on a busy machine does not count).
    std::thread resume([&] {
        std::unique_lock<std::mutex> lock(mutex);
        while (!calls_done) {
            const steady::time_point call = call_started;
            if (call == steady::time_point::max() || steady::now() < call + std::chrono::milliseconds(1500)) {
                changed.wait_until(lock, std::min(call, steady::now() + std::chrono::hours(1)) +
                                             std::chrono::milliseconds(1500));
                continue;
            }
            pollfd room{board.slave_fd(), POLLOUT, 0};
            if (poll(&room, 1, 0) == 0)
                break;
            changed.wait(lock, [&] { return calls_done || call_started != call; });
        }
        board.pace_like_line(0);
    });
    std::string sent;
    for (int i = 0; i < 100000; ++i) {
        const auto start = steady::now();
        {
            std::lock_guard<std::mutex> lock(mutex);
            call_started = start;
        }
        changed.notify_all();
        sb(i % 4, 1);
        sent += std::string("SB") + "ABCD"[i % 4] + "1\r";
        if (steady::now() - start > std::chrono::milliseconds(500))
            break;  // the device is full: this call waited for room
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        calls_done = true;
    }
    changed.notify_all();
    resume.join();
    sb(0, 0);
    sent += "SBA0\r";
    board.wait_received(sent.size(), 5000);
    // What arrived is the lines sent, in order, each whole; some may be missing.
    const std::vector<std::string> got = command_lines(board.received()), lines = command_lines(sent);
    size_t next = 0;
    for (const std::string &line : got) {
        while (next < lines.size() && lines[next] != line)
            ++next;
        ASSERT_LT(next, lines.size()) << "line \"" << line << "\" was never sent whole";
        ++next;
    }
    EXPECT_EQ(got.back(), "SBA0\r");
}

// A host's loop: requests of every kind in random order, every answer
// checked, and the outputs the board shows at the end.
DRIVER_TEST_WITHIN(LinePace, MixedRequestsInRandomOrder, 120000)
{
    const sketch_pins pins = distinct_pins();
    board.answer_as_sketch(pins);
    board.pace_like_line(line_baud);
    std::mt19937 random(20260912);
    int wrong = 0;
    for (int i = 0; i < 300; ++i) {
        const int kind = static_cast<int>(random() % 5);
        const int channel = static_cast<int>(random() % 4);
        const int value = static_cast<int>(random() % 256);
        switch (kind) {
        case 0: {
            const int analog = static_cast<int>(random() % analog_inputs);
            wrong += ea(analog) != pins.analog[analog];
            break;
        }
        case 1:
            wrong += ead(channel) != pins.analog[channel] * 5.0 / 1024.0;
            break;
        case 2:
            wrong += eb(channel) != (pins.input_high[digital_input_pins[channel]] ? 1 : 0);
            break;
        case 3:
            sa(channel, value);
            break;
        default:
            sb(channel, value % 2);
            break;
        }
    }
    EXPECT_EQ(wrong, 0) << "wrong answers of 300 requests";
    // An input request after the last outputs: the board has taken them.
    EXPECT_EQ(ea(0), pins.analog[0]);
    const sketch_pins seen = board.pins();
    for (int channel = 0; channel < 4; ++channel) {
        if (seen.pwm_duty[pwm_pins[channel]] >= 0) {
            EXPECT_EQ(seen.pwm_duty[pwm_pins[channel]], rsa(channel)) << "channel " << channel;
        }
        if (seen.output_level[digital_output_pins[channel]] >= 0) {
            EXPECT_EQ(seen.output_level[digital_output_pins[channel]], rsb(channel)) << "channel " << channel;
        }
    }
}

}  // namespace
