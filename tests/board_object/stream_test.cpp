// Streams: the board's frames read into samples, every frame checked, every
// loss counted (in the middle, at the head, at the tail, a time that goes
// back), never a wrong value; requests between the frames; a stop asked
// again until the board says so; readers woken at once; a board that stops,
// goes away or comes back.
#include <atomic>
#include <thread>

#include "board_helpers.h"
#include "stream_frame.h"

namespace {

const std::string identity = "XI arduinodrv-board 3 tag,baud,stream,scan,keep\r\n";

constexpr unsigned analog_mask = 0b101;  // inputs 0 and 2
constexpr unsigned digital_mask = 0b1111;
constexpr int interval_us = 50000;  // a 9600-baud line carries these frames every 23.4 ms

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
    const uint8_t size = stream_frame::encode(bytes, samples, analog_mask, digital_mask);
    return std::string(reinterpret_cast<const char *>(bytes), size);
}

std::string text_frame(const std::string &text)
{
    uint8_t bytes[stream_frame::longest_text + 5];
    const uint8_t size = stream_frame::encode_text(bytes, reinterpret_cast<const uint8_t *>(text.data()),
                                                   static_cast<uint8_t>(text.size()));
    return std::string(reinterpret_cast<const char *>(bytes), size);
}

// A streaming board by script: it answers as the project's sketch does (the
// identity, the stream's start and end, its uptime, A0 reading 7; answers
// framed while it streams), and the test sends the frames.
struct streaming_board {
    fake_board fake{TEST_DEVICE_FOLDER, "ttyUSB0"};
    std::atomic<bool> streaming = false;
    std::atomic<int> stops_ignored = 0;   // the next stops it does not answer
    std::atomic<uint32_t> frames_used = 0;  // what it says it numbered, at the end
    std::atomic<bool> damage_start = false;
    std::atomic<int> stops = 0;
    const std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();

    streaming_board()
    {
        fake.respond_with([this](const std::string &line) { return answer(line); });
    }

    board_reply said(const std::string &text) { return board_reply{streaming ? text_frame(text) : text}; }

    board_reply answer(const std::string &line)
    {
        if (line == "XI")
            return said(identity);
        if (line == "EA0")
            return said("7\r\n");
        if (line.size() < 2 || line.back() < 'a' || line.back() > 'z')
            return board_reply{};
        const std::string tag(1, line.back());
        const std::string command = line.substr(0, line.size() - 1);
        if (command == "XS5,15,50000") {
            const board_reply reply{damage_start ? "50\xff" "00" + tag : "50000" + tag};
            streaming = true;
            return reply;
        }
        if (command == "XE") {
            ++stops;
            if (stops_ignored > 0) {
                --stops_ignored;
                return board_reply{};
            }
            const board_reply reply = said(std::to_string(frames_used) + tag);
            streaming = false;
            return reply;
        }
        if (command == "XK") {
            const auto uptime = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
            return said(std::to_string(uptime.count()) + tag);
        }
        if (command.compare(0, 2, "XB") == 0)
            return said("0" + tag);  // no faster line
        if (command == "EA0")
            return said("7" + tag);
        return board_reply{};
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
        all.insert(all.end(), chunk, chunk + count);
        if (got != AB_OK)
            break;
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
    board_side.frames_used = 300;
    EXPECT_EQ(ab_stream_stop(*board), AB_OK) << ab_last_error();
    const ab_link link = link_of(*board);
    EXPECT_EQ(link.frames_lost + link.frames_bad + link.samples_dropped, 0u);
    EXPECT_EQ(read_analog(*board, 0).reading.raw, 7);
}

// Bytes flipped, lost, a frame cut short, noise that looks like a frame's
// start, answers among the frames that are no frames: each counted,
// skipped, and never a wrong value; a request between the frames is
// answered in its own text frame.
TEST_F(BoardStream, NoiseIsCountedAndSkippedNeverAWrongValue)
{
    ASSERT_EQ(board.status, AB_OK) << ab_last_error();
    ASSERT_EQ(start(), AB_OK) << ab_last_error();
    std::string flipped = frame(1, 10, 111, 111, 1);
    flipped[9] ^= 0x10;
    const std::string cut = frame(3, 30, 333, 333, 3).substr(0, 9);
    // A plain answer is no answer in a stream: only a checked frame is.
    const std::string wire = frame(0, 0, 100, 100, 0) + flipped + "\xA5\x5A\x03noise" + frame(2, 20, 222, 222, 2) +
                             cut + "9k\r\n" + frame(4, 40, 444, 444, 4) + frame(6, 60, 666, 666, 6);  // 5 lost on the way
    board_side.fake.send(wire);
    const std::vector<ab_sample> samples = read_samples(*board, 4);
    ASSERT_EQ(samples.size(), 4u);
    const uint32_t sequences[] = {0, 2, 4, 6};
    for (size_t i = 0; i < samples.size(); ++i) {
        EXPECT_EQ(samples[i].sequence, sequences[i]);
        EXPECT_EQ(samples[i].analog[0], sequences[i] == 0 ? 100 : static_cast<int32_t>(111 * sequences[i]));
        EXPECT_EQ(samples[i].analog[0], samples[i].analog[2]);
    }
    const analog_result got = read_analog(*board, 0);
    EXPECT_EQ(got.status, AB_OK) << ab_last_error();
    EXPECT_EQ(got.reading.raw, 7);
    const ab_link link = link_of(*board);
    EXPECT_EQ(link.frames_lost, 3u);  // 1, 3 and 5
    EXPECT_GE(link.frames_bad, 1u);   // the flipped one
    board_side.frames_used = 7;
    EXPECT_EQ(ab_stream_stop(*board), AB_OK) << ab_last_error();
}

// Frames that never came are counted from the board's numbers: before the
// first one received, and after the last (the board's count at the end).
// A board time that goes back is counted as bad, never taken for a wrap.
TEST_F(BoardStream, LossesAtTheHeadAndTheTailAndTimeGoingBackAreCounted)
{
    ASSERT_EQ(board.status, AB_OK) << ab_last_error();
    ASSERT_EQ(start(), AB_OK) << ab_last_error();
    std::string frames;
    for (uint32_t k = 3; k < 10; ++k)
        frames += frame(k, 1000000 + k * interval_us, 5, 5, 0);
    frames += frame(10, 1000000 + 9 * interval_us - 1000, 5, 5, 0);  // a millisecond back
    frames += frame(11, 1000000 + 11 * interval_us, 5, 5, 0);
    board_side.fake.send(frames);
    const std::vector<ab_sample> samples = read_samples(*board, 8);
    ASSERT_EQ(samples.size(), 8u);
    EXPECT_EQ(samples.front().sequence, 3u);
    EXPECT_EQ(samples.back().sequence, 11u);
    EXPECT_EQ(samples.back().board_time_us, 1000000 + 11 * interval_us);  // no 2^32 added
    board_side.frames_used = 62;  // 50 more after the last one received
    ASSERT_EQ(ab_stream_stop(*board), AB_OK) << ab_last_error();
    const ab_link link = link_of(*board);
    EXPECT_EQ(link.frames_lost, 3u + 50u);
    EXPECT_EQ(link.frames_bad, 1u);
}

// Samples that came before the stop stay readable until read; after them
// the stream says there is none.
TEST_F(BoardStream, SamplesReceivedBeforeTheStopStayReadable)
{
    ASSERT_EQ(board.status, AB_OK) << ab_last_error();
    ASSERT_EQ(start(), AB_OK) << ab_last_error();
    std::string frames;
    for (uint32_t k = 0; k < 300; ++k)
        frames += frame(k, k * interval_us, 1, 2, 3);
    board_side.fake.send(frames);
    board_side.frames_used = 300;
    usleep(100000);
    ASSERT_EQ(ab_stream_stop(*board), AB_OK) << ab_last_error();
    ab_status status = AB_OK;
    const std::vector<ab_sample> samples = read_samples(*board, 1000, &status);
    EXPECT_EQ(samples.size(), 300u);
    EXPECT_EQ(status, AB_NOT_STREAMING);
    EXPECT_EQ(link_of(*board).samples_dropped + link_of(*board).frames_lost, 0u);
    EXPECT_EQ(ab_stream_stop(*board), AB_NOT_STREAMING);  // stopped already
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
    board_side.frames_used = 3000;
    ab_stream_stop(*board);
}

TEST_F(BoardStream, RefusedBeforeAnythingIsSentAndRequestsGoOnBesideIt)
{
    ASSERT_EQ(board.status, AB_OK) << ab_last_error();
    board_side.fake.clear_received();
    EXPECT_EQ(ab_stream_start(*board, 0, 0, interval_us), AB_BAD_VALUE);
    EXPECT_EQ(ab_stream_start(*board, 1u << 6, 0, interval_us), AB_BAD_CHANNEL);
    EXPECT_EQ(ab_stream_start(*board, 0, 1u << 4, interval_us), AB_BAD_CHANNEL);
    EXPECT_EQ(ab_stream_start(*board, 0x3F, 0xF, 100), AB_BAD_VALUE);  // too short at 9600 baud
    EXPECT_NE(std::string(ab_last_error()).find("too short"), std::string::npos) << ab_last_error();
    EXPECT_EQ(ab_stream_start(*board, 1, 0, -5), AB_BAD_VALUE);
    size_t count = 9;
    ab_sample sample{};
    EXPECT_EQ(ab_stream_read(*board, &sample, 1, 0, &count), AB_NOT_STREAMING);  // none runs
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(ab_stream_read(*board, nullptr, 1, 0, &count), AB_BAD_ARGUMENT);
    EXPECT_EQ(ab_stream_stop(*board), AB_NOT_STREAMING);
    usleep(50000);
    EXPECT_EQ(board_side.fake.received().find_first_not_of("XK\rabcdefghijklmnopqrstuvwxyz"), std::string::npos)
        << board_side.fake.received();

    // A stream leaves the line to requests between its frames.
    ASSERT_EQ(start(), AB_OK) << ab_last_error();
    EXPECT_EQ(read_analog(*board, 0).reading.raw, 7);
    EXPECT_EQ(start(), AB_STREAMING);
    EXPECT_EQ(ab_stream_stop(*board), AB_OK) << ab_last_error();
}

// A stop whose answer is lost is asked again; one that never comes ends
// the stream all the same, and the board is left to its silence rule.
TEST_F(BoardStream, ALostStopIsAskedAgain)
{
    ASSERT_EQ(board.status, AB_OK) << ab_last_error();
    ASSERT_EQ(start(), AB_OK) << ab_last_error();
    board_side.stops_ignored = 1;
    const int before = board_side.stops;  // the open's, which ends any stream left running
    EXPECT_EQ(ab_stream_stop(*board), AB_OK) << ab_last_error();
    EXPECT_EQ(board_side.stops, before + 2);
    EXPECT_FALSE(board_side.streaming);

    ASSERT_EQ(start(), AB_OK) << ab_last_error();
    board_side.stops_ignored = 1000;
    const long long took = ms_taken([&] { EXPECT_EQ(ab_stream_stop(*board), AB_NO_ANSWER); });
    EXPECT_LT(took, 500 + slow_machine_ms);
    size_t count = 0;
    ab_sample sample{};
    EXPECT_NE(ab_stream_read(*board, &sample, 1, 0, &count), AB_OK);
    // The reader waits out the board's silence rule, then the board is used
    // again.
    board_side.stops_ignored = 0;
    board_side.streaming = false;  // as the board's silence rule leaves it
    EXPECT_TRUE(eventually([&] { return read_analog(*board, 0).reading.raw == 7; }));
}

// A start whose answer came damaged: the board may be streaming, so it is
// stopped, and nothing streams that no one reads.
TEST_F(BoardStream, ADamagedStartIsNoStreamAndNoneIsLeftRunning)
{
    ASSERT_EQ(board.status, AB_OK) << ab_last_error();
    board_side.damage_start = true;
    EXPECT_EQ(start(), AB_NO_ANSWER);
    EXPECT_GE(board_side.stops, 1);
    EXPECT_FALSE(board_side.streaming);
    size_t count = 0;
    ab_sample sample{};
    EXPECT_EQ(ab_stream_read(*board, &sample, 1, 0, &count), AB_NOT_STREAMING);
    board_side.damage_start = false;
    EXPECT_EQ(start(), AB_OK) << ab_last_error();
    EXPECT_EQ(ab_stream_stop(*board), AB_OK) << ab_last_error();
}

// A read waiting for samples is woken at once by a stop from another
// thread, and by silence after three intervals and 100 ms.
TEST_F(BoardStream, WaitingReadersAreWokenByAStopAndBySilence)
{
    ASSERT_EQ(board.status, AB_OK) << ab_last_error();
    ASSERT_EQ(start(), AB_OK) << ab_last_error();
    board_side.fake.send(frame(0, 0, 1, 1, 0));
    size_t count = 0;
    ab_sample sample{};
    ASSERT_EQ(ab_stream_read(*board, &sample, 1, 1000, &count), AB_OK);
    // Silence: said once the board has sent nothing for 3 x 50 + 100 ms.
    ab_status status = AB_OK;
    long long took = ms_taken([&] { status = ab_stream_read(*board, &sample, 1, 5000, &count); });
    EXPECT_EQ(status, AB_NO_ANSWER) << ab_last_error();
    EXPECT_GE(took, 200);
    EXPECT_LT(took, 250 + slow_machine_ms / 5);

    // A fresh frame: the stream is not silent now.
    board_side.fake.send(frame(1, interval_us, 1, 1, 0));
    ASSERT_TRUE(eventually([&] { return ab_stream_read(*board, &sample, 1, 100, &count) == AB_OK && count == 1; }));
    std::atomic<long long> waited = -1;
    std::thread reader([&] {
        size_t got = 0;
        ab_sample one{};
        waited = ms_taken([&] { status = ab_stream_read(*board, &one, 1, 5000, &got); });
    });
    usleep(50000);
    EXPECT_EQ(ab_stream_stop(*board), AB_OK) << ab_last_error();
    reader.join();
    EXPECT_EQ(status, AB_NOT_STREAMING);
    EXPECT_LT(waited, 50 + slow_machine_ms / 5);
}

// A board unplugged mid-stream: its reads end with AB_NO_PORT after the
// samples that came; once the board is back, requests and a new stream.
TEST_F(BoardStream, AnUnplugEndsTheStreamAndTheBoardIsUsedOnceBack)
{
    ASSERT_EQ(board.status, AB_OK) << ab_last_error();
    ASSERT_EQ(start(), AB_OK) << ab_last_error();
    board_side.fake.send(frame(0, 0, 1, 1, 0) + frame(1, interval_us, 1, 1, 0));
    usleep(50000);
    board_side.fake.hang_up();
    ab_status status = AB_OK;
    const long long took = ms_taken([&] {
        const std::vector<ab_sample> samples = read_samples(*board, 1000, &status);
        EXPECT_EQ(samples.size(), 2u);
    });
    EXPECT_EQ(status, AB_NO_PORT) << ab_last_error();
    EXPECT_LT(took, slow_machine_ms);
    EXPECT_EQ(link_of(*board).connected, 0);

    // The same name leads to the board again.
    streaming_board back;
    EXPECT_TRUE(eventually([&] { return read_analog(*board, 0).reading.raw == 7; }));
    EXPECT_EQ(ab_stream_start(*board, analog_mask, digital_mask, interval_us), AB_OK) << ab_last_error();
    back.fake.send(frame(0, 0, 9, 9, 0));
    const std::vector<ab_sample> samples = read_samples(*board, 1);
    ASSERT_EQ(samples.size(), 1u);
    EXPECT_EQ(samples[0].analog[0], 9);
    EXPECT_EQ(ab_stream_stop(*board), AB_OK) << ab_last_error();
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

// The project's sketch streams six inputs at 1 kHz on the fast line, with
// a request every 10 ms beside it: nothing lost, every value right. (The
// line is not paced: the fake board's thread cannot put a byte on it every
// 10 us.)
TEST(BoardStreamSketch, SixInputsAt1kHzWithRequestsBesideThem)
{
    if (!lines_can_move())
        GTEST_SKIP() << "this system cannot give a line any rate (termios2 is missing under qemu-i386)";
    fake_board fake(TEST_DEVICE_FOLDER, "ttyUSB0");
    sketch_pins pins;
    for (int channel = 0; channel < 6; ++channel)
        pins.analog[channel] = static_cast<uint16_t>(10 + channel);
    fake.answer_as_sketch(pins);
    open_board board(fake, fake_board_options(1000));
    ASSERT_EQ(board.status, AB_OK) << ab_last_error();
    ASSERT_EQ(link_of(*board).baud, 1000000);
    ASSERT_EQ(ab_stream_start(*board, 0x3F, 0, 1000), AB_OK) << ab_last_error();
    std::vector<ab_sample> samples;
    ab_sample chunk[128];
    int requests = 0, right = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (std::chrono::steady_clock::now() < end) {
        size_t count = 0;
        ASSERT_EQ(ab_stream_read(*board, chunk, std::size(chunk), 0, &count), AB_OK) << ab_last_error();
        samples.insert(samples.end(), chunk, chunk + count);
        const analog_result got = read_analog(*board, requests % 6);
        right += got.status == AB_OK && got.reading.raw == 10 + requests % 6;
        ++requests;
        usleep(10000);
    }
    ASSERT_EQ(ab_stream_stop(*board), AB_OK) << ab_last_error();
    size_t count = 0;
    while (ab_stream_read(*board, chunk, std::size(chunk), 0, &count) == AB_OK && count > 0)
        samples.insert(samples.end(), chunk, chunk + count);
    EXPECT_EQ(right, requests);
    EXPECT_GE(samples.size(), 1000u);
    for (const ab_sample &sample : samples)
        for (int channel = 0; channel < 6; ++channel)
            ASSERT_EQ(sample.analog[channel], 10 + channel);
    const ab_link link = link_of(*board);
    EXPECT_EQ(link.frames_bad, 0u);
    EXPECT_EQ(link.samples_dropped, 0u);
    // The fake board skips a tick its thread woke more than an interval
    // late for, as the chip does: only a busy machine loses any.
    EXPECT_LE(link.frames_lost, samples.size() / 20);
}

}  // namespace
