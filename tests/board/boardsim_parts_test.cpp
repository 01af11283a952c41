// boardsim's parts: input sources, options, the log's text.
#include "options.h"
#include "report.h"
#include "signals.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(boardsim_sources, analog_sources_follow_their_shape_within_the_board_range)
{
    std::string error;
    analog_source source;
    uint32_t random = 1;

    ASSERT_TRUE(parse_analog_source("sine:512:400:2s", source, error)) << error;
    EXPECT_EQ(analog_value(source, 0.0, random), 512);
    EXPECT_EQ(analog_value(source, 0.5, random), 912);   // a quarter period
    EXPECT_EQ(analog_value(source, 1.5, random), 112);

    ASSERT_TRUE(parse_analog_source("ramp:100:300:500ms", source, error)) << error;
    EXPECT_EQ(analog_value(source, 0.0, random), 100);
    EXPECT_EQ(analog_value(source, 0.25, random), 200);
    EXPECT_EQ(analog_value(source, 0.75, random), 200);  // again from the start

    ASSERT_TRUE(parse_analog_source("sine:1000:500:1", source, error)) << error;
    EXPECT_EQ(analog_value(source, 0.25, random), 1023);  // clamped, both ends
    EXPECT_EQ(analog_value(source, 0.75, random), 500);
    ASSERT_TRUE(parse_analog_source("-40", source, error)) << error;
    EXPECT_EQ(analog_value(source, 3.0, random), 0);

    ASSERT_TRUE(parse_analog_source("noise:300:20", source, error)) << error;
    bool varies = false;
    const uint16_t first = analog_value(source, 0, random);
    for (int i = 0; i < 1000; ++i) {
        const uint16_t value = analog_value(source, 0, random);
        ASSERT_GE(value, 280);
        ASSERT_LE(value, 320);
        varies = varies || value != first;
    }
    EXPECT_TRUE(varies);
}

TEST(boardsim_sources, malformed_sources_are_refused_with_a_reason)
{
    std::string error;
    analog_source analog;
    for (const char *bad : {"", "x", "sine:1:2", "sine:1:2:0s", "sine:1:2:-1s", "ramp:1:2:3:4", "noise:1",
                            "const:", "nan", "512abc", "sine:1:2:3h"}) {
        error.clear();
        EXPECT_FALSE(parse_analog_source(bad, analog, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
    digital_source digital;
    for (const char *bad : {"", "2", "high", "square", "square:0", "square:1s:2"})
        EXPECT_FALSE(parse_digital_source(bad, digital, error)) << bad;

    ASSERT_TRUE(parse_digital_source("square:200ms", digital, error)) << error;
    EXPECT_TRUE(digital_value(digital, 0.05));
    EXPECT_FALSE(digital_value(digital, 0.15));
    EXPECT_TRUE(digital_value(digital, 0.25));
}

int parse(std::vector<std::string> args, boardsim_options &options)
{
    args.insert(args.begin(), "boardsim");
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    return parse_options(static_cast<int>(args.size()), argv.data(), options);
}

TEST(boardsim_options, options_fill_the_sources_and_errors_end_with_status_2)
{
    boardsim_options options;
    ASSERT_EQ(parse({"--analog", "all=100", "--analog", "2=sine:1:2:3s", "--digital", "7=1", "--pace",
                     "--link", "/tmp/x", "-q", "--log", "-"},
                    options),
              -1);
    EXPECT_EQ(options.analog[0].level, 100);
    EXPECT_EQ(options.analog[5].level, 100);
    EXPECT_EQ(options.analog[2].kind, analog_kind::sine);
    EXPECT_TRUE(options.digital[7].level);
    EXPECT_FALSE(options.digital[2].level);
    EXPECT_TRUE(options.pace);
    EXPECT_FALSE(options.table);
    EXPECT_EQ(options.link, "/tmp/x");
    EXPECT_EQ(options.log, "-");

    for (std::vector<std::string> bad : std::vector<std::vector<std::string>>{
             {"--analog", "6=1"}, {"--analog", "=1"}, {"--analog", "0"}, {"--analog", "-1=5"},
             {"--digital", "1=1"}, {"--digital", "14=0"}, {"--digital", "2=5"}, {"--frobnicate"},
             {"--link"}, {"stray"}}) {
        boardsim_options ignored;
        testing::internal::CaptureStderr();
        EXPECT_EQ(parse(bad, ignored), 2) << bad[0];
        EXPECT_NE(testing::internal::GetCapturedStderr().find("boardsim: "), std::string::npos);
    }
}

TEST(boardsim_log, each_command_gives_one_readable_line)
{
    EXPECT_EQ(escape_bytes(std::string("A\r\n\t\\\"\x01\xff\0", 9)), "A\\r\\n\\t\\\\\\\"\\x01\\xff\\x00");
    EXPECT_EQ(log_line(1.5, "EA0", line_outcome::answered, "512\r\n", ""),
              "     1.500  EA0             -> \"512\\r\\n\"");
    EXPECT_EQ(log_line(2, "EB2", line_outcome::answered, std::string(1, '\0'), ""),
              "     2.000  EB2             -> \"\\x00\"");
    EXPECT_EQ(log_line(3, "SA3255", line_outcome::applied, "", "pin 3 duty 255"),
              "     3.000  SA3255          set pin 3 duty 255");
    EXPECT_EQ(log_line(4, "SB01", line_outcome::ignored, "", ""), "     4.000  SB01            ignored");
    EXPECT_NE(log_line(5, std::string(32, 'x'), line_outcome::dropped, "", "").find("xxx...  dropped"),
              std::string::npos);
}

}  // namespace
