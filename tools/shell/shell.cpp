#include "shell.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "arguments.h"
#include "board_answer.h"
#include "protocol/board_channels.h"
#include "device_check.h"
#include "durations.h"
#include "library_port.h"
#include "library_trace.h"
#include "port_listing.h"
#include "protocol/line_protocol.h"
#include "sampling.h"

FILE *shell_out = stdout;
FILE *shell_err = stderr;
text_encoding shell_encoding = text_encoding::utf8;
bool shell_interactive = false;

namespace {

bool quit_requested = false;
bool told_no_port = false;
bool told_no_answer = false;
bool told_no_channel = false;
bool told_unusable_volts = false;
bool told_line_not_reading = false;
bool told_byte_not_level = false;
// Results of one line go on one line, separated by tabs.
bool result_line_open = false;

void print_result(const std::string &text)
{
    if (result_line_open)
        std::fputc('\t', shell_out);
    std::fputs(text.c_str(), shell_out);
    result_line_open = true;
}

struct shell_command {
    const char *name;
    const char *usage;
    const char *summary;
};

constexpr shell_command shell_commands[] = {
    {"help", "help [NAME...]", "all exports and commands, or the named ones"},
    {"record", "record EXPORT ARGS... [--every 100ms] [--count 10] [--out FILE]",
     "call an export on a schedule, write CSV (time_s,value)"},
    {"watch", "watch EXPORT ARGS... [--every 200ms] [--count N]",
     "show a value live with a small plot; Enter or Ctrl-C stops"},
    {"check", "check [DEVICE] [--no-wait]", "why does the board not answer? (before the library loads)"},
    {"ports", "ports", "the serial devices, which of them look like a board, and how to use each"},
    {"echo", "echo WORDS...", "print the words (a heading in a script)"},
    {"quit", "quit", "leave (also exit, or end of input)"},
};

void print_export_line(const export_info &info, size_t usage_width)
{
    const std::string usage = usage_of(info);
    std::fprintf(shell_out, "  %-*s -> %-6s %-7s  %s\n", static_cast<int>(usage_width), usage.c_str(),
                 result_kind_name(info.result), convention_name(info.conv), summary_of(info).c_str());
}

size_t widest_usage()
{
    size_t width = 0;
    for (size_t i = 0; i < export_count(); ++i)
        width = std::max(width, usage_of(export_table()[i]).size());
    return width;
}

bool print_topic(const std::string &topic, size_t usage_width)
{
    if (const export_info *info = find_export(topic.c_str())) {
        print_export_line(*info, usage_width);
        return true;
    }
    for (const shell_command &command : shell_commands) {
        if (topic == command.name) {
            std::fprintf(shell_out, "  %s\n      %s\n", command.usage, command.summary);
            return true;
        }
    }
    return false;
}

}  // namespace

bool shell_quit_requested() { return quit_requested; }

bool print_help(const std::vector<std::string> &topics)
{
    const size_t width = widest_usage();
    if (!topics.empty()) {
        bool all_known = true;
        for (const std::string &topic : topics) {
            if (!print_topic(topic, width)) {
                std::fprintf(shell_err, "help: no export or command named \"%s\"\n", topic.c_str());
                all_known = false;
            }
        }
        return all_known;
    }
    std::fprintf(shell_out,
                 "Exports of the library (%zu), called by name with their arguments;\n"
                 "plain and std names are stdcall, c names cdecl:\n",
                 export_count());
    for (size_t i = 0; i < export_count(); ++i)
        print_export_line(export_table()[i], width);
    std::fprintf(shell_out, "Commands of the shell:\n");
    for (const shell_command &command : shell_commands)
        std::fprintf(shell_out, "  %s\n      %s\n", command.usage, command.summary);
    std::fprintf(shell_out,
                 "Several commands on one line, separated by ;, print their results on one line\n"
                 "separated by tabs: nead 0; ead 0. Texts are shown in the terminal's encoding;\n"
                 "# starts a comment. Durations (--every) are %s.\n",
                 duration_rule);
    return true;
}

bool prepare_call(const std::vector<std::string> &words, prepared_call *call)
{
    if (words.empty())
        return false;
    const export_info *info = find_export(words[0].c_str());
    if (info == nullptr) {
        std::fprintf(shell_err, "unknown command or export \"%s\" (help lists them)\n", words[0].c_str());
        return false;
    }
    const std::vector<std::string> arguments(words.begin() + 1, words.end());
    std::string error;
    if (!parse_export_arguments(*info, arguments, &call->arguments, &error)) {
        std::fprintf(shell_err, "%s\n", error.c_str());
        return false;
    }
    if (shell_interactive && !library_loaded())
        std::fprintf(shell_err, "loading %s (the board gets 2 s to start)\n", library_path().c_str());
    call->address = resolve_export(*info, shell_err);
    if (call->address == nullptr)
        return false;
    call->info = info;
    return true;
}

namespace {

// The channel as the library takes it: double forms round it (NaN stays
// NaN and is out of range, as the library's INT_MIN is).
double channel_argument(const export_info &info, const call_arguments &arguments)
{
    if (signature_of(info.sig).kinds[0] == arg_kind::int32)
        return arguments.ints[0];
    // Narrowed to single precision, halves away from zero, as the library does.
    return std::round(static_cast<float>(arguments.reals[0]));
}

// The raw value that the library sends for a voltage that is not a number,
// is infinite or lies beyond the 32-bit range: INT_MIN, whose half the
// volts forms return.
constexpr double unusable_volts_result = -1073741824.0;

void warn_if_volts_unusable(const export_info &info, const call_arguments &arguments, const call_result &result)
{
    const signature_info &sig = signature_of(info.sig);
    if (sig.count != 2 || std::strcmp(sig.names[1], "volts") != 0 || result.real != unusable_volts_result)
        return;
    if (!told_unusable_volts)
        std::fprintf(shell_err,
                     "%s: the library received volts %s, which no output can give: it sent the raw value "
                     "-2147483648, as it does for a value that is not a number or beyond the 32-bit range, "
                     "and returned half of it\n",
                     info.name, real_text(arguments.reals[1]).c_str());
    told_unusable_volts = true;
}

// An answer came, but the library turns one that is not a number into 0 and
// takes any byte but zero for a 1: its trace gave the answer it judged.
void warn_answer_not_reading(const export_info &info, const call_result &result, const std::string &judged)
{
    const board_use use = board_use_of(info);
    const std::string shown_result =
        result.kind == result_kind::int32 ? std::to_string(result.integer) : real_text(result.real);
    if (use == board_use::asks_line) {
        if (!told_line_not_reading)
            std::fprintf(shell_err,
                         "%s: the board answered %s, not a reading (0 to %d): its %s is not a reading "
                         "(`check` tells why)\n",
                         info.name, shown(judged).c_str(), highest_analog_reading, shown_result.c_str());
        told_line_not_reading = true;
    } else if (use == board_use::asks_byte && !judged.empty()) {
        if (!told_byte_not_level) {
            char hex[16];
            std::snprintf(hex, sizeof hex, "0x%02X", static_cast<unsigned>(static_cast<unsigned char>(judged[0])));
            std::fprintf(shell_err,
                         "%s: the board answered the byte %s, not a level (0x00 or 0x01): its %s is not a "
                         "reading (`check` tells why)\n",
                         info.name, hex, shown_result.c_str());
        }
        told_byte_not_level = true;
    }
}

void warn_unless_from_board(const export_info &info, const call_arguments &arguments, const call_result &result,
                            const call_trace &traced)
{
    const board_use use = board_use_of(info);
    if (use == board_use::none)
        return;
    const int channels = board_channels_of(info);
    const double channel = channel_argument(info, arguments);
    if (!(channel >= 0 && channel < channels)) {
        if (!told_no_channel)
            std::fprintf(shell_err, "%s: the board has %s 0 to %d, not %s: %s\n", info.name,
                         board_channel_kind(info), channels - 1, real_text(channel).c_str(),
                         use == board_use::sends ? "nothing is set" : "the result is not a reading");
        told_no_channel = true;
        return;
    }
    warn_if_volts_unusable(info, arguments, result);
    if (library_port_state() == port_state::unknown)
        return;  // the library says nothing (a test's stand-ins)
    if (traced.no_port) {
        if (!told_no_port) {
            const std::string device = port_of_library(library_path());
            std::fprintf(shell_err,
                         "no board: the library could not open %s, so inputs read 0 and outputs go "
                         "nowhere (`check` tells why)\n",
                         device.empty() ? "its port" : device.c_str());
        }
        told_no_port = true;
        return;
    }
    if (use != board_use::sends && traced.no_answer) {
        if (!told_no_answer)
            std::fprintf(shell_err,
                         "no answer from the board within the library's limit of %d ms (%s): its 0 is "
                         "not a reading (`check` tells why)\n",
                         static_cast<int>(answer_limit_ms), info.name);
        told_no_answer = true;
        return;
    }
    if (traced.not_a_reading)
        warn_answer_not_reading(info, result, traced.judged);
}

}  // namespace

call_result perform_call(const prepared_call &call)
{
    std::fflush(shell_out);
    std::fflush(stdout);
    trace_call_begin();
    call_result result = call_export(*call.info, call.address, call.arguments);
    warn_unless_from_board(*call.info, call.arguments, result, trace_call_end());
    return result;
}

bool all_results_from_board()
{
    return !told_no_port && !told_no_answer && !told_no_channel && !told_unusable_volts && !told_line_not_reading &&
           !told_byte_not_level;
}

void reset_result_warnings()
{
    told_no_port = told_no_answer = told_no_channel = told_unusable_volts = false;
    told_line_not_reading = told_byte_not_level = false;
}

void end_result_line()
{
    if (result_line_open)
        std::fputc('\n', shell_out);
    result_line_open = false;
    std::fflush(shell_out);
}

bool run_words(const std::vector<std::string> &words)
{
    if (words.empty())
        return true;
    const std::string &name = words[0];
    const std::vector<std::string> rest(words.begin() + 1, words.end());
    if (name == "echo") {
        std::string text;
        for (const std::string &word : rest)
            text += (text.empty() ? "" : " ") + word;
        print_result(text);
        return true;
    }
    if (find_export(name.c_str()) == nullptr)
        end_result_line();
    if (name == "help" || name == "?") {
        return print_help(rest);
    }
    if (name == "quit" || name == "exit") {
        quit_requested = true;
        return true;
    }
    if (name == "record")
        return record_command(rest);
    if (name == "watch")
        return watch_command(rest);
    if (name == "check")
        return check_command(rest);
    if (name == "ports")
        return ports_command(rest);

    prepared_call call;
    if (!prepare_call(words, &call))
        return false;
    const call_result result = perform_call(call);
    print_result(result_text(result, shell_encoding));
    return true;
}

bool run_line(const std::string &line)
{
    std::vector<std::vector<std::string>> commands;
    std::string error;
    if (!split_commands(line, &commands, &error)) {
        std::fprintf(shell_err, "%s\n", error.c_str());
        return false;
    }
    bool all_ok = true;
    for (const std::vector<std::string> &words : commands) {
        if (quit_requested)
            break;
        all_ok = run_words(words) && all_ok;
    }
    end_result_line();
    return all_ok;
}
