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

    ASSERT_TRUE(parse_analog_source("sine:1000:500:1s", source, error)) << error;
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
    for (const char *bad : {"", "2", "high", "square", "square:0s", "square:1s:2"})
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
    ASSERT_EQ(parse({"--analog", "all=100", "--analog", "2=sine:10:2:3s", "--digital", "7=1", "--pace",
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

}

// Every value that makes no sense is refused (status 2) naming the option and
// what it takes; one that the board would read otherwise is taken with a
// warning (status -1: go on).
TEST(boardsim_options, option_values_are_refused_or_warned_about_in_words)
{
    const struct {
        std::vector<std::string> args;
        int status;
        const char *message;
    } cases[] = {
        {{"--analog", "6=1"}, 2, "bad --analog \"6=1\" (use CH=SOURCE, CH 0..5 or all)"},
        {{"--analog", "=1"}, 2, "bad --analog"},
        {{"--analog", "0"}, 2, "bad --analog"},
        {{"--analog", "-1=5"}, 2, "bad --analog"},
        {{"--analog", "0=sine:512:10:2"}, 2, "(PERIOD 2 needs its unit: 2s or 2ms)"},
        {{"--analog", "0=ramp:0:1023:-1s"}, 2, "(PERIOD -1s must not be negative)"},
        {{"--analog", "0=sine:1:2:0s"}, 2, "(PERIOD 0s must be more than 0)"},
        {{"--analog", "0=sine:1:2:3h"}, 2, "(PERIOD 3h is not a duration"},
        {{"--digital", "2=square:5"}, 2, "(PERIOD 5 needs its unit"},
        {{"--digital", "1=1"}, 2, "bad --digital \"1=1\" (use PIN=SOURCE, PIN 2..13 or all)"},
        {{"--digital", "14=0"}, 2, "bad --digital"},
        {{"--digital", "2=5"}, 2, "bad digital source \"5\" (use 0, 1 or square:PERIOD)"},
        {{"--link", "/nonexistent-folder/ttyUSB0"}, 2,
         "bad --link /nonexistent-folder/ttyUSB0: the folder /nonexistent-folder does not exist"},
        {{"--link", "/tmp/"}, 2, "bad --link \"/tmp/\" (give the path of the link"},
        {{"--frobnicate"}, 2, "bad option --frobnicate"},
        {{"--link"}, 2, "bad option --link"},
        {{"stray"}, 2, "unexpected argument \"stray\""},
        {{"--analog", "0=1024"}, -1, "warning: --analog 0=1024 reads 1024, beyond the board's 0..1023: it reads 1023"},
        {{"--analog", "2=-5"}, -1, "warning: --analog 2=-5 reads -5, beyond the board's 0..1023: it reads 0 instead"},
        {{"--analog", "1=noise:1000:50"}, -1, "reads 950..1050, beyond the board's 0..1023: it reads 950..1023"},
        {{"--digital", "3=1"}, -1, "warning: --digital 3=1: pin 3 is not one the driver reads (it reads 2, 4, 7 and 8)"},
        {{"--analog", "all=1023", "--digital", "8=square:1s", "--no-reset"}, -1, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
        boardsim_options options;
        testing::internal::CaptureStderr();
        EXPECT_EQ(parse(c.args, options), c.status);
        const std::string text = testing::internal::GetCapturedStderr();
        if (*c.message == '\0')
            EXPECT_EQ(text, "");
        else
            EXPECT_NE(text.find(std::string("boardsim: ") + (c.status == 2 ? "" : "warning: ")), std::string::npos)
                << text;
        EXPECT_NE(text.find(c.message), std::string::npos) << text;
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
