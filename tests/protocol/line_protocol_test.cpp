// The answer line, fed the bytes a port delivers, and the command framing.
#include <gtest/gtest.h>
#include <string>

#include "protocol/line_protocol.h"

namespace {

// Feeds every byte; the index of the byte that ended the line, or -1.
int feed(answer_line &line, const std::string &bytes)
{
    for (size_t i = 0; i < bytes.size(); ++i)
        if (line.take(bytes[i]))
            return static_cast<int>(i);
    return -1;
}

TEST(AnswerLine, EndsAtTheFirstLineEndAfterItsFirstByte)
{
    struct {
        std::string bytes;
        std::string text;
        int ends_at;
        int first_byte;
    } const cases[] = {
        {"512\n\n", "512", 3, '5'},
        {"512\r", "512", 3, '5'},
        {"\n\r\n7\n", "7", 4, '7'},           // an earlier answer's tail is skipped
        {std::string("5\0" "12\n", 5), "512", 4, '5'},  // zero bytes are dropped
        {std::string("\0\n9\n", 4), "9", 3, 0},          // but begin the answer
        {" 1\t\n", " 1\t", 3, ' '},           // spaces and tabs are the caller's
        {"\xE9\xFF\n", "\xE9\xFF", 2, 0xE9},  // Latin-1 unchanged, first byte unsigned
        {"60", "60", -1, '6'},                // not ended: the bytes so far
        {"\n\r", "", -1, -1},                 // not begun
    };
    for (const auto &c : cases) {
        answer_line line;
        EXPECT_EQ(feed(line, c.bytes), c.ends_at) << c.bytes;
        EXPECT_EQ(line.ended(), c.ends_at >= 0) << c.bytes;
        EXPECT_EQ(line.text(), c.text) << c.bytes;
        EXPECT_EQ(line.first_byte(), c.first_byte) << c.bytes;
        EXPECT_EQ(line.begun(), c.first_byte >= 0) << c.bytes;
    }

    // Nothing is taken after the end.
    answer_line line;
    feed(line, "1\n");
    EXPECT_TRUE(line.take('2'));
    EXPECT_EQ(line.text(), "1");
}

TEST(CommandLine, EndsWithOneCarriageReturn)
{
    EXPECT_EQ(command_line("EA3"), "EA3\r");
    EXPECT_EQ(command_line(""), "\r");
    EXPECT_EQ(command_line("SB1\r"), "SB1\r\r");
}

}  // namespace
