// The export table against the public header, argument checking, and calls
// through stand-in exports with both calling conventions.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <vector>

#include "arduinodrv.h"
#include "arguments.h"
#include "durations.h"
#include "export_table.h"
#include "result_text.h"
#include "posix/clock.h"
#include "shell.h"
#include "shell_output.h"

namespace {

// What the header says of an export, read from its pointer type: the
// stdcall attribute is part of the type, so the specialisations tell the
// conventions apart.
struct declared {
    convention conv;
    std::vector<arg_kind> args;
    result_kind result;
};

template <typename T> result_kind kind_of_result();
template <> result_kind kind_of_result<int>() { return result_kind::int32; }
template <> result_kind kind_of_result<double>() { return result_kind::real; }
template <> result_kind kind_of_result<const char *>() { return result_kind::text; }

template <typename T> arg_kind kind_of_arg();
template <> arg_kind kind_of_arg<int>() { return arg_kind::int32; }
template <> arg_kind kind_of_arg<double>() { return arg_kind::real; }

template <typename F> struct declaration;
// x86-64 has one convention, so there the header's types cannot tell them apart.
#if defined(__i386__)
template <typename R, typename... A, bool N> struct declaration<R(ARDUINODRV_STDCALL *)(A...) noexcept(N)> {
    static declared get() { return {convention::std_call, {kind_of_arg<A>()...}, kind_of_result<R>()}; }
};
#endif
template <typename R, typename... A, bool N> struct declaration<R (*)(A...) noexcept(N)> {
    static declared get() { return {convention::c_call, {kind_of_arg<A>()...}, kind_of_result<R>()}; }
};

// Each export as the compiler reads its declaration, from the build's table
// of the header: the shell's table must agree with it row for row.
const std::vector<std::pair<std::string, declared>> header_exports = {
#define ARDUINODRV_EXPORT(name, conv, result, sig, plain, kind) {#name, declaration<decltype(&::name)>::get()},
#include "arduinodrv_exports.inc"
#undef ARDUINODRV_EXPORT
};

TEST(ExportTable, HoldsEveryExportOfTheHeaderOnceWithItsConventionAndTypes)
{
    ASSERT_EQ(header_exports.size(), 71u);
    ASSERT_EQ(export_count(), 71u);
    std::set<std::string> names;
    for (size_t i = 0; i < export_count(); ++i)
        EXPECT_TRUE(names.insert(export_table()[i].name).second) << "twice: " << export_table()[i].name;
    for (const auto &[name, decl] : header_exports) {
        SCOPED_TRACE(name);
        const export_info *row = find_export(name.c_str());
        ASSERT_NE(row, nullptr);
#if defined(__i386__)
        EXPECT_EQ(row->conv, decl.conv);
#endif
        EXPECT_EQ(row->result, decl.result);
        const signature_info &sig = signature_of(row->sig);
        ASSERT_EQ(static_cast<size_t>(sig.count), decl.args.size());
        for (int i = 0; i < sig.count; ++i)
            EXPECT_EQ(sig.kinds[i], decl.args[static_cast<size_t>(i)]) << "argument " << i;
    }
    EXPECT_EQ(find_export("nope"), nullptr);
    EXPECT_EQ(find_export("EA"), nullptr);
}

TEST(Arguments, NumbersAreReadWhole)
{
    int32_t i = 7;
    EXPECT_TRUE(parse_int32("-2147483648", &i));
    EXPECT_EQ(i, INT32_MIN);
    EXPECT_TRUE(parse_int32("+12", &i));
    EXPECT_EQ(i, 12);
    for (const char *bad : {"", "+", "-", "2147483648", "1.0", "3x", " 3", "+-3", "0x10", "--1"})
        EXPECT_FALSE(parse_int32(bad, &i)) << bad;

    double d = 0;
    EXPECT_TRUE(parse_real("2.5", &d));
    EXPECT_EQ(d, 2.5);
    EXPECT_TRUE(parse_real("-1e3", &d));
    EXPECT_EQ(d, -1000.0);
    EXPECT_TRUE(parse_real("+.5", &d));
    EXPECT_EQ(d, 0.5);
    EXPECT_TRUE(parse_real("nan", &d));
    EXPECT_TRUE(d != d);
    for (const char *bad : {"", "2,5", "2.5V", "+-1", "x", "1e999"})
        EXPECT_FALSE(parse_real(bad, &d)) << bad;

}

// The one rule of the tools: a unit always; a bare number says which to add.
TEST(Durations, TheUnitIsRequired)
{
    const struct {
        const char *text;
        double ms;
        const char *why;  // start of the message, "" when accepted
    } cases[] = {
        {"100ms", 100, ""}, {"0.5s", 500, ""}, {"2s", 2000, ""}, {"1.5ms", 1.5, ""}, {"0ms", 0, ""},
        {"250", 0, "needs its unit: 250s or 250ms"}, {"0.5", 0, "needs its unit: 0.5s or 0.5ms"},
        {"-1s", 0, "must not be negative"}, {"", 0, "is not a duration"}, {"s", 0, "is not a duration"},
        {"ms", 0, "is not a duration"}, {"1h", 0, "is not a duration"}, {"2 s", 0, "is not a duration"},
        {"+1s", 0, "is not a duration"}, {"infs", 0, "is not a duration"}, {"1,5s", 0, "is not a duration"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        double ms = -1;
        const std::string why = read_duration_ms(c.text, &ms);
        EXPECT_TRUE(why.starts_with(c.why)) << why;
        if (*c.why == '\0')
            EXPECT_EQ(ms, c.ms);
        else
            EXPECT_FALSE(why.empty());
    }
}

TEST(Arguments, LinesSplitIntoCommandsAndWords)
{
    using commands = std::vector<std::vector<std::string>>;
    commands got;
    std::string error;
    ASSERT_TRUE(split_commands("  record ead 0 --out 'my;file.csv'  # comment; nea 1", &got, &error));
    EXPECT_EQ(got, (commands{{"record", "ead", "0", "--out", "my;file.csv"}}));
    ASSERT_TRUE(split_commands("nead 0; ead 0;;ea 0;", &got, &error));
    EXPECT_EQ(got, (commands{{"nead", "0"}, {"ead", "0"}, {"ea", "0"}}));
    ASSERT_TRUE(split_commands("# only a comment", &got, &error));
    EXPECT_TRUE(got.empty());
    EXPECT_FALSE(split_commands("nea \"2", &got, &error));
}

TEST(Arguments, ExportArgumentsFollowTheSignature)
{
    call_arguments args;
    std::string error;
    ASSERT_TRUE(parse_export_arguments(*find_export("sad"), {"1", "2.5"}, &args, &error));
    EXPECT_EQ(args.ints[0], 1);
    EXPECT_EQ(args.reals[1], 2.5);
    ASSERT_TRUE(parse_export_arguments(*find_export("sbdouble"), {"1", "0.6"}, &args, &error));
    EXPECT_EQ(args.reals[0], 1.0);
    EXPECT_EQ(args.reals[1], 0.6);

    EXPECT_FALSE(parse_export_arguments(*find_export("sb"), {"0"}, &args, &error));
    EXPECT_NE(error.find("sb takes 2 arguments, got 1"), std::string::npos) << error;
    EXPECT_NE(error.find("sb <channel:int> <value:int>"), std::string::npos) << error;
    EXPECT_FALSE(parse_export_arguments(*find_export("ea"), {"2.5"}, &args, &error));
    EXPECT_NE(error.find("channel must be a whole number"), std::string::npos) << error;
    EXPECT_FALSE(parse_export_arguments(*find_export("titre"), {"1"}, &args, &error));
    EXPECT_FALSE(parse_export_arguments(*find_export("sad"), {"1", "volts"}, &args, &error));
}

TEST(ResultText, NumbersShortAndTextsInTheTerminalsEncoding)
{
    EXPECT_EQ(real_text(2.5), "2.5");
    EXPECT_EQ(real_text(64.0), "64");
    EXPECT_EQ(real_text(4.9951171875), "4.9951171875");
    EXPECT_EQ(real_text(-0.0244140625), "-0.0244140625");
    EXPECT_EQ(real_text(0.1), "0.1");
    EXPECT_EQ(latin1_to_encoding("f\xE9vrier ao\xFBt", text_encoding::utf8), "f\xC3\xA9vrier ao\xC3\xBBt");
    EXPECT_EQ(latin1_to_encoding("f\xE9vrier", text_encoding::latin1), "f\xE9vrier");
    EXPECT_EQ(latin1_to_encoding("\xFF\x80", text_encoding::utf8), "\xC3\xBF\xC2\x80");
    EXPECT_EQ(seconds_text(0), "0.000");
    EXPECT_EQ(seconds_text(12345), "12.345");
}

// Stand-ins for the library's exports, with the real conventions: a call
// through the wrong pointer type would leave the stack unbalanced.
int stand_in_calls = 0;
int32_t seen_ints[2];
double seen_reals[2];

ARDUINODRV_STDCALL double stand_in_ead(int32_t channel)
{
    ++stand_in_calls;
    seen_ints[0] = channel;
    return 512 * 5.0 / 1024.0;
}
ARDUINODRV_CDECL int32_t stand_in_csb(int32_t channel, int32_t value)
{
    ++stand_in_calls;
    seen_ints[0] = channel;
    seen_ints[1] = value;
    return value;
}
ARDUINODRV_STDCALL double stand_in_sadouble(double channel, double volts)
{
    ++stand_in_calls;
    seen_reals[0] = channel;
    seen_reals[1] = volts;
    return 64.0;
}
ARDUINODRV_STDCALL double stand_in_sad(int32_t channel, double volts)
{
    ++stand_in_calls;
    seen_ints[0] = channel;
    seen_reals[1] = volts;
    return std::isnan(volts) ? -1073741824.0 : 25.0;  // INT_MIN sent, as the library does
}
ARDUINODRV_CDECL const char *stand_in_cdetail()
{
    ++stand_in_calls;
    return "Arduino 2009, par Tervalique, le 23 f\xE9vrier 2011";
}
ARDUINODRV_STDCALL const char *stand_in_nea(int32_t channel)
{
    ++stand_in_calls;
    return channel == 2 ? "EA2" : "";
}

// A request as slow as a real one on the line.
ARDUINODRV_STDCALL int32_t stand_in_ea(int32_t)
{
    ++stand_in_calls;
    delay_ms(30);
    return 512;
}

int resolutions = 0;
void *stand_in(const char *name)
{
    ++resolutions;
    const std::pair<const char *, void *> known[] = {
        {"ead", reinterpret_cast<void *>(&stand_in_ead)},
        {"ea", reinterpret_cast<void *>(&stand_in_ea)},
        {"csb", reinterpret_cast<void *>(&stand_in_csb)},
        {"sadouble", reinterpret_cast<void *>(&stand_in_sadouble)},
        {"sad", reinterpret_cast<void *>(&stand_in_sad)},
        {"cdetail", reinterpret_cast<void *>(&stand_in_cdetail)},
        {"nea", reinterpret_cast<void *>(&stand_in_nea)},
    };
    for (const auto &[known_name, address] : known)
        if (std::strcmp(name, known_name) == 0)
            return address;
    return nullptr;
}

class ShellCalls : public ::testing::Test, protected shell_output {
protected:
    void SetUp() override
    {
        shell_encoding = text_encoding::utf8;
        set_export_resolver(stand_in);
        reset_result_warnings();
        stand_in_calls = 0;
        resolutions = 0;
    }
    void TearDown() override { set_export_resolver(nullptr); }
};

TEST_F(ShellCalls, ResultsArePrintedByKind)
{
    EXPECT_TRUE(run_line("ead 3"));
    EXPECT_EQ(seen_ints[0], 3);
    EXPECT_TRUE(run_line("csb 1 -1"));
    EXPECT_EQ(seen_ints[0], 1);
    EXPECT_EQ(seen_ints[1], -1);
    EXPECT_TRUE(run_line("sadouble 0.4 2.5"));
    EXPECT_EQ(seen_reals[0], 0.4);
    EXPECT_EQ(seen_reals[1], 2.5);
    EXPECT_TRUE(run_line("sad 2 1.0"));
    EXPECT_EQ(seen_ints[0], 2);
    EXPECT_EQ(seen_reals[1], 1.0);
    EXPECT_TRUE(run_line("nea 2"));
    EXPECT_TRUE(run_line("nea 9"));
    EXPECT_TRUE(run_line("cdetail"));
    EXPECT_EQ(stand_in_calls, 7);
    EXPECT_EQ(out(), "2.5\n-1\n64\n25\nEA2\n\nArduino 2009, par Tervalique, le 23 f\xC3\xA9vrier 2011\n");
    EXPECT_EQ(err(), "");
}

TEST_F(ShellCalls, SeveralCommandsOnALinePrintOneLine)
{
    EXPECT_TRUE(run_line("echo channel 2:; nea 2; ead 2"));
    EXPECT_FALSE(run_line("nea 2; nea x; ead 1"));
    EXPECT_TRUE(run_line("ead 0; help ead"));
    const std::string text = out();
    EXPECT_TRUE(text.starts_with("channel 2:\tEA2\t2.5\nEA2\t2.5\n2.5\n  ead <channel:int> ")) << text;
    EXPECT_EQ(stand_in_calls, 5);
}

TEST_F(ShellCalls, LatinOneTerminalGetsTheBytesUnchanged)
{
    shell_encoding = text_encoding::latin1;
    EXPECT_TRUE(run_line("cdetail"));
    EXPECT_EQ(out(), "Arduino 2009, par Tervalique, le 23 f\xE9vrier 2011\n");
}

TEST_F(ShellCalls, WrongCommandsCallNothingAndSayWhy)
{
    const char *wrong[] = {"eadd 3", "ead", "ead 3 4", "ead three", "ead 2.5", "csb 1", "sadouble 1 x",
                           "cdetail now", "nea \"2", "record titre", "record ead x", "record --count 3"};
    for (const char *line : wrong) {
        SCOPED_TRACE(line);
        EXPECT_FALSE(run_line(line));
    }
    EXPECT_EQ(stand_in_calls, 0);
    // Nothing was looked up either: the library would have been loaded.
    EXPECT_EQ(resolutions, 0);
    EXPECT_EQ(out(), "");
    const std::string messages = err();
    EXPECT_NE(messages.find("unknown command or export \"eadd\""), std::string::npos) << messages;
    EXPECT_NE(messages.find("ead takes 1 argument, got 0: ead <channel:int>"), std::string::npos);
    EXPECT_NE(messages.find("ead: channel must be a whole number (32-bit), got \"three\""), std::string::npos);
    EXPECT_NE(messages.find("sadouble: volts must be a number, got \"x\""), std::string::npos);
    EXPECT_NE(messages.find("unclosed quote"), std::string::npos);
    EXPECT_NE(messages.find("record: titre gives a text"), std::string::npos);
}

// Each value that makes no sense is refused, naming the option and what it
// takes, before anything is called.
TEST_F(ShellCalls, ScheduleOptionValuesAreCheckedFirst)
{
    const struct {
        const char *line;
        const char *message;
    } cases[] = {
        {"record ead 0 --every 0.5", "record: --every 0.5 needs its unit: 0.5s or 0.5ms (--every takes a number"},
        {"record ead 0 --every 0ms", "record: --every 0ms must be from 1ms to 1 hour"},
        {"record ead 0 --every 0.4ms", "must be from 1ms to 1 hour"},
        {"watch ead 0 --every -5ms", "watch: --every -5ms must not be negative"},
        {"record ead 0 --every 7200s", "must be from 1ms to 1 hour"},
        {"record ead 0 --every soon", "--every soon is not a duration"},
        {"record ead 0 --count 0", "--count takes a whole number of at least 1, got \"0\""},
        {"record ead 0 --count 2.5", "--count takes a whole number"},
        {"record ead 0 --every", "record: --every needs a value"},
        {"record ead 0 --often 2s", "record: unknown option --often"},
        {"watch ead 0 --out f.csv", "watch: unknown option --out"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_FALSE(run_line(c.line));
        EXPECT_NE(err().find(c.message), std::string::npos) << err();
    }
    EXPECT_EQ(stand_in_calls, 0);
    EXPECT_EQ(resolutions, 0);
}

TEST_F(ShellCalls, AChannelTheBoardLacksIsCalledButNotShownAsAReading)
{
    EXPECT_TRUE(run_line("ead 5; csb 3 1"));
    EXPECT_TRUE(all_results_from_board());
    EXPECT_TRUE(run_line("ead 6; ead -1; sadouble 4.4 1"));
    EXPECT_EQ(stand_in_calls, 5);
    EXPECT_EQ(out(), "2.5\t1\n2.5\t2.5\t64\n");
    EXPECT_EQ(err(), "ead: the board has analog inputs 0 to 5, not 6: the result is not a reading\n");
    EXPECT_FALSE(all_results_from_board());
    reset_result_warnings();
    EXPECT_TRUE(run_line("sadouble 3.5 1"));
    EXPECT_NE(err().find("sadouble: the board has analog outputs 0 to 3, not 4: nothing is set"),
              std::string::npos) << err();
}

TEST_F(ShellCalls, AVoltageNoOutputCanGiveIsStated)
{
    EXPECT_TRUE(run_line("sad 0 nan"));
    EXPECT_EQ(out(), "-1073741824\n");
    EXPECT_NE(err().find("sad: the library received volts nan, which no output can give: it sent the raw value "
                         "-2147483648"),
              std::string::npos)
        << err();
    EXPECT_FALSE(all_results_from_board());
}

TEST_F(ShellCalls, HelpOfAnUnknownNameFails)
{
    EXPECT_TRUE(run_line("help ead record"));
    EXPECT_FALSE(run_line("help ead nothere"));
    EXPECT_NE(out().find("  ead <channel:int> "), std::string::npos);
    EXPECT_EQ(err(), "help: no export or command named \"nothere\"\n");
}

TEST_F(ShellCalls, AnIntervalShorterThanTheRequestIsStated)
{
    EXPECT_TRUE(run_line("record ea 0 --every 1ms --count 3"));
    EXPECT_EQ(stand_in_calls, 3);
    const std::string text = err();
    EXPECT_NE(text.find("each ea 0 takes about "), std::string::npos) << text;
    EXPECT_NE(text.find(" ms, not every 1 ms"), std::string::npos) << text;
}

TEST_F(ShellCalls, AnExportMissingFromTheLibraryIsReported)
{
    EXPECT_FALSE(run_line("stdea 0"));
    EXPECT_EQ(stand_in_calls, 0);
    EXPECT_NE(err().find("has no export stdea"), std::string::npos);
}

TEST_F(ShellCalls, HelpListsEveryExportWithItsArguments)
{
    print_help({});
    const std::string text = out();
    for (size_t i = 0; i < export_count(); ++i) {
        const std::string line = "  " + usage_of(export_table()[i]) + " ";
        EXPECT_NE(text.find(line), std::string::npos) << line;
    }
    EXPECT_NE(text.find("  sadouble <channel:double> <volts:double> "), std::string::npos);
    EXPECT_NE(text.find("record EXPORT ARGS..."), std::string::npos);
    EXPECT_NE(text.find("check [DEVICE]"), std::string::npos);
}

TEST_F(ShellCalls, RecordWritesCsvOnAFixedSchedule)
{
    EXPECT_TRUE(run_line("record ead 1 --every 20ms --count 4"));
    EXPECT_EQ(stand_in_calls, 4);
    const std::string csv = out();
    const std::vector<std::string> lines = lines_of(csv);
    ASSERT_EQ(lines.size(), 5u) << csv;
    EXPECT_EQ(lines[0], "time_s,ead 1");
    double previous = -1.0;
    for (size_t i = 1; i < lines.size(); ++i) {
        double t = 0;
        char value[32] = {};
        ASSERT_EQ(std::sscanf(lines[i].c_str(), "%lf,%31s", &t, value), 2) << lines[i];
        EXPECT_STREQ(value, "2.5");
        // The grid: sample k never comes before k x 20 ms.
        EXPECT_GE(t, 0.020 * static_cast<double>(i - 1) - 1e-9);
        EXPECT_GT(t, previous);
        previous = t;
    }
}

TEST_F(ShellCalls, RecordToAFile)
{
    const std::string path = ::testing::TempDir() + "shell_record.csv";
    EXPECT_TRUE(run_line("record ead 0 --count 2 --every 1ms --out " + path));
    FILE *f = std::fopen(path.c_str(), "r");
    ASSERT_NE(f, nullptr);
    char header[64] = {};
    ASSERT_NE(std::fgets(header, sizeof header, f), nullptr);
    EXPECT_STREQ(header, "time_s,ead 0\n");
    std::fclose(f);
    std::remove(path.c_str());
    EXPECT_EQ(out(), "");
    EXPECT_NE(err().find("2 samples written to"), std::string::npos);
    EXPECT_FALSE(run_line("record ead 0 --out /nonexistent-folder/x.csv"));
}

}  // namespace
