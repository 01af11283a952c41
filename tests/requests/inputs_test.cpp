// ea, ead and eb against a board that answers: the exact command bytes, the
// answers in every form the board may end them, and stale bytes drained.
#include <climits>
#include <cstdint>
#include <gtest/gtest.h>
#include <string>

#include "driver_session.h"
#include "request_helpers.h"

namespace {

DRIVER_TEST(AnalogInputs, CommandBytesOnTheWire)
{
    board.respond_with(answer_all("1\r"));

    // ea sends the character of code 48 + channel, ead the decimal text;
    // the exchange adds a second CR.
    struct {
        bool volts;
        int channel;
        std::string wire;
    } const cases[] = {
        {false, 3, "EA3\r\r"},   {true, 3, "EA3\r\r"},
        {false, 0, "EA0\r\r"},   {false, 9, "EA9\r\r"},
        {false, 10, "EA:\r\r"},  {true, 10, "EA10\r\r"},
        {true, 12, "EA12\r\r"},  {true, -1, "EA-1\r\r"},
        {false, -1, "EA/\r\r"},  {false, -49, "EA\xFF\r\r"},
        {false, 256 + 3, "EA3\r\r"},
        // Code 0 would put a zero byte in the text: the character is left out.
        {false, -48, "EA\r\r"},
        {false, INT_MAX, "EA/\r\r"}, {false, INT_MIN, "EA0\r\r"},
        {true, INT_MIN, "EA-2147483648\r\r"}, {true, INT_MAX, "EA2147483647\r\r"},
    };
    for (const auto &c : cases) {
        board.clear_received();
        if (c.volts)
            EXPECT_EQ(ead(c.channel), 5.0 / 1024.0) << "ead " << c.channel;
        else
            EXPECT_EQ(ea(c.channel), 1) << "ea " << c.channel;
        ASSERT_TRUE(board.wait_received(c.wire.size(), 2000));
        EXPECT_EQ(board.received(), c.wire) << (c.volts ? "ead " : "ea ") << c.channel;
    }
}

DRIVER_TEST(AnalogInputs, AnswersAndTheirLineEnds)
{
    struct {
        std::string answer;
        int raw;
        double volts;
    } const cases[] = {
        {"512\r", 512, 2.5},
        {"512\n", 512, 2.5},
        {"512\r\n", 512, 2.5},
        {"512\n\r", 512, 2.5},
        {"1023\r", 1023, 4.9951171875},
        {"0\r", 0, 0.0},
        {"-5\r", -5, -0.0244140625},
        // ea keeps the low 32 bits; ead converts the whole 64-bit reading.
        {"4294967297\r", 1, 4294967297.0 * 5.0 / 1024.0},
        // 2^53 + 1 becomes the double 2^53 before it is scaled.
        {"9007199254740993\r", 1, 43980465111040.0},
        {"2147483648\r", INT_MIN, 10485760.0},
        {"18446744073709551617\r", 1, 5.0 / 1024.0},
        {"-2147483648\r", INT_MIN, -10485760.0},
        // Spaces go, a tab stays and is skipped by the number reading.
        {"  512 \r", 512, 2.5},
        {" \t7\r", 7, 7 * 5.0 / 1024.0},
        {"$1F\r", 31, 31 * 5.0 / 1024.0},
        {"12abc\r", 12, 12 * 5.0 / 1024.0},
        {"abc\r", 0, 0.0},
        {"\r", 0, 0.0},
        // Zero bytes are dropped from the line; other bytes stay as they are.
        {std::string("5\0" "1\0" "2\r", 6), 512, 2.5},
        {std::string("\0\0" "9\r", 4), 9, 9 * 5.0 / 1024.0},
        {"12\xFF\r", 12, 12 * 5.0 / 1024.0},
        {"\xE9" "12\r", 0, 0.0},
        {"\xA0" "12\r", 0, 0.0},
        {"\x01\x02\xFE\x7F\r", 0, 0.0},
    };
    for (const auto &c : cases) {
        board.respond_with(answer_all(c.answer));
        EXPECT_EQ(ea(3), c.raw) << "answer \"" << c.answer << "\"";
        EXPECT_EQ(ead(3), c.volts) << "answer \"" << c.answer << "\"";
    }

    // A long answer is taken whole.
    board.respond_with(answer_all(std::string(3000, ' ') + "77" + std::string(3000, ' ') + "\r"));
    EXPECT_EQ(ea(3), 77);
}

DRIVER_TEST(AnalogInputs, StaleBytesAreDrainedNeverTaken)
{
    // CR LF arrives as LF LF: the first ends the line, the second stays
    // waiting; undrained it would end the next answer as an empty line.
    board.respond_with(answer_all("512\r\n"));
    EXPECT_EQ(ea(3), 512);
    EXPECT_TRUE(wait_waiting_for_driver(board, 1, 2000));
    EXPECT_EQ(waiting_for_driver(board), 1);
    board.respond_with(answer_all("7\r"));
    EXPECT_EQ(ea(3), 7);

    // A late answer and stray line ends already waiting.
    board.send("999\r\n\r");
    ASSERT_TRUE(wait_waiting_for_driver(board, 6, 2000));
    EXPECT_EQ(ead(3), 7 * 5.0 / 1024.0);

    // Line ends before the answer's first byte end an earlier answer:
    // they are skipped, and the answer is the line after them.
    board.respond_with(answer_all("\r\n\r512\r"));
    EXPECT_EQ(ea(3), 512);
    board.respond_with(answer_all("8\r"));
    EXPECT_EQ(ea(3), 8);

    // Many stale lines.
    std::string pile;
    for (int i = 0; i < 500; ++i)
        pile += "123\r";
    board.send(pile);
    ASSERT_TRUE(wait_waiting_for_driver(board, 1000, 2000));
    EXPECT_EQ(ea(3), 8);

    // eb drains as well: a stale nonzero byte is never its answer.
    board.respond_with(answer_all(std::string(1, '\0')));
    board.send("1");
    ASSERT_TRUE(wait_waiting_for_driver(board, 1, 2000));
    EXPECT_EQ(eb(0), 0);
    // The analog answer's second line end is not eb's answer either.
    board.respond_with([](const std::string &line) {
        if (line.rfind("EA", 0) == 0)
            return board_reply{"5\r\n"};
        return line.empty() ? board_reply{} : board_reply{std::string(1, '\0')};
    });
    EXPECT_EQ(ea(3), 5);
    ASSERT_TRUE(wait_waiting_for_driver(board, 1, 2000));
    EXPECT_EQ(eb(1), 0);
}

DRIVER_TEST(DigitalInputs, PinMapAndAnswerByte)
{
    board.respond_with(answer_all("1"));

    struct {
        int channel;
        const char *wire;
    } const pins[] = {
        {0, "EB2\r"}, {1, "EB4\r"}, {2, "EB7\r"}, {3, "EB8\r"},
        {4, "EB0\r"}, {-1, "EB0\r"}, {INT_MIN, "EB0\r"}, {INT_MAX, "EB0\r"},
    };
    for (const auto &p : pins) {
        board.clear_received();
        EXPECT_EQ(eb(p.channel), 1) << "channel " << p.channel;
        ASSERT_TRUE(board.wait_received(4, 2000));
        EXPECT_EQ(board.received(), p.wire) << "channel " << p.channel;
    }

    // Any nonzero byte is 1, the character '0' too; only a zero byte is 0.
    struct {
        std::string answer;
        int level;
    } const answers[] = {
        {"1", 1}, {"0", 1}, {"\x01", 1}, {"\xFF", 1},
        // A line end is the tail of an earlier answer: the byte after it counts.
        {"\r1", 1}, {"\n\r\n1", 1}, {std::string("\r\0", 2), 0},
        {std::string(1, '\0'), 0},
        {"10", 1},                           // one byte taken, the rest drained
        {std::string("\0" "1", 2), 0},
        {std::string(1, '\0'), 0},           // the '1' left above was drained
    };
    for (const auto &a : answers) {
        board.respond_with(answer_all(a.answer));
        EXPECT_EQ(eb(2), a.level) << "answer byte " << static_cast<int>(static_cast<unsigned char>(a.answer[0]));
    }

    // The answer byte is waited for: a real board needs a few ms for it.
    for (int delay : {30, 300}) {
        board.respond_with(answer_all("1", delay));
        EXPECT_EQ(eb(3), 1) << "answer after " << delay << " ms";
    }
}

}  // namespace
