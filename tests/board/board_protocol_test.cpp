// The board's command interpreter against the lines the driver sends and
// against lines that no driver should send.
#include "board_protocol.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

namespace {

// A board whose inputs the test sets and whose outputs and answers it records.
class recording_board : public board_io {
public:
    uint16_t analog[8] = {};
    bool digital[20] = {};
    std::string sent;     // answer bytes
    std::string actions;  // "pwm 3=255;", "out 10=1;", "read 2;" ...

    uint16_t read_analog(uint8_t channel) override
    {
        actions += "analog " + std::to_string(channel) + ";";
        return analog[channel];
    }
    bool read_digital(uint8_t pin) override
    {
        actions += "read " + std::to_string(pin) + ";";
        return digital[pin];
    }
    void write_pwm(uint8_t pin, uint8_t duty) override
    {
        actions += "pwm " + std::to_string(pin) + "=" + std::to_string(duty) + ";";
    }
    void write_digital(uint8_t pin, bool high) override
    {
        actions += "out " + std::to_string(pin) + "=" + (high ? "1" : "0") + ";";
    }
    void send(uint8_t byte) override { sent.push_back(static_cast<char>(byte)); }
};

class interpreter_test : public ::testing::Test {
protected:
    recording_board board;
    command_interpreter interpreter{board, 6};

    // Feeds the bytes; returns the outcomes of the lines they completed.
    std::string feed(const std::string &bytes)
    {
        std::string outcomes;
        for (char c : bytes) {
            switch (interpreter.feed(static_cast<uint8_t>(c))) {
            case line_outcome::none: break;
            case line_outcome::answered: outcomes += "A"; break;
            case line_outcome::applied: outcomes += "S"; break;
            case line_outcome::ignored: outcomes += "I"; break;
            case line_outcome::dropped: outcomes += "D"; break;
            }
        }
        return outcomes;
    }
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
    EXPECT_EQ(feed("EA\rEA 0\rEA0 \rEA+0\rEA0x\rea0\rEA--1\rEA-0-\rE\rA0\r"), "IIIIIIIIII");
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
    const char *heads[] = {"EA", "EB", "SA", "SB", "E", "S", ""};
    const std::string likely = "0123456789-:ABCD";
    std::string bytes;
    for (int line = 0; line < 20000; ++line) {
        bytes += heads[random() % 7];
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
    size_t answers = 0;
    for (char c : bytes) {
        const size_t before = board.sent.size();
        if (interpreter.feed(static_cast<uint8_t>(c)) == line_outcome::answered)
            ++answers;
        const std::string answer = board.sent.substr(before);
        const bool raw_byte = answer == std::string(1, '\0') || answer == "\x01";
        const bool reading = answer.size() >= 3 && answer.size() <= 5 &&
                             answer.compare(answer.size() - 2, 2, "\r\n") == 0 &&
                             answer.find_first_not_of("0123456789") == answer.size() - 2;
        ASSERT_TRUE(answer.empty() || raw_byte || reading) << "after line "
            << std::string(interpreter.line(), interpreter.line_length());
    }
    EXPECT_GT(answers, 100u);
}

}  // namespace
