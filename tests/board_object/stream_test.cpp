// Streams: the board's frames read into samples, every frame checked, noise
// and losses counted and skipped, never a wrong value; refusals before
// anything is sent; a board that stops, goes away or floods the host.
#include <atomic>
#include <thread>

#include "board_helpers.h"
#include "stream_frame.h"

namespace {

const std::string identity = "XI arduinodrv-board 2 tag,baud,stream\r\n";

// A frame as the sketch sends it, for inputs 0 and 2 and the digital ones.
std::string frame(uint32_t sequence, uint32_t time_us, int32_t a0, int32_t a2, uint8_t digital)
{
    stream_frame::sample_set samples{};
    samples.sequence = sequence;
    samples.time_us = time_us;
    samples.analog[0] = static_cast<uint16_t>(a0);
    samples.analog[2] = static_cast<uint16_t>(a2);
    samples.digital = digital;
    uint8_t bytes[stream_frame::longest_frame];
    const uint8_t size = stream_frame::encode(bytes, samples, 0b101, 0b1111);
    return std::string(reinterpret_cast<const char *>(bytes), size);
}

constexpr unsigned analog_mask = 0b101;  // inputs 0 and 2
constexpr unsigned digital_mask = 0b1111;
constexpr int interval_us = 50000;  // a 9600-baud line carries these frames every 23.4 ms

// A streaming board by script: it answers the question and the start, and
// the test sends the frames; "XE" is answered once the test says so.
struct streaming_board {
    fake_board fake{TEST_DEVICE_FOLDER, "ttyUSB0"};
    std::atomic<bool> answer_stop = true;
    streaming_board()
    {
        fake.respond_with([this](const std::string &line) {
            if (line == "XI")
                return board_reply{identity};
            if (line == "XS5,15,50000")
                return board_reply{"XS=50000\r\n"};
            if (line == "XE" && answer_stop)
                return board_reply{"XE=0\r\n", 5};
            if (line.compare(0, 4, "EA0#") == 0)
                return board_reply{"EA0=7" + line.substr(3) + "\r\n"};
            return board_reply{};
        });
    }
};

// A board object on a streaming board, its stream started in each test.
class BoardStream : public ::testing::Test {
protected:
    streaming_board board_side;
    open_board board{board_side.fake};
    ab_status start() { return ab_stream_start(*board, analog_mask, digital_mask, interval_us); }
};

std::vector<ab_sample> read_samples(ab_board *board, size_t wanted, ab_status *status = nullptr)
{
    std::vector<ab_sample> all;
    ab_sample chunk[64];
    for (int tries = 0; all.size() < wanted && tries < 200; ++tries) {
        size_t count = 0;
        const ab_status got = ab_stream_read(board, chunk, std::size(chunk), 100, &count);
        if (status != nullptr)
            *status = got;
        if (got != AB_OK)
            break;
        all.insert(all.end(), chunk, chunk + count);
    }
    return all;
}

TEST_F(BoardStream, EveryFrameBecomesASampleWithItsTimes)
{
    ASSERT_EQ(board.status, AB_OK) << ab_last_error();
    ASSERT_EQ(start(), AB_OK) << ab_last_error();
    std::string frames;
    for (uint32_t k = 0; k < 300; ++k)  // values with CR and LF bytes among them
        frames += frame(k, 4000000000u + k * interval_us, static_cast<int32_t>(k % 1024), 13 + 256 * (k % 4),
                        static_cast<uint8_t>(k & 0xF));
    board_side.fake.send(frames);
    const std::vector<ab_sample> samples = read_samples(*board, 300);
    ASSERT_EQ(samples.size(), 300u);
    for (uint32_t k = 0; k < samples.size(); ++k) {
        const ab_sample &s = samples[k];
        EXPECT_EQ(s.sequence, k);
        // Past the 32-bit wrap of the board's clock, still exactly the interval apart.
        EXPECT_EQ(s.board_time_us, 4000000000LL + int64_t{k} * interval_us) << k;
        EXPECT_EQ(s.analog_mask, analog_mask);
        EXPECT_EQ(s.analog[0], static_cast<int32_t>(k % 1024));
        EXPECT_EQ(s.analog[1], 0);
        EXPECT_EQ(s.analog[2], static_cast<int32_t>(13 + 256 * (k % 4)));
        EXPECT_EQ(s.digital, k & 0xF);
        EXPECT_GT(s.time_ns, 0);
    }
    const ab_link link = link_of(*board);
    EXPECT_EQ(link.frames_lost + link.frames_bad + link.samples_dropped, 0u);
    EXPECT_EQ(ab_stream_stop(*board), AB_OK) << ab_last_error();
    // After the stream the line is the requests' again.
    EXPECT_EQ(read_analog(*board, 0).reading.raw, 7);
}

// Bytes flipped, lost, a frame cut short, noise that looks like a frame's
// start: each counted, skipped, and never a wrong value.
TEST_F(BoardStream, NoiseIsCountedAndSkippedNeverAWrongValue)
{
    ASSERT_EQ(board.status, AB_OK) << ab_last_error();
    ASSERT_EQ(start(), AB_OK) << ab_last_error();
    std::string flipped = frame(1, 10, 111, 111, 1);
    flipped[9] ^= 0x10;
    const std::string cut = frame(3, 30, 333, 333, 3).substr(0, 9);
    std::string wire = frame(0, 0, 100, 100, 0) + flipped + "\xA5\x5A\x03noise" + frame(2, 20, 222, 222, 2) + cut +
                       frame(4, 40, 444, 444, 4) + frame(6, 60, 666, 666, 6);  // 5 lost on the way
    board_side.fake.send(wire);
    const std::vector<ab_sample> samples = read_samples(*board, 4);
    ASSERT_EQ(samples.size(), 4u);
    const uint32_t sequences[] = {0, 2, 4, 6};
    for (size_t i = 0; i < samples.size(); ++i) {
        EXPECT_EQ(samples[i].sequence, sequences[i]);
        EXPECT_EQ(samples[i].analog[0], sequences[i] == 0 ? 100 : static_cast<int32_t>(111 * sequences[i]));
        EXPECT_EQ(samples[i].analog[0], samples[i].analog[2]);
    }
    const ab_link link = link_of(*board);
    EXPECT_EQ(link.frames_lost, 3u);  // 1, 3 and 5
    EXPECT_GE(link.frames_bad, 1u);   // the flipped one
    EXPECT_EQ(ab_stream_stop(*board), AB_OK) << ab_last_error();
}

// A program that reads too slowly loses the oldest samples, counted; the
// rest are whole and in order.
TEST_F(BoardStream, ASlowReaderLosesTheOldestCounted)
{
    ASSERT_EQ(board.status, AB_OK) << ab_last_error();
    ASSERT_EQ(start(), AB_OK) << ab_last_error();
    std::string frames;
    for (uint32_t k = 0; k < 3000; ++k)
        frames += frame(k, k * interval_us, static_cast<int32_t>(k % 1000), 5, 0);
    board_side.fake.send(frames);
    usleep(300000);
    const std::vector<ab_sample> samples = read_samples(*board, 3000);
    const ab_link link = link_of(*board);
    EXPECT_GT(link.samples_dropped, 0u);
    EXPECT_EQ(link.samples_dropped + samples.size(), 3000u);
    ASSERT_FALSE(samples.empty());
    EXPECT_EQ(samples.back().sequence, 2999u);
    for (size_t i = 1; i < samples.size(); ++i)
        EXPECT_EQ(samples[i].sequence, samples[i - 1].sequence + 1);
    EXPECT_EQ(samples.front().analog[0], static_cast<int32_t>(samples.front().sequence % 1000));
    EXPECT_EQ(link.frames_lost, 0u);
    ab_stream_stop(*board);
}

TEST_F(BoardStream, RefusedBeforeAnythingIsSent)
{
    ASSERT_EQ(board.status, AB_OK) << ab_last_error();
    EXPECT_EQ(ab_stream_start(*board, 0, 0, interval_us), AB_BAD_VALUE);
    EXPECT_EQ(ab_stream_start(*board, 1u << 6, 0, interval_us), AB_BAD_CHANNEL);
    EXPECT_EQ(ab_stream_start(*board, 0, 1u << 4, interval_us), AB_BAD_CHANNEL);
    EXPECT_EQ(ab_stream_start(*board, 0x3F, 0xF, 100), AB_BAD_VALUE);  // too short at 9600 baud
    EXPECT_NE(std::string(ab_last_error()).find("too short"), std::string::npos) << ab_last_error();
    EXPECT_EQ(ab_stream_start(*board, 1, 0, -5), AB_BAD_VALUE);
    size_t count = 9;
    ab_sample sample{};
    EXPECT_EQ(ab_stream_read(*board, &sample, 1, 0, &count), AB_BAD_ARGUMENT);  // none runs
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(ab_stream_read(*board, nullptr, 1, 0, &count), AB_BAD_ARGUMENT);
    EXPECT_EQ(ab_stream_stop(*board), AB_OK);  // nothing to stop
    usleep(50000);
    EXPECT_EQ(board_side.fake.received(), "");

    // While a stream runs, the line is the stream's.
    ASSERT_EQ(start(), AB_OK) << ab_last_error();
    EXPECT_EQ(read_analog(*board, 0).status, AB_STREAMING);
    EXPECT_EQ(ab_write_pwm(*board, 0, 1), AB_STREAMING);
    EXPECT_EQ(start(), AB_STREAMING);
    EXPECT_EQ(ab_stream_stop(*board), AB_OK);
}

TEST(BoardStreamClassic, AClassicSketchCannotStream)
{
    fake_board fake(TEST_DEVICE_FOLDER, "ttyUSB0");
    fake.answer_as_sketch(sketch_pins(), sketch_kind::classic);
    open_board board(fake);
    ASSERT_EQ(board.status, AB_OK) << ab_last_error();
    EXPECT_EQ(ab_stream_start(*board, 1, 0, 100000), AB_NOT_SUPPORTED);
    EXPECT_EQ(fake.received(), "");
}

// A board that stops sending, or goes away, is said so in bounded time; a
// close sends a waiting read back at once.
TEST_F(BoardStream, SilenceAndUnplugAreSaidInBoundedTime)
{
    board_side.answer_stop = false;
    ASSERT_EQ(board.status, AB_OK) << ab_last_error();
    ASSERT_EQ(start(), AB_OK) << ab_last_error();
    board_side.fake.send(frame(0, 0, 1, 1, 0));
    ab_status status = AB_OK;
    long long took = ms_taken([&] { read_samples(*board, 1000, &status); });
    EXPECT_EQ(status, AB_NO_ANSWER) << ab_last_error();
    EXPECT_LT(took, slow_machine_ms);
    // Unanswered, the stop still ends the stream, in bounded time.
    took = ms_taken([&] { EXPECT_EQ(ab_stream_stop(*board), AB_NO_ANSWER); });
    EXPECT_LT(took, slow_machine_ms);

    ASSERT_EQ(start(), AB_OK) << ab_last_error();
    std::thread unplug([&] {
        usleep(100000);
        board_side.fake.hang_up();
    });
    took = ms_taken([&] { read_samples(*board, 1000, &status); });
    unplug.join();
    EXPECT_EQ(status, AB_NO_PORT) << ab_last_error();
    EXPECT_LT(took, slow_machine_ms);
    ab_stream_stop(*board);
}

}  // namespace
