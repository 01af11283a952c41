// The emulators' shared command line, with a made-up emulator that records
// what it is handed.
#include <gtest/gtest.h>

#include "bounded_number.h"
#include "emulator_options.h"

#include <string>
#include <vector>

namespace {

struct recorded {
    std::vector<input_assignment> analog, digital;
    std::vector<std::string> own;
    int helps = 0;
    std::string link;
    std::vector<std::string> operands;
    std::string errors;  // what was said on stderr
};

// Parses args for the made-up emulator "sim": its own --level N (refused
// above 9) and -v; a value "bad" is refused with a reason, "worse" without.
int parse(std::vector<std::string> args, recorded &seen)
{
    emulator_command_line line;
    line.program = "sim";
    line.analog_form = "CH=N";
    line.digital_form = "PIN=N";
    const auto setter = [](std::vector<input_assignment> &into) {
        return [&into](const input_assignment &inputs, std::string &error) {
            if (inputs.value == "bad")
                error = "bad value, for a reason";
            if (inputs.value == "bad" || inputs.value == "worse")
                return false;
            into.push_back(inputs);
            return true;
        };
    };
    line.analog = setter(seen.analog);
    line.digital = setter(seen.digital);
    line.help = [&] { ++seen.helps; };
    line.own_options = {{"level", required_argument, nullptr, 256}};
    line.own_short = "v";
    line.own = [&](int option, const char *argument) -> std::string {
        seen.own.push_back(option == 'v' ? "v" : std::string("level ") + argument);
        return option == 256 && std::stoi(argument) > 9 ? "bad --level" : "";
    };
    args.insert(args.begin(), "sim");
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    testing::internal::CaptureStderr();
    const int status = parse_emulator_options(static_cast<int>(args.size()), argv.data(), line, seen.link,
                                              seen.operands);
    seen.errors = testing::internal::GetCapturedStderr();
    return status;
}

TEST(EmulatorOptions, InputsAreNamedOneByOneOrAllAtOnceWithinTheBoard)
{
    recorded seen;
    ASSERT_EQ(parse({"--analog", "all=7", "--digital", "13=1", "--analog", "5=x=y", "--digital", "all=0"}, seen),
              -1) << seen.errors;
    ASSERT_EQ(seen.analog.size(), 2u);
    EXPECT_EQ(seen.analog[0].first, 0);
    EXPECT_EQ(seen.analog[0].last, 5);
    EXPECT_EQ(seen.analog[0].value, "7");
    EXPECT_EQ(seen.analog[0].text, "all=7");
    EXPECT_EQ(seen.analog[1].first, 5);
    EXPECT_EQ(seen.analog[1].value, "x=y");
    ASSERT_EQ(seen.digital.size(), 2u);
    EXPECT_EQ(seen.digital[0].first, 13);
    EXPECT_EQ(seen.digital[0].last, 13);
    EXPECT_EQ(seen.digital[1].first, 2);  // 0 and 1 carry the line
    EXPECT_EQ(seen.digital[1].last, 13);
    EXPECT_EQ(seen.errors, "");

    // What names no input is refused in the option's form, before the value
    // is looked at.
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"--analog", "6=1"}, {"--analog", "-1=1"}, {"--analog", "=1"}, {"--analog", "1"}, {"--analog", " 1=1"},
             {"--analog", "+1=1"}, {"--analog", "ALL=1"}, {"--digital", "1=1"}, {"--digital", "14=1"},
             {"--analog", "2=worse"}}) {
        recorded refused;
        EXPECT_EQ(parse(args, refused), 2) << args[1];
        EXPECT_EQ(refused.errors, "sim: bad " + args[0] + " \"" + args[1] + "\" (use " +
                                      (args[0] == "--analog" ? "CH=N" : "PIN=N") +
                                      ")\n(sim --help tells the options)\n");
        EXPECT_TRUE(refused.analog.empty() && refused.digital.empty());
    }
    recorded reason;
    EXPECT_EQ(parse({"--digital", "4=bad"}, reason), 2);
    EXPECT_EQ(reason.errors, "sim: bad value, for a reason\n(sim --help tells the options)\n");
}

TEST(EmulatorOptions, OwnOptionsLinkHelpAndOperands)
{
    recorded seen;
    ASSERT_EQ(parse({"first", "--level", "3", "-v", "--link", "/tmp/ttyUSB0", "second"}, seen), -1) << seen.errors;
    EXPECT_EQ(seen.own, (std::vector<std::string>{"level 3", "v"}));
    EXPECT_EQ(seen.link, "/tmp/ttyUSB0");
    EXPECT_EQ(seen.operands, (std::vector<std::string>{"first", "second"}));

    const struct {
        std::vector<std::string> args;
        int status;
        const char *said;
    } cases[] = {
        {{"--help", "--bogus"}, 0, ""},
        {{"-h"}, 0, ""},
        {{"--level", "12"}, 2, "sim: bad --level\n"},
        {{"--bogus"}, 2, "sim: bad option --bogus\n"},
        {{"-x"}, 2, "sim: bad option -x\n"},
        {{"--level"}, 2, "sim: bad option --level\n"},
        {{"--link", "/nonexistent-folder/ttyUSB0"}, 2,
         "sim: bad --link /nonexistent-folder/ttyUSB0: the folder /nonexistent-folder does not exist"},
        {{"--link", ""}, 2, "sim: bad --link \"\" (give the path of the link to make"},
        {{"--link", "ttyUSB0"}, -1, ""},  // in the current folder
    };
    for (const auto &c : cases) {
        recorded one;
        EXPECT_EQ(parse(c.args, one), c.status) << c.args[0];
        EXPECT_EQ(one.helps, c.status == 0 ? 1 : 0) << c.args[0];
        EXPECT_EQ(one.errors.rfind(c.said, 0), 0u) << one.errors;
    }
}

TEST(BoundedNumber, OnlyAWholeDecimalNumberWithinTheBounds)
{
    long value = -7;
    EXPECT_TRUE(parse_bounded("0", 0, 5, value));
    EXPECT_EQ(value, 0);
    EXPECT_TRUE(parse_bounded("-3", -5, 5, value));
    EXPECT_EQ(value, -3);
    EXPECT_TRUE(parse_bounded("05", 0, 5, value));
    EXPECT_EQ(value, 5);
    for (const char *bad : {"", "6", "-1", "+1", " 1", "\t1", "1 ", "1x", "0x1", "99999999999999999999"})
        EXPECT_FALSE(parse_bounded(bad, 0, 5, value)) << bad;
    EXPECT_EQ(value, 5);
}

}  // namespace
