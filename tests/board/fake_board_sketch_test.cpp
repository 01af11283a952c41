// The tests' fake board playing the sketch: the project's one by default, a
// classic one on request; its stream on the steady clock, its line's pace
// following the rate it moves to, and a test's hand on what it sends.
#include "fake_board.h"
#include "raw_line.h"
#include "stream_frame.h"
#include "stream_reader.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

using steady = std::chrono::steady_clock;

const std::string identity = "XI arduinodrv-board 2 tag,baud,stream\r\n";

sketch_pins some_pins()
{
    sketch_pins pins;
    pins.analog[0] = 100;
    pins.analog[3] = 1023;
    pins.input_high[4] = true;
    return pins;
}

class fake_board_sketch : public ::testing::Test {
protected:
    fake_board board{"/tmp", "fake_board_sketch_" + std::to_string(getpid())};
};

TEST_F(fake_board_sketch, extended_by_default_and_classic_on_request)
{
    board.answer_as_sketch(some_pins());
    raw_line host(board.slave_path());
    host.send("XI");
    EXPECT_EQ(host.read_for(2000, "\n"), identity);
    host.send("EA3#9");
    EXPECT_EQ(host.read_for(2000, "\n"), "EA3=1023#9\r\n");

    board.answer_as_sketch(some_pins(), sketch_kind::classic);
    host.send("XI");
    host.send("EA3#9");
    host.send("EA3");
    EXPECT_EQ(host.read_for(2000, "\n"), "1023\r\n");  // nothing before it
}

TEST_F(fake_board_sketch, stream_keeps_the_steady_clock_and_a_filter_can_damage_it)
{
    board.answer_as_sketch(some_pins());
    std::atomic<unsigned> frames = 0, damaged = 0;
    board.filter_sketch_output([&](const std::string &piece) {
        // Every fourth frame damaged: one byte flipped.
        if (piece.size() > 2 && static_cast<uint8_t>(piece[0]) == stream_frame::sync_first && ++frames % 4 == 0) {
            ++damaged;
            std::string changed = piece;
            changed[7] ^= 0x10;
            return changed;
        }
        return piece;
    });
    raw_line host(board.slave_path());
    host.send("XS9,2,25000");  // A0, A3 and pin 4, at 9600 baud
    const auto start = steady::now();
    std::string bytes = host.read_for(530);
    host.send("XE");
    bytes += host.read_for(2000, "XE=");
    const double seconds = std::chrono::duration<double>(steady::now() - start).count();

    stream_frame::sample_set expected{};
    expected.analog[0] = 100;
    expected.analog[3] = 1023;
    expected.digital = 2;  // pin 4 is digital input 1
    stream_reader reader(9, 2, 25000, expected);
    ASSERT_EQ(bytes.compare(0, 10, "XS=25000\r\n"), 0) << bytes.substr(0, 20);
    reader.take(bytes.data() + 10, bytes.size() - 10);
    const stream_tally &tally = reader.tally();
    // About 21 ticks in 530 ms; the machine may be slow, never the clock.
    EXPECT_GE(tally.frames + tally.lost, 15u);
    EXPECT_LE(tally.frames + tally.lost, seconds / 0.025 + 1);
    EXPECT_EQ(tally.first_sequence, 0u);
    EXPECT_GE(damaged, 3u);
    EXPECT_EQ(tally.bad, damaged);  // each damaged frame, and only they
    // Each is lost too; a tick the board's thread woke more than an interval
    // late for (a very busy machine) would be skipped as the chip skips it.
    EXPECT_GE(tally.lost, damaged);
    EXPECT_LE(tally.lost, damaged + 2);
    EXPECT_EQ(tally.wrong_time, 0u);
    EXPECT_EQ(tally.wrong_value, 0u);
    ASSERT_EQ(tally.lines.size(), 1u);
    EXPECT_EQ(tally.lines[0], "XE=" + std::to_string(tally.last_sequence + 1) + "\r\n");
}

TEST_F(fake_board_sketch, paced_line_follows_the_rate_it_moves_to_and_back)
{
    board.answer_as_sketch(some_pins());
    board.pace_like_line(9600);
    raw_line host(board.slave_path());
    // 39 bytes of identity: 41 ms at 9600 baud, 0.4 ms at 1000000.
    const auto asked = [&] {
        const auto start = steady::now();
        host.send("XI");
        EXPECT_EQ(host.read_for(3000, "\n"), identity);
        return std::chrono::duration<double>(steady::now() - start).count();
    };
    EXPECT_GE(asked(), 0.040);
    host.send("XB1000000");
    EXPECT_EQ(host.read_for(3000, "\n"), "XB=1000000\r\n");
    EXPECT_EQ(board.sketch_line_rate(), 1000000u);
    EXPECT_LT(asked(), 0.030);
    // A second of silence at the new rate: the board goes back to 9600.
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    EXPECT_EQ(board.sketch_line_rate(), 1000000u);  // XI was understood there
    host.send("XB500000");
    EXPECT_EQ(host.read_for(3000, "\n"), "XB=500000\r\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    EXPECT_EQ(board.sketch_line_rate(), 9600u);
    EXPECT_GE(asked(), 0.040);
}

}  // namespace
