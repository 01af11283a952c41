// The board object with the project's sketch (its interpreter on the fake
// board, the line paced at its rate): requests that carry a tag only while
// an earlier answer may still come, outputs the board confirms, the
// sketch's identity asked until it answers, and a fast line both ends agree
// on whatever byte is lost, damaged, late or junk on the way.
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "board_helpers.h"

namespace {

sketch_pins channel_pins()
{
    sketch_pins pins;
    for (int channel = 0; channel < 6; ++channel)
        pins.analog[channel] = static_cast<uint16_t>(100 * channel + 12);
    pins.input_high[4] = true;
    return pins;
}

// The lines the board received, without the reader's own questions ("XK"
// and its tag) that keep the line.
std::vector<std::string> requests_of(const std::string &received)
{
    std::vector<std::string> lines;
    for (const std::string &line : command_lines(received))
        if (line.size() != 4 || line.compare(0, 2, "XK") != 0)
            lines.push_back(line);
    return lines;
}

bool is_tagged_answer(const std::string &piece)
{
    return piece.size() >= 2 && piece.back() >= 'a' && piece.back() <= 'z' &&
           piece.find_first_not_of("0123456789,") == piece.size() - 1;
}

TEST(BoardSketch, RequestsCarryATagOnlyWhileAnEarlierAnswerMayStillCome)
{
    fake_board fake(TEST_DEVICE_FOLDER, "ttyUSB0");
    fake.pace_like_line();
    fake.answer_as_sketch(channel_pins());
    ab_options options = fake_board_options();
    options.baud = 9600;
    open_board board(fake, options);
    ASSERT_EQ(board.status, AB_OK) << ab_last_error();
    EXPECT_EQ(link_of(*board).sketch, 3);
    EXPECT_EQ(read_analog(*board, 1).reading.raw, 112);

    // The next answer comes 400 ms late: after its limit, before the next
    // request's answer.
    std::atomic<bool> late = true;
    fake.delay_sketch_output([&](const std::string &piece) { return piece == "212\r\n" && late.exchange(false) ? 400 : 0; });
    EXPECT_EQ(read_analog(*board, 2).status, AB_NO_ANSWER);
    const analog_result next = read_analog(*board, 3);
    ASSERT_EQ(next.status, AB_OK) << ab_last_error();
    EXPECT_EQ(next.reading.raw, 312);
    // Its answer came after the late one: none is on its way any more.
    EXPECT_EQ(read_analog(*board, 4).reading.raw, 412);
    ab_reading level{};
    ASSERT_EQ(ab_read_digital(*board, 1, &level), AB_OK) << ab_last_error();
    EXPECT_EQ(level.raw, 1);

    const std::vector<std::string> lines = requests_of(fake.received());
    ASSERT_EQ(lines.size(), 5u) << fake.received();
    EXPECT_EQ(lines[0], "EA1\r");
    EXPECT_EQ(lines[1], "EA2\r");
    EXPECT_EQ(lines[2].substr(0, 3), "EA3");  // tagged
    EXPECT_EQ(lines[2].size(), 5u);
    EXPECT_EQ(lines[3], "EA4\r");
    EXPECT_EQ(lines[4], "EB4\r");
}

TEST(BoardSketch, TheBoardConfirmsEachOutput)
{
    fake_board fake(TEST_DEVICE_FOLDER, "ttyUSB0");
    fake.answer_as_sketch(channel_pins());
    open_board board(fake);
    ASSERT_EQ(board.status, AB_OK) << ab_last_error();
    ASSERT_EQ(ab_write_pwm(*board, 0, 255), AB_OK) << ab_last_error();
    ASSERT_EQ(ab_write_digital(*board, 3, 1), AB_OK) << ab_last_error();
    EXPECT_EQ(fake.pins().pwm_duty[3], 255);
    EXPECT_EQ(fake.pins().output_level[13], 1);
    const std::vector<std::string> lines = requests_of(fake.received());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(0, 6), "SA3255");
    EXPECT_EQ(lines[1].substr(0, 4), "SBD1");

    // A confirmation that does not come is no AB_OK, and the link keeps
    // what the board last confirmed.
    fake.filter_sketch_output([](const std::string &piece) { return piece.size() == 1 ? std::string() : piece; });
    EXPECT_EQ(ab_write_pwm(*board, 0, 7), AB_NO_ANSWER);
    EXPECT_EQ(link_of(*board).pwm[0], 255);
    EXPECT_EQ(link_of(*board).no_answer, 1u);
}

TEST(BoardSketch, AClassicSketchKeepsTheClassicRequests)
{
    fake_board fake(TEST_DEVICE_FOLDER, "ttyUSB0");
    sketch_pins pins;
    pins.analog[3] = 345;
    fake.answer_as_sketch(pins, sketch_kind::classic);
    ab_options options = fake_board_options();
    options.baud = 500000;
    options.start_ms = 1500;  // no question at the fast rates
    open_board board(fake, options);
    ASSERT_EQ(board.status, AB_OK) << ab_last_error();
    const ab_link link = link_of(*board);
    EXPECT_EQ(link.sketch, 0);
    EXPECT_EQ(link.baud, 9600);
    EXPECT_EQ(read_analog(*board, 3).reading.raw, 345);
    ASSERT_EQ(ab_write_pwm(*board, 0, 9), AB_OK);
    EXPECT_TRUE(eventually([&] { return fake.pins().pwm_duty[3] == 9; }, 2000));
    EXPECT_EQ(fake.received(), "EA3\r\rSA39\r");
}

// What goes wrong with one piece of a handshake, and the rate the line must
// be at afterwards (both ends), the open succeeding every time.
struct handshake_fault {
    const char *name;
    int32_t agreed;  // the rate both ends are at after the open
    // Filters the sketch's pieces, in order; `stage` is the test's own.
    std::function<std::string(const std::string &piece, int &stage)> filter;
    int late_ms = 0;  // the filter's piece marked "late" (stage -1) waits this long
};

std::string damaged(std::string piece)
{
    piece[piece.size() / 2] ^= 0x04;
    return piece;
}

// The answer to XB500000, and the check at the new rate (the next tagged
// answer after it).
bool rate_answer(const std::string &piece)
{
    return piece.compare(0, 6, "500000") == 0 && is_tagged_answer(piece);
}

std::vector<handshake_fault> handshake_faults()
{
    const auto at_rate_answer = [](std::string (*change)(const std::string &)) {
        return [change](const std::string &piece, int &stage) {
            if (stage == 0 && rate_answer(piece)) {
                stage = 1;
                return change(piece);
            }
            return piece;
        };
    };
    const auto at_check = [](int times, std::string (*change)(const std::string &)) {
        return [times, change](const std::string &piece, int &stage) {
            if (stage == 0 && rate_answer(piece))
                stage = 1;
            else if (stage >= 1 && stage <= times && is_tagged_answer(piece)) {
                ++stage;
                return change(piece);
            }
            return piece;
        };
    };
    const auto at_identity = [](std::string (*change)(const std::string &)) {
        return [change](const std::string &piece, int &stage) {
            if (stage == 0 && piece.compare(0, 3, "XI ") == 0) {
                stage = 1;
                return change(piece);
            }
            return piece;
        };
    };
    const auto drop = [](const std::string &) { return std::string(); };
    const auto damage = [](const std::string &piece) { return damaged(piece); };
    const auto junk_first = [](const std::string &piece) { return "\xff" + piece; };
    const auto keep = [](const std::string &piece) { return piece; };
    return {
        {"the rate's answer lost", 9600, at_rate_answer(drop)},
        {"the rate's answer damaged", 9600, at_rate_answer(damage)},
        {"junk before the rate's answer", 9600, at_rate_answer(junk_first)},
        {"the rate's answer 2 s late", 9600,
         [](const std::string &piece, int &stage) {
             if (stage == 0 && rate_answer(piece))
                 stage = -1;  // late
             return piece;
         },
         2000},
        {"the check at the new rate lost once", 500000, at_check(1, drop)},
        {"the check at the new rate damaged once", 500000, at_check(1, damage)},
        {"every check at the new rate lost", 9600, at_check(10, drop)},
        {"the identity lost once", 500000, at_identity(drop)},
        {"the identity damaged once", 500000, at_identity(damage)},
        {"junk before the identity", 500000, at_identity(junk_first)},
        {"the identity 500 ms late", 500000,
         [](const std::string &piece, int &stage) {
             if (stage == 0 && piece.compare(0, 3, "XI ") == 0)
                 stage = -1;
             return piece;
         },
         500},
        {"nothing wrong", 500000, at_identity(keep)},
    };
}

// The fast line: asked at 9600, moved once the board answered, kept only
// once the board answered at the new rate. Whatever single piece goes
// wrong, the open succeeds with both ends at one rate, within its bound,
// and the board answers there.
TEST(BoardSketch, TheFastLineIsAgreedOrBothEndsStayAt9600)
{
    if (!lines_can_move())
        GTEST_SKIP() << "this system cannot give a line any rate (termios2 is missing under qemu-i386)";
    for (const handshake_fault &fault : handshake_faults()) {
        SCOPED_TRACE(fault.name);
        fake_board fake(TEST_DEVICE_FOLDER, "ttyUSB0");
        fake.pace_like_line();
        fake.answer_as_sketch(channel_pins());
        auto stage = std::make_shared<std::atomic<int>>(0);
        fake.filter_sketch_output([&fault, stage](const std::string &piece) {
            int now = *stage;
            const std::string sent = fault.filter(piece, now);
            *stage = now;
            return sent;
        });
        fake.delay_sketch_output([&fault, stage](const std::string &) {
            if (*stage != -1)
                return 0;
            *stage = 1;
            return fault.late_ms;
        });
        ab_options options = fake_board_options();
        options.baud = 500000;
        ab_board *board = nullptr;
        const long long took = ms_taken([&] { ASSERT_EQ(ab_open(fake.link_path().c_str(), &options, &board), AB_OK); });
        // The longest: the answer limits, the board's silence rule, the
        // question once more.
        EXPECT_LT(took, 6000 + slow_machine_ms);
        const ab_link link = link_of(board);
        EXPECT_EQ(link.sketch, 3);
        EXPECT_EQ(link.baud, fault.agreed);
        EXPECT_EQ(fake.sketch_line_rate(), static_cast<uint32_t>(fault.agreed));
        fake.filter_sketch_output(nullptr);
        const analog_result got = read_analog(board, 2);
        EXPECT_EQ(got.status, AB_OK) << ab_last_error();
        EXPECT_EQ(got.reading.raw, 212);
        ab_close(board);
        EXPECT_EQ(fake.sketch_line_rate(), 9600u);  // left where every open starts
    }
}

// The board restarts in the middle of the handshake: it is at 9600 again,
// and so is the host once it has seen that.
TEST(BoardSketch, ABoardRestartingDuringTheHandshake)
{
    if (!lines_can_move())
        GTEST_SKIP() << "this system cannot give a line any rate (termios2 is missing under qemu-i386)";
    fake_board fake(TEST_DEVICE_FOLDER, "ttyUSB0");
    fake.pace_like_line();
    fake.answer_as_sketch(channel_pins());
    std::thread restart([&] {
        // Right after the board agreed to the move.
        ASSERT_TRUE(eventually([&] { return fake.received().find("XB500000") != std::string::npos; }));
        ASSERT_TRUE(eventually([&] { return fake.sketch_line_rate() == 500000; }));
        fake.answer_as_sketch(channel_pins());
    });
    ab_options options = fake_board_options();
    options.baud = 500000;
    open_board board(fake, options);
    restart.join();
    ASSERT_EQ(board.status, AB_OK) << ab_last_error();
    // Once the host has seen it (at once, or by the answers that stop
    // coming), both ends are at one rate.
    EXPECT_TRUE(eventually([&] {
        return static_cast<uint32_t>(link_of(*board).baud) == fake.sketch_line_rate() &&
               read_analog(*board, 5).reading.raw == 512;
    }));
}

// An identity that comes after the question's time is still the sketch's:
// never a reading, and the board is used as what it is from then on.
TEST(BoardSketch, ALateIdentityIsKnownForOneNeverAReading)
{
    fake_board fake(TEST_DEVICE_FOLDER, "ttyUSB0");
    fake.pace_like_line();
    fake.answer_as_sketch(channel_pins());
    std::atomic<bool> first = true;
    fake.delay_sketch_output(
        [&](const std::string &piece) { return piece.compare(0, 3, "XI ") == 0 && first.exchange(false) ? 1200 : 0; });
    ab_options options = fake_board_options(1000);
    options.start_ms = 1500;  // no question at the fast rates
    options.baud = 9600;
    open_board board(fake, options);
    ASSERT_EQ(board.status, AB_OK) << ab_last_error();
    EXPECT_EQ(link_of(*board).sketch, 0);
    // The identity lines come before this answer: none is taken for it.
    const analog_result got = read_analog(*board, 1);
    EXPECT_EQ(got.status, AB_OK) << ab_last_error();
    EXPECT_EQ(got.reading.raw, 112);
    EXPECT_TRUE(eventually([&] { return link_of(*board).sketch == 3; }, 5000));
    EXPECT_EQ(read_analog(*board, 2).reading.raw, 212);
    const std::vector<std::string> lines = requests_of(fake.received());
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "EA2\r");  // the project's sketch: no empty line after it
}

// Answers missing one after another, or one that comes late before a scan:
// no value is ever another request's.
TEST(BoardSketch, MissingAndLateAnswersNeverMoveAValue)
{
    fake_board fake(TEST_DEVICE_FOLDER, "ttyUSB0");
    fake.pace_like_line();
    fake.answer_as_sketch(channel_pins());
    ab_options options = fake_board_options();
    options.baud = 9600;
    open_board board(fake, options);
    ASSERT_EQ(board.status, AB_OK) << ab_last_error();

    // A0's answer, then A1's (tagged: A0's may still come).
    std::atomic<int> drop = 2;
    fake.filter_sketch_output([&](const std::string &piece) {
        const bool ours = piece == "12\r\n" || (piece.compare(0, 3, "112") == 0 && is_tagged_answer(piece));
        return ours && drop-- > 0 ? std::string() : piece;
    });
    EXPECT_EQ(read_analog(*board, 0).status, AB_NO_ANSWER);
    EXPECT_EQ(read_analog(*board, 1).status, AB_NO_ANSWER);
    EXPECT_EQ(read_analog(*board, 2).reading.raw, 212);

    // A late answer, then every input at once.
    std::atomic<bool> late = true;
    fake.filter_sketch_output(nullptr);
    fake.delay_sketch_output([&](const std::string &piece) { return piece.compare(0, 3, "312") == 0 && late.exchange(false) ? 450 : 0; });
    EXPECT_EQ(read_analog(*board, 3).status, AB_NO_ANSWER);
    ab_scan_result scanned{};
    ASSERT_EQ(ab_scan(*board, &scanned), AB_OK) << ab_last_error();
    for (int channel = 0; channel < AB_ANALOG_INPUTS; ++channel) {
        EXPECT_EQ(scanned.analog_status[channel], AB_OK);
        EXPECT_EQ(scanned.analog[channel].raw, 100 * channel + 12) << channel;
    }
    EXPECT_EQ(scanned.digital[0].raw, 0);
    EXPECT_EQ(scanned.digital[1].raw, 1);
}

// The project's sketch itself (its interpreter on the fake board): the
// fast line by default, a scan, and a stream whose damaged frames are
// counted and skipped, with requests between its frames.
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
    open_board board(fake, fake_board_options());
    ASSERT_EQ(board.status, AB_OK) << ab_last_error();
    ab_link link = link_of(*board);
    EXPECT_EQ(link.sketch, 3);
    EXPECT_EQ(link.baud, 1000000);
    EXPECT_EQ(fake.sketch_line_rate(), 1000000u);

    EXPECT_EQ(read_analog(*board, 3).reading.raw, 313);
    ab_scan_result scanned{};
    ASSERT_EQ(ab_scan(*board, &scanned), AB_OK) << ab_last_error();
    EXPECT_EQ(scanned.analog[5].raw, 513);
    EXPECT_EQ(scanned.digital[1].raw, 1);

    // Every fifth frame damaged on its way.
    std::atomic<int> pieces = 0;
    fake.filter_sketch_output([&](const std::string &piece) {
        std::string sent = piece;
        if (static_cast<unsigned char>(piece[0]) == 0xA5 && piece[1] == 0x5A && ++pieces % 5 == 0)
            sent[sent.size() / 2] ^= 0x40;
        return sent;
    });
    ASSERT_EQ(ab_stream_start(*board, 0x3F, 0xF, 2000), AB_OK) << ab_last_error();
    std::vector<ab_sample> samples;
    ab_sample chunk[256];
    int requests = 0;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (samples.size() < 400 && std::chrono::steady_clock::now() < give_up) {
        size_t count = 0;
        ASSERT_EQ(ab_stream_read(*board, chunk, std::size(chunk), 200, &count), AB_OK) << ab_last_error();
        samples.insert(samples.end(), chunk, chunk + count);
        // A request between the frames, answered in the stream.
        const analog_result got = read_analog(*board, 1);
        EXPECT_EQ(got.status, AB_OK) << ab_last_error();
        EXPECT_EQ(got.reading.raw, 113);
        ++requests;
    }
    ASSERT_EQ(ab_stream_stop(*board), AB_OK) << ab_last_error();
    ASSERT_GE(samples.size(), 400u);
    EXPECT_GT(requests, 3);
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
