// The tests' fake board playing the sketch: the project's one by default, a
// classic one on request; its stream on the steady clock, its line's pace
// following the rate it moves to, and a test's hand on what it sends.
#include "fake_board.h"
#include "raw_line.h"
#include "serial/line_rate.h"
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

const std::string identity = "XI arduinodrv-board 3 tag,baud,stream,scan,keep\r\n";

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
    host.send("EA3k");
    EXPECT_EQ(host.read_for(2000, "k"), "1023k");

    board.answer_as_sketch(some_pins(), sketch_kind::classic);
    host.send("XI");
    host.send("EA3k");
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
    host.send("XS9,2,25000s");  // A0, A3 and pin 4, at 9600 baud
    const auto start = steady::now();
    std::string bytes = host.read_for(530);
    host.send("XEt");
    bytes += host.read_for(2000, "t");
    const double seconds = std::chrono::duration<double>(steady::now() - start).count();

    stream_frame::sample_set expected{};
    expected.analog[0] = 100;
    expected.analog[3] = 1023;
    expected.digital = 2;  // pin 4 is digital input 1
    stream_reader reader(9, 2, 25000, expected);
    ASSERT_EQ(bytes.compare(0, 6, "25000s"), 0) << bytes.substr(0, 20);
    reader.take(bytes.data() + 6, bytes.size() - 6);
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
    EXPECT_EQ(tally.lines[0], std::to_string(tally.last_sequence + 1) + "t");  // framed, after the last frame
}

TEST_F(fake_board_sketch, paced_line_follows_the_rate_it_moves_to_and_back)
{
    board.answer_as_sketch(some_pins());
    board.pace_like_line(9600);
    raw_line host(board.slave_path());
    if (descriptor_rate(host.fd()) == 0)
        GTEST_SKIP() << "this system cannot give a line any rate (termios2 is missing under qemu-i386)";
    // 49 bytes of identity: 51 ms at 9600 baud, 0.5 ms at 1000000.
    const auto asked = [&] {
        const auto start = steady::now();
        host.send("XI");
        EXPECT_EQ(host.read_for(3000, "\n"), identity);
        return std::chrono::duration<double>(steady::now() - start).count();
    };
    EXPECT_GE(asked(), 0.040);
    host.send("XB1000000a");
    EXPECT_EQ(host.read_for(3000, "a"), "1000000a");
    EXPECT_EQ(board.sketch_line_rate(), 1000000u);
    // Bytes between different rates are junk.
    host.send("XI");
    EXPECT_EQ(host.read_for(200), "");
    ASSERT_TRUE(set_descriptor_rate(host.fd(), 1000000));
    host.send("");  // a line end after the junk the board took
    EXPECT_LT(asked(), 0.030);
    // The host's silence at the new rate: the board goes back to 9600.
    std::this_thread::sleep_for(std::chrono::milliseconds(board_wire::host_silence_ms / 2));
    EXPECT_EQ(board.sketch_line_rate(), 1000000u);
    std::this_thread::sleep_for(std::chrono::milliseconds(board_wire::host_silence_ms / 2 + 300));
    EXPECT_EQ(board.sketch_line_rate(), 9600u);
    ASSERT_TRUE(set_descriptor_rate(host.fd(), 9600));
    EXPECT_GE(asked(), 0.040);
}

}  // namespace
