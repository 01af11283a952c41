// What the board object does with the project's sketch: it asks once after
// each open what the sketch can do, names its requests when it can, and
// moves to a faster line when asked, back to 9600 when the board does not
// follow. A board played here by script: what it answers is the point.
#include <atomic>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>
#include <vector>

#include "board_helpers.h"
#include "serial/line_rate.h"

namespace {

const std::string identity = "XI arduinodrv-board 2 tag,baud,stream\r\n";

// Whether this system gives a line any rate (termios2, which qemu-i386
// lacks): where it cannot, no line moves and the fast line cannot be seen.
bool lines_can_move()
{
    const int fd = posix_openpt(O_RDWR | O_NOCTTY);
    const bool can = fd >= 0 && descriptor_rate(fd) != 0;
    if (fd >= 0)
        close(fd);
    return can;
}

// The answer to a tagged request "EA<n>#<tag>": n three times ("EA2" reads
// 222), after `delay_ms`.
board_reply tagged_reading(const std::string &line, int delay_ms = 0)
{
    const size_t hash = line.find('#');
    const std::string command = line.substr(0, hash);
    return board_reply{command + "=" + std::string(3, command[2]) + line.substr(hash) + "\r\n", delay_ms};
}

TEST(BoardSketch, RequestsNameThemselvesSoLateAnswersAreNeverTaken)
{
    fake_board fake(TEST_DEVICE_FOLDER, "ttyUSB0");
    fake.pace_like_line();
    fake.respond_with([](const std::string &line) {
        if (line == "XI")
            return board_reply{identity};
        if (line.compare(0, 4, "EA1#") == 0)
            return tagged_reading(line, 400);  // 100 ms after its limit: before the next one's answer
        if (line.compare(0, 4, "EA2#") == 0)
            return tagged_reading(line, 200);
        if (line.compare(0, 4, "EB4#") == 0)
            return board_reply{"EB4=1" + line.substr(3) + "\r\n"};
        return board_reply{};
    });
    open_board board(fake);
    ASSERT_EQ(board.status, AB_OK) << ab_last_error();
    EXPECT_EQ(link_of(*board).sketch, 2);
    EXPECT_EQ(read_analog(*board, 1).status, AB_NO_ANSWER);
    const analog_result next = read_analog(*board, 2);
    ASSERT_EQ(next.status, AB_OK) << ab_last_error();
    EXPECT_EQ(next.reading.raw, 222);
    ab_reading level{};
    ASSERT_EQ(ab_read_digital(*board, 1, &level), AB_OK) << ab_last_error();
    EXPECT_EQ(level.raw, 1);
    EXPECT_EQ(fake.received(), "EA1#0\rEA2#1\rEB4#2\r");
}

TEST(BoardSketch, AClassicSketchKeepsTheClassicRequests)
{
    fake_board fake(TEST_DEVICE_FOLDER, "ttyUSB0");
    sketch_pins pins;
    pins.analog[3] = 345;
    fake.answer_as_sketch(pins, sketch_kind::classic);
    ab_options options = fake_board_options();
    options.baud = 500000;
    open_board board(fake, options);
    ASSERT_EQ(board.status, AB_OK) << ab_last_error();
    const ab_link link = link_of(*board);
    EXPECT_EQ(link.sketch, 0);
    EXPECT_EQ(link.baud, 9600);
    EXPECT_EQ(read_analog(*board, 3).reading.raw, 345);
    EXPECT_EQ(fake.received(), "EA3\r\r");
}

// The fast line: asked, moved, checked at the new rate; a board that does
// not answer there is given the time to go back by itself, and the open
// still succeeds at 9600.
TEST(BoardSketch, FastLineWhenTheBoardFollowsElse9600)
{
    if (!lines_can_move())
        GTEST_SKIP() << "this system cannot give a line any rate (termios2 is missing under qemu-i386)";
    for (const bool follows : {true, false}) {
        fake_board fake(TEST_DEVICE_FOLDER, "ttyUSB0");
        std::atomic<int> questions = 0;
        fake.respond_with([&](const std::string &line) {
            if (line == "XI")
                return ++questions == 2 && !follows ? board_reply{} : board_reply{identity};
            if (line == "XB500000")
                return board_reply{"XB=500000\r\n"};
            if (line.compare(0, 4, "EA0#") == 0)
                return tagged_reading(line);
            return board_reply{};
        });
        ab_options options = fake_board_options();
        options.baud = 500000;
        long long took = 0;
        ab_board *board = nullptr;
        took = ms_taken([&] { ASSERT_EQ(ab_open(fake.link_path().c_str(), &options, &board), AB_OK) << ab_last_error(); });
        const ab_link link = link_of(board);
        EXPECT_EQ(link.baud, follows ? 500000 : 9600) << follows;
        EXPECT_EQ(link.sketch, 2);
        EXPECT_EQ(fake.received(), follows ? "XI\rXB500000\rXI\r" : "XI\rXB500000\rXI\rXI\r") << follows;
        if (!follows) {
            EXPECT_GE(took, 1000);  // the board's own way back
        }
        EXPECT_EQ(read_analog(board, 0).reading.raw, 0);  // "000"
        EXPECT_EQ(read_analog(board, 0).status, AB_OK) << ab_last_error();
        ab_close(board);
    }
}

// The project's sketch itself (its interpreter on the fake board): named
// requests, a scan, the fast line, and a stream whose damaged frames are
// counted and skipped, then the requests again once the stream stopped.
TEST(BoardSketch, TheProjectsSketchEndToEnd)
{
    if (!lines_can_move())
        GTEST_SKIP() << "this system cannot give a line any rate (termios2 is missing under qemu-i386)";
    fake_board fake(TEST_DEVICE_FOLDER, "ttyUSB0");
    fake.pace_like_line();
    sketch_pins pins;
    for (int channel = 0; channel < 6; ++channel)
        pins.analog[channel] = static_cast<uint16_t>(13 + 100 * channel);  // 13: a CR in the frames
    pins.input_high[4] = true;
    fake.answer_as_sketch(pins);
    ab_options options = fake_board_options();
    options.baud = 500000;
    open_board board(fake, options);
    ASSERT_EQ(board.status, AB_OK) << ab_last_error();
    ab_link link = link_of(*board);
    EXPECT_EQ(link.sketch, 2);
    EXPECT_EQ(link.baud, 500000);
    EXPECT_EQ(fake.sketch_line_rate(), 500000u);

    EXPECT_EQ(read_analog(*board, 3).reading.raw, 313);
    ab_scan_result scanned{};
    ASSERT_EQ(ab_scan(*board, &scanned), AB_OK) << ab_last_error();
    EXPECT_EQ(scanned.analog[5].raw, 513);
    EXPECT_EQ(scanned.digital[1].raw, 1);

    // Every fifth frame damaged on its way.
    std::atomic<int> pieces = 0;
    fake.filter_sketch_output([&](const std::string &piece) {
        std::string sent = piece;
        if (static_cast<unsigned char>(piece[0]) == 0xA5 && ++pieces % 5 == 0)
            sent[sent.size() / 2] ^= 0x40;
        return sent;
    });
    ASSERT_EQ(ab_stream_start(*board, 0x3F, 0xF, 2000), AB_OK) << ab_last_error();
    std::vector<ab_sample> samples;
    ab_sample chunk[256];
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (samples.size() < 400 && std::chrono::steady_clock::now() < give_up) {
        size_t count = 0;
        ASSERT_EQ(ab_stream_read(*board, chunk, std::size(chunk), 200, &count), AB_OK) << ab_last_error();
        samples.insert(samples.end(), chunk, chunk + count);
    }
    ASSERT_EQ(ab_stream_stop(*board), AB_OK) << ab_last_error();
    ASSERT_GE(samples.size(), 400u);
    for (size_t i = 0; i < samples.size(); ++i) {
        EXPECT_EQ(samples[i].analog[0], 13);
        EXPECT_EQ(samples[i].analog[5], 513);
        EXPECT_EQ(samples[i].digital, 0b0010);
        if (i > 0) {  // the board's own time: exactly the interval per frame number
            EXPECT_EQ(samples[i].board_time_us - samples[i - 1].board_time_us,
                      2000 * int64_t{samples[i].sequence - samples[i - 1].sequence});
        }
    }
    link = link_of(*board);
    EXPECT_GT(link.frames_bad, 0u);
    // Each damaged frame is missing from the numbers; a busy machine may
    // make the fake board skip ticks too, as the chip skips a late one.
    EXPECT_GE(link.frames_lost, link.frames_bad);
    fake.filter_sketch_output(nullptr);
    EXPECT_EQ(read_analog(*board, 1).reading.raw, 113);
}

}  // namespace
