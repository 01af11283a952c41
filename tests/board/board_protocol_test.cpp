// The board's command interpreter against the lines the driver sends and
// against lines that no driver should send.
#include "board_protocol.h"
#include "recording_board.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <random>
#include <regex>
#include <string>

namespace {

class interpreter_test : public ::testing::Test {
protected:
    recording_board board;
    command_interpreter interpreter{board, 6};

    std::string feed(const std::string &bytes) { return feed_lines(interpreter, bytes); }
};

TEST_F(interpreter_test, analog_command_of_the_driver_is_answered_with_one_line)
{
    board.analog[3] = 512;
    EXPECT_EQ(feed("EA3\r\r"), "A");  // the second CR is an empty line
    EXPECT_EQ(board.sent, "512\r\n");

    board.sent.clear();
    board.analog[0] = 0;
    board.analog[5] = 1023;
    feed("EA0\r\rEA5\r\r");
    EXPECT_EQ(board.sent, std::string("0\r\n1023\r\n"));
    EXPECT_EQ(board.actions, "analog 3;analog 0;analog 5;");
}

TEST_F(interpreter_test, analog_channels_the_board_lacks_read_zero)
{
    for (int i = 0; i < 8; ++i)
        board.analog[i] = 700;
    // ead's decimal forms and ea's one-character forms (channel 10 is ':',
    // channel -1 is '/').
    EXPECT_EQ(feed("EA6\r\rEA10\r\rEA:\r\rEA-1\r\rEA/\r\rEA99999999999\r\r"), "AAAAAA");
    EXPECT_EQ(board.sent, "0\r\n0\r\n0\r\n0\r\n0\r\n0\r\n");
    EXPECT_EQ(board.actions, "");  // no channel outside the board is ever read
}

TEST_F(interpreter_test, analog_lines_that_are_not_commands_are_ignored)
{
    board.analog[0] = 9;
    EXPECT_EQ(feed("EA\rEA 0\rEA0 \rEA+0\rEA0X\rea0\rEA--1\rEA-0-\rE\rA0\r"), "IIIIIIIIII");
    EXPECT_EQ(board.sent, "");
}

TEST_F(interpreter_test, digital_input_is_answered_with_one_raw_byte)
{
    board.digital[2] = true;
    board.digital[8] = false;
    EXPECT_EQ(feed("EB2\rEB8\r"), "AA");
    EXPECT_EQ(board.sent, std::string("\x01\x00", 2));  // never the characters '1'/'0', never a line end
    EXPECT_EQ(board.actions, "read 2;read 8;");
}

TEST_F(interpreter_test, serial_pins_and_missing_pins_are_never_read)
{
    for (bool &level : board.digital)
        level = true;
    // EB0 is what the driver sends for a channel without a pin.
    feed("EB0\rEB1\rEB14\rEB-3\rEB99999999999\r");
    EXPECT_EQ(board.sent, std::string(5, '\0'));
    EXPECT_EQ(board.actions, "");
    feed("EB\rEBx\rEB2 \r");
    EXPECT_EQ(board.sent.size(), 5u);
}

TEST_F(interpreter_test, pwm_values_are_clamped_and_never_answered)
{
    EXPECT_EQ(feed("SA3255\rSA90\rSA5128\rSA6-1\rSA31000\rSA5-2147483648\rSA999999999999999\r"),
              "SSSSSSS");
    EXPECT_EQ(board.actions, "pwm 3=255;pwm 9=0;pwm 5=128;pwm 6=0;pwm 3=255;pwm 5=0;pwm 9=255;");
    EXPECT_EQ(board.sent, "");
}

TEST_F(interpreter_test, pwm_lines_for_other_pins_or_without_value_are_ignored)
{
    EXPECT_EQ(feed("SA4100\rSA0100\rSA10100\rSA3\rSA3-\rSA3+5\rSA3 5\rSA\rSAx5\r"), "IIIIIIIII");
    EXPECT_EQ(board.actions, "");
}

TEST_F(interpreter_test, digital_outputs_take_one_hex_pin_code)
{
    EXPECT_EQ(feed("SBA1\rSBD0\rSBB0\rSBC1\rSB21\rSBa0\r"), "SSSSSS");
    EXPECT_EQ(board.actions, "out 10=1;out 13=0;out 11=0;out 12=1;out 2=1;out 10=0;");
    EXPECT_EQ(board.sent, "");
}

TEST_F(interpreter_test, digital_outputs_never_touch_the_serial_pins_or_odd_values)
{
    // "SB01" is what the driver sends for a channel without a pin.
    EXPECT_EQ(feed("SB01\rSB00\rSB11\rSBE1\rSBF0\rSBA2\rSBA\rSBA10\rSBG1\r"), "IIIIIIIII");
    EXPECT_EQ(board.actions, "");
}

TEST_F(interpreter_test, lines_end_at_cr_or_lf_and_empty_lines_do_nothing)
{
    board.analog[1] = 42;
    EXPECT_EQ(feed("\r\n\r\r\n\nEA1\nEA1\r\nSBA1\n"), "AAS");
    EXPECT_EQ(board.sent, "42\r\n42\r\n");
}

TEST_F(interpreter_test, over_long_line_is_dropped_whole_and_the_next_one_works)
{
    board.analog[0] = 7;
    const std::string overlong = std::string(40, '0') + "EA0";
    EXPECT_EQ(feed(overlong + "\r"), "D");
    EXPECT_EQ(feed(std::string(1000, 'x') + "\rEA0\r"), "DA");
    EXPECT_EQ(board.sent, "7\r\n");

    // The buffer's full length still holds a command.
    const std::string longest = "SA3" + std::string(command_interpreter::line_capacity - 6, '0') + "200";
    ASSERT_EQ(longest.size(), command_interpreter::line_capacity);
    EXPECT_EQ(feed(longest + "\r"), "S");
    EXPECT_EQ(feed("S" + longest + "\r"), "D");
    EXPECT_EQ(board.actions, "analog 0;pwm 3=200;");
}

TEST_F(interpreter_test, binary_and_zero_bytes_never_make_a_command)
{
    board.analog[0] = 5;
    const char hostile[] = "E\0A0\rEA0\0\r\xff\xfe\x80\r\0\r";
    EXPECT_EQ(feed(std::string(hostile, sizeof hostile - 1)), "IIII");
    // ea's raw form of channel -48 is a zero byte: a channel the board lacks.
    const char zero_channel[] = "EA\0\r";
    EXPECT_EQ(feed(std::string(zero_channel, sizeof zero_channel - 1)), "A");
    EXPECT_EQ(board.sent, "0\r\n");
    EXPECT_EQ(board.actions, "");
}

TEST_F(interpreter_test, completed_line_can_be_read_back)
{
    feed("SA3255\r");
    EXPECT_EQ(std::string(interpreter.line(), interpreter.line_length()), "SA3255");
    feed("\r");  // an empty line leaves nothing to report
    EXPECT_EQ(interpreter.line_length(), 0u);
}

TEST_F(interpreter_test, random_bytes_give_only_well_formed_answers)
{
    // Seeded, so a failure repeats. Lines are built from command heads and
    // likely bytes, with a stray byte of any value now and then, so that many
    // near-commands are made.
    std::mt19937 random(6);
    const char *heads[] = {"EA", "EB", "SA", "SB", "E", "S", "", "XI", "XB", "XS", "XE", "XA", "XK", "X"};
    const std::string likely = "0123456789-:ABCD#,akz";
    std::string bytes;
    for (int line = 0; line < 30000; ++line) {
        bytes += heads[random() % std::size(heads)];
        for (uint32_t n = random() % 8; n > 0; --n) {
            const uint32_t pick = random();
            bytes.push_back(pick % 8 == 0 ? static_cast<char>(pick >> 8) : likely[(pick >> 8) % likely.size()]);
        }
        bytes.push_back(random() % 2 ? '\r' : '\n');
    }
    for (int i = 0; i < 6; ++i)
        board.analog[i] = static_cast<uint16_t>(100 * i + 1);
    for (bool &level : board.digital)
        level = true;
    // Tagged answers: a reading, a level, a rate, an interval, a count or an
    // uptime, all six inputs, or an output's confirmation, then the tag.
    const std::regex extension_answer("XI arduinodrv-board 3 tag,baud,stream,scan,keep\r\n|"
                                      "([0-9]{1,10}|([0-9]{1,4},){6}[01]{4})?[a-z]");
    size_t answers = 0, extended = 0;
    for (char c : bytes) {
        const size_t before = board.sent.size();
        if (interpreter.feed(static_cast<uint8_t>(c)) == line_outcome::answered)
            ++answers;
        const std::string answer = board.sent.substr(before);
        const bool raw_byte = answer == std::string(1, '\0') || answer == "\x01";
        const bool reading = answer.size() >= 3 && answer.size() <= 5 &&
                             answer.compare(answer.size() - 2, 2, "\r\n") == 0 &&
                             answer.find_first_not_of("0123456789") == answer.size() - 2;
        const bool extension = !answer.empty() && !raw_byte && !reading && std::regex_match(answer, extension_answer);
        extended += extension;
        ASSERT_TRUE(answer.empty() || raw_byte || reading || extension) << "after line "
            << std::string(interpreter.line(), interpreter.line_length());
    }
    EXPECT_GT(answers, 100u);
    EXPECT_GT(extended, 10u);
}

// The extensions of the project's sketch.

std::string bytes(std::initializer_list<int> values)
{
    std::string text;
    for (int value : values)
        text.push_back(static_cast<char>(value));
    return text;
}

// The text a text frame carries, or "(no text frame)".
std::string framed_text(const std::string &frame)
{
    uint8_t length = 0;
    const auto *at = reinterpret_cast<const uint8_t *>(frame.data());
    if (stream_frame::decode_text(at, static_cast<uint16_t>(frame.size()), length) != stream_frame::scan::frame ||
        frame.size() != length + 5u)
        return "(no text frame)";
    return frame.substr(stream_frame::payload_offset, length);
}

TEST_F(interpreter_test, identifies_itself_and_a_classic_interpreter_ignores_every_extension)
{
    EXPECT_EQ(feed("XI\r"), "A");
    EXPECT_EQ(board.sent, "XI arduinodrv-board 3 tag,baud,stream,scan,keep\r\n");
    EXPECT_EQ(feed("XI \rXIX\rxi\rX\rXZ\rXIk\rXZk\r"), "IIIIIII");

    recording_board classic_board;
    command_interpreter classic(classic_board, 6, sketch_kind::classic);
    expect_classic(classic_board, classic);
}

TEST_F(interpreter_test, tagged_commands_are_answered_by_their_value_and_tag_alone)
{
    board.analog[3] = 512;
    board.digital[2] = true;
    EXPECT_EQ(feed("EA3k\rEB2a\rEB4z\rEA6b\rEA-1c\rEA03d\rEB0e\r"), "AAAAAAA");
    EXPECT_EQ(board.sent, "512k1a0z0b0c512d0e");
    EXPECT_EQ(board.actions, "analog 3;read 2;read 4;analog 3;");  // never a channel or pin it lacks

    // Outputs say that they were set; a duty is clamped as ever.
    board.sent.clear();
    board.actions.clear();
    EXPECT_EQ(feed("SA3255f\rSA5-4g\rSBA1h\rSB20i\r"), "SSSS");
    EXPECT_EQ(board.sent, "fghi");
    EXPECT_EQ(board.actions, "pwm 3=255;pwm 5=0;out 10=1;out 2=0;");
}

TEST_F(interpreter_test, classic_forms_stay_classic_and_malformed_tags_are_ignored)
{
    board.analog[3] = 5;
    // "EAk" is the 71 exports' channel 59 (48 + 59 is 'k'): a channel the
    // board lacks, answered the classic way.
    EXPECT_EQ(feed("EAk\r"), "A");
    EXPECT_EQ(board.sent, "0\r\n");
    board.sent.clear();
    EXPECT_EQ(feed("EA3K\rEA3kk\rEA 3k\rEA3 k\rEA3#k\rEAk3\rEBk\rEB2kk\rSA3k\rSA7100k\rSBA2k\rSBAk\rSBA1kk\r"
                   "XAa1\rXA1k\rXKk1\rXEkk\rXB9600\rXS1,0,100000\r"),
              "IIIIIIIIIIIIIIIIIII");
    EXPECT_EQ(board.sent, "");
    EXPECT_EQ(board.actions, "");
    // The earlier protocol's tags are no tags.
    EXPECT_EQ(feed("EA3#17\rEB2#0\rXE\r"), "III");
    EXPECT_EQ(board.sent, "");
}

TEST_F(interpreter_test, every_input_at_once_and_the_uptime)
{
    for (int i = 0; i < 6; ++i)
        board.analog[i] = static_cast<uint16_t>(i == 2 ? 1023 : 100 * i);
    board.digital[4] = board.digital[8] = true;
    EXPECT_EQ(feed("XAq\r"), "A");
    EXPECT_EQ(board.sent, "0,100,1023,300,400,500,0101q");
    EXPECT_EQ(board.actions, "analog 0;analog 1;analog 2;analog 3;analog 4;analog 5;read 2;read 4;read 7;read 8;");

    board.sent.clear();
    board.now_us = 1234567;
    EXPECT_EQ(feed("XKr\r"), "A");
    EXPECT_EQ(board.sent, "1234r");
    // Across the wrap of the microsecond clock, counted on.
    board.now_us = 0xFFFFFFF0;
    interpreter.poll();
    board.now_us = 2000000;  // 2^32 + 2 s after the start
    feed("XKs\r");
    EXPECT_EQ(board.sent, "1234r4296967s");
    // Two weeks on: ten digits, written without a divider.
    for (int step = 0; step < 600; ++step) {
        board.now_us += 2000000000u;
        interpreter.poll();
    }
    board.sent.clear();
    feed("XKt\r");
    EXPECT_EQ(board.sent, "1204296967t");
    uint32_t due = 0;
    ASSERT_TRUE(interpreter.next_due(due));
    EXPECT_EQ(due, board.now_us + 60000000u);  // keeps its uptime, at least every minute
}

TEST_F(interpreter_test, line_moves_after_its_answer_and_back_when_the_host_goes_silent)
{
    board.now_us = 100;
    EXPECT_EQ(feed("XB250000k\r"), "A");
    EXPECT_EQ(board.sent, "250000k");
    EXPECT_EQ(board.actions, "rate 250000 after 7;");  // once the answer was sent whole
    EXPECT_EQ(interpreter.line_rate(), 250000u);
    const uint32_t silence_us = board_wire::host_silence_ms * 1000;
    uint32_t due = 0;
    ASSERT_TRUE(interpreter.next_due(due));
    EXPECT_EQ(due, 100u + silence_us);

    // Bytes at the wrong rate are no line it understands; a half line is
    // forgotten with the rate.
    board.now_us = 1000;
    EXPECT_EQ(feed(std::string("\xff\x80\x00\r", 4)), "I");
    feed("EA");
    board.now_us = 100 + silence_us - 1;
    interpreter.poll();
    EXPECT_EQ(interpreter.line_rate(), 250000u);
    board.now_us += 1;
    interpreter.poll();
    EXPECT_EQ(interpreter.line_rate(), 9600u);
    EXPECT_EQ(board.actions, "rate 250000 after 7;rate 9600 after 7;");
    board.analog[0] = 7;
    EXPECT_EQ(feed("0\rEA0\r"), "IA");  // not "EA0"
    EXPECT_EQ(board.sent, "250000k7\r\n");
    // At 9600 with no stream, silence changes nothing.
    board.actions.clear();
    board.now_us += 10 * silence_us;
    interpreter.poll();
    EXPECT_EQ(board.actions, "");
}

TEST_F(interpreter_test, each_line_understood_keeps_the_rate_for_another_silence)
{
    const uint32_t silence_us = board_wire::host_silence_ms * 1000;
    EXPECT_EQ(feed("XB1000000a\r"), "A");
    for (int i = 1; i <= 5; ++i) {
        board.now_us = static_cast<uint32_t>(i) * (silence_us - 1);
        interpreter.poll();
        EXPECT_EQ(feed("SBA1b\r"), "S");  // a classic command counts as well as any
    }
    EXPECT_EQ(interpreter.line_rate(), 1000000u);
    // Back to 9600 at the host's word too, after the answer.
    EXPECT_EQ(feed("XB9600c\r"), "A");
    EXPECT_EQ(interpreter.line_rate(), 9600u);
    EXPECT_EQ(board.actions.substr(board.actions.rfind("rate")), "rate 9600 after 18;");
}

TEST_F(interpreter_test, only_the_exact_rates_are_taken)
{
    EXPECT_EQ(feed("XB115200a\rXB0b\rXB1000001c\rXB99999999999d\rXB9600e\r"), "AAAAA");
    EXPECT_EQ(board.sent, "0a0b0c0d9600e");
    EXPECT_EQ(feed("XBf\rXB09600g\rXB-9600h\rXB 9600i\r"), "IIII");
    EXPECT_EQ(board.actions, "");  // 9600 is where it is
}

class stream_test : public interpreter_test {
protected:
    // A0, A2, pins 2 and 8 at 9600 baud: 18-byte frames.
    void start(uint32_t interval_us = 25000)
    {
        board.analog[0] = 0x123;
        board.analog[2] = 1023;
        board.digital[2] = board.digital[4] = board.digital[8] = true;
        board.now_us = 1000;
        ASSERT_EQ(feed("XS5,9," + std::to_string(interval_us) + "s\r"), "A");
        ASSERT_EQ(board.sent, std::to_string(interval_us) + "s");  // not framed: no stream ran yet
        board.sent.clear();
        board.actions.clear();
    }

    void at(uint32_t now_us)
    {
        board.now_us = now_us;
        interpreter.poll();
    }
};

TEST_F(stream_test, frames_carry_the_tick_time_and_the_inputs_byte_for_byte)
{
    start();
    uint32_t due = 0;
    ASSERT_TRUE(interpreter.next_due(due));
    EXPECT_EQ(due, 26000u);
    at(25999);
    EXPECT_EQ(board.sent, "");
    at(26003);  // sampled a little late, stamped with its tick
    EXPECT_EQ(board.sent, bytes({0xA5, 0x5A, 13, 0, 0, 0, 0, 0x90, 0x65, 0, 0, 0x23, 0x01, 0xFF, 0x03, 0x09, 0x44, 0x76}));
    EXPECT_EQ(board.actions, "analog 0;analog 2;read 2;read 8;");
    board.sent.clear();
    at(51000);
    EXPECT_EQ(board.sent, bytes({0xA5, 0x5A, 13, 1, 0, 0, 0, 0x38, 0xC7, 0, 0, 0x23, 0x01, 0xFF, 0x03, 0x09, 0xD9, 0x0B}));

    stream_frame::sample_set samples{};
    ASSERT_EQ(stream_frame::decode(reinterpret_cast<const uint8_t *>(board.sent.data()), 18, 5, 9, samples),
              stream_frame::scan::frame);
    EXPECT_EQ(samples.sequence, 1u);
    EXPECT_EQ(samples.time_us, 51000u);
    EXPECT_EQ(samples.analog[2], 1023);
    EXPECT_EQ(samples.digital, 9);
}

TEST_F(stream_test, late_ticks_and_a_full_buffer_use_their_numbers_and_the_end_counts_them)
{
    start();
    at(26000);              // frame 0
    at(26000 + 3 * 25000);  // ticks 1 and 2 are gone: frame 3, stamped 101000
    board.room = 17;        // one byte short of a frame
    at(126000);             // frame 4 dropped
    board.room = 63;
    EXPECT_EQ(board.sent.size(), 2 * 18u);
    stream_frame::sample_set samples{};
    ASSERT_EQ(stream_frame::decode(reinterpret_cast<const uint8_t *>(board.sent.data()) + 18, 18, 5, 9, samples),
              stream_frame::scan::frame);
    EXPECT_EQ(samples.sequence, 3u);
    EXPECT_EQ(samples.time_us, 101000u);
    EXPECT_EQ(interpreter.frames_used(), 5u);
    EXPECT_EQ(interpreter.frames_dropped(), 3u);

    // Requests are answered between frames, each answer in a text frame;
    // the end comes after the last frame, and asked again it says the same.
    board.sent.clear();
    EXPECT_EQ(feed("EA0t\r"), "A");
    EXPECT_EQ(framed_text(board.sent), "291t");
    board.sent.clear();
    EXPECT_EQ(feed("XEu\r"), "A");
    EXPECT_EQ(framed_text(board.sent), "5u");
    board.sent.clear();
    at(1000000);
    EXPECT_EQ(board.sent, "");  // nothing after the end
    EXPECT_EQ(feed("XEv\rEA0w\r"), "AA");
    EXPECT_EQ(board.sent, "5v291w");  // no stream: no frames
}

TEST_F(stream_test, a_stream_whose_host_went_silent_ends_by_itself)
{
    start(100000);
    const uint32_t silence_us = board_wire::host_silence_ms * 1000;
    at(1000 + silence_us - 1);
    EXPECT_TRUE(interpreter.streaming());
    const size_t frames = board.sent.size();
    EXPECT_EQ(feed("XKa\r"), "A");  // the host's word: another silence
    at(1000 + 2 * silence_us - 2);
    EXPECT_TRUE(interpreter.streaming());
    at(1000 + 2 * silence_us);
    EXPECT_FALSE(interpreter.streaming());
    EXPECT_GT(board.sent.size(), frames);
    board.sent.clear();
    at(1000 + 3 * silence_us);
    EXPECT_EQ(board.sent, "");
    EXPECT_EQ(interpreter.line_rate(), 9600u);
}

TEST_F(stream_test, the_identity_and_classic_answers_are_framed_during_a_stream)
{
    start();
    EXPECT_EQ(feed("XI\r"), "A");
    EXPECT_EQ(framed_text(board.sent), "XI arduinodrv-board 3 tag,baud,stream,scan,keep\r\n");
    board.sent.clear();
    EXPECT_EQ(feed("EA2\r"), "A");
    EXPECT_EQ(framed_text(board.sent), "1023\r\n");
    board.sent.clear();
    EXPECT_EQ(feed("XAb\r"), "A");
    EXPECT_EQ(framed_text(board.sent), "291,0,1023,0,0,0,1101b");
}

TEST_F(stream_test, board_time_keeps_the_interval_across_the_clock_wrap)
{
    board.analog[1] = 9;
    board.now_us = 0xFFFFFFFF - 15000;
    ASSERT_EQ(feed("XS2,0,30000a\r"), "A");
    board.sent.clear();
    at(0xFFFFFFFF - 15000 + 30000);  // past the wrap
    at(0xFFFFFFFF - 15000 + 60000);
    stream_frame::sample_set first{}, second{};
    const auto *frames = reinterpret_cast<const uint8_t *>(board.sent.data());
    const uint8_t size = stream_frame::frame_bytes(2, 0);
    ASSERT_EQ(board.sent.size(), 2u * size);
    ASSERT_EQ(stream_frame::decode(frames, size, 2, 0, first), stream_frame::scan::frame);
    ASSERT_EQ(stream_frame::decode(frames + size, size, 2, 0, second), stream_frame::scan::frame);
    EXPECT_EQ(first.time_us, 14999u);
    EXPECT_EQ(second.time_us - first.time_us, 30000u);
    EXPECT_EQ(second.analog[1], 9);
}

TEST_F(interpreter_test, streams_that_cannot_be_kept_are_refused_before_they_start)
{
    const uint32_t shortest = stream_frame::shortest_interval_us(63, 15, 9600);
    const std::string at_least = std::to_string(shortest);
    EXPECT_EQ(feed("XS64,0,100000a\rXS0,16,100000b\rXS0,0,100000c\rXS63,15," + std::to_string(shortest - 1) +
                   "d\rXS1,0,1000000001e\r"),
              "AAAAA");
    EXPECT_EQ(board.sent, "0a0b0c0d0e");
    EXPECT_EQ(feed("XS1,0f\rXS1,0,g\rXS1,,1000h\rXS01,0,100000i\rXS1,0,100000,1j\rXS 1,0,100000k\r"), "IIIIII");
    EXPECT_FALSE(interpreter.streaming());

    board.sent.clear();
    EXPECT_EQ(feed("XS63,15," + at_least + "l\r"), "A");
    EXPECT_EQ(board.sent, at_least + "l");
    EXPECT_TRUE(interpreter.streaming());
    board.sent.clear();
    EXPECT_EQ(feed("XS1,0,100000m\r"), "A");  // one at a time
    EXPECT_EQ(framed_text(board.sent), "0m");
    board.sent.clear();
    EXPECT_EQ(feed("XB250000n\r"), "A");  // and the rate stays
    EXPECT_EQ(framed_text(board.sent), "0n");
}

TEST(stream_frame, check_value_and_shortest_interval)
{
    const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(stream_frame::crc(check, 9), 0x29B1);
    EXPECT_EQ(stream_frame::frame_bytes(63, 15), stream_frame::longest_frame);
    EXPECT_EQ(stream_frame::frame_bytes(1, 0), 15);

    // All six inputs at 1 kHz need a line of 500000 baud or more.
    EXPECT_GT(stream_frame::shortest_interval_us(63, 0, 250000), 1000u);
    EXPECT_LE(stream_frame::shortest_interval_us(63, 0, 500000), 1000u);
    EXPECT_LE(stream_frame::shortest_interval_us(63, 15, 1000000), 1000u);
    // The line's bits with a quarter more, never below the chip's own time.
    EXPECT_EQ(stream_frame::shortest_interval_us(1, 0, 9600), 15625u + 3907u);  // 15 bytes
    EXPECT_GE(stream_frame::shortest_interval_us(1, 0, 1000000), stream_frame::conversion_us);
    EXPECT_EQ(stream_frame::shortest_interval_us(0, 0, 9600), 0xFFFFFFFFu);
    EXPECT_EQ(stream_frame::shortest_interval_us(1, 0, 0), 0xFFFFFFFFu);
}

TEST(stream_frame, damaged_frames_and_noise_are_never_read_as_frames)
{
    stream_frame::sample_set sent{7, 123456, {1, 2, 3, 4, 5, 1023}, 0x0A};
    uint8_t frame[stream_frame::longest_frame];
    const uint8_t size = stream_frame::encode(frame, sent, 63, 15);
    stream_frame::sample_set got{};
    ASSERT_EQ(stream_frame::decode(frame, size, 63, 15, got), stream_frame::scan::frame);
    EXPECT_EQ(got.analog[5], 1023);
    EXPECT_EQ(got.digital, 0x0A);
    for (uint8_t cut = 0; cut < size; ++cut)
        EXPECT_EQ(stream_frame::decode(frame, cut, 63, 15, got), stream_frame::scan::incomplete) << int(cut);
    // Every single flipped bit is seen, and a frame of other masks is no frame.
    for (uint8_t at = 0; at < size; ++at) {
        for (int bit = 0; bit < 8; ++bit) {
            frame[at] ^= static_cast<uint8_t>(1 << bit);
            EXPECT_EQ(stream_frame::decode(frame, size, 63, 15, got), stream_frame::scan::not_a_frame) << int(at);
            frame[at] ^= static_cast<uint8_t>(1 << bit);
        }
    }
    EXPECT_EQ(stream_frame::decode(frame, size, 63, 0, got), stream_frame::scan::not_a_frame);
    // A value the converter cannot give, even with a right check value.
    sent.analog[0] = 1024;
    stream_frame::encode(frame, sent, 63, 15);
    EXPECT_EQ(stream_frame::decode(frame, size, 63, 15, got), stream_frame::scan::not_a_frame);
}

TEST(stream_frame, text_frames_and_frames_of_any_masks_are_checked_whole)
{
    const std::string text = "XI arduinodrv-board 3 tag,baud,stream,scan,keep\r\n";
    uint8_t frame[stream_frame::longest_text + 5];
    const uint8_t size = stream_frame::encode_text(frame, reinterpret_cast<const uint8_t *>(text.data()),
                                                   static_cast<uint8_t>(text.size()));
    ASSERT_EQ(size, text.size() + 5);
    uint8_t length = 0;
    ASSERT_EQ(stream_frame::decode_text(frame, size, length), stream_frame::scan::frame);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(frame) + 3, length), text);
    for (uint8_t cut = 0; cut < size; ++cut)
        EXPECT_EQ(stream_frame::decode_text(frame, cut, length), stream_frame::scan::incomplete) << int(cut);
    for (uint8_t at = 0; at < size; ++at) {
        frame[at] ^= 0x10;
        EXPECT_EQ(stream_frame::decode_text(frame, size, length), stream_frame::scan::not_a_frame) << int(at);
        frame[at] ^= 0x10;
    }
    EXPECT_EQ(stream_frame::encode_text(frame, frame, 0), 0);
    EXPECT_EQ(stream_frame::encode_text(frame, frame, stream_frame::longest_text + 1), 0);
    uint8_t whole = 0;
    EXPECT_EQ(stream_frame::decode_any_samples(frame, size, whole), stream_frame::scan::not_a_frame);

    // A sample frame is known for one without its stream's masks.
    stream_frame::sample_set samples{3, 9, {1, 0, 7, 0, 0, 0}, 1};
    uint8_t sample_frame[stream_frame::longest_frame];
    const uint8_t sample_size = stream_frame::encode(sample_frame, samples, 5, 1);
    ASSERT_EQ(stream_frame::decode_any_samples(sample_frame, sample_size, whole), stream_frame::scan::frame);
    EXPECT_EQ(whole, sample_size);
    EXPECT_EQ(stream_frame::decode_text(sample_frame, sample_size, length), stream_frame::scan::not_a_frame);
    sample_frame[sample_size - 1] ^= 1;
    EXPECT_EQ(stream_frame::decode_any_samples(sample_frame, sample_size, whole), stream_frame::scan::not_a_frame);
}

}  // namespace
