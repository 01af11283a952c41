#include "sampling.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <csignal>
#include <cstdio>
#include <deque>
#include <poll.h>
#include <pthread.h>
#include <time.h>
#include <termios.h>
#include <unistd.h>

#include "arguments.h"
#include "durations.h"
#include "posix/clock.h"
#include "shell.h"
#include "posix/console.h"

namespace {

constexpr int64_t unlimited = -1;
constexpr double longest_interval_ms = 3600.0 * 1000;
constexpr size_t plot_width = 40;

volatile sig_atomic_t interrupted = 0;

void note_interrupt(int) { interrupted = 1; }

// Ctrl-C ends the loop instead of the shell, for the loop's duration.
struct interrupt_catcher {
    struct sigaction previous {};
    interrupt_catcher()
    {
        interrupted = 0;
        struct sigaction action {};
        action.sa_handler = note_interrupt;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &previous);
    }
    ~interrupt_catcher() { sigaction(SIGINT, &previous, nullptr); }
    interrupt_catcher(const interrupt_catcher &) = delete;
    interrupt_catcher &operator=(const interrupt_catcher &) = delete;
};

struct schedule {
    prepared_call call;
    std::string label;  // "ead 0"
    int64_t every_ms = 0;
    int64_t count = 0;
    std::string out_file;
};

// Splits "EXPORT ARGS... --option value..." and checks both halves. Options
// not in `allowed` are refused.
bool parse_schedule(const char *command, const std::vector<std::string> &words, bool allow_out,
                    int64_t every_ms, int64_t count, schedule *plan)
{
    size_t first_option = 0;
    while (first_option < words.size() && !words[first_option].starts_with("--"))
        ++first_option;
    const std::vector<std::string> call_words(words.begin(), words.begin() + static_cast<long>(first_option));
    if (call_words.empty()) {
        std::fprintf(shell_err, "%s: name an export to call, e.g. %s ead 0\n", command, command);
        return false;
    }
    plan->every_ms = every_ms;
    plan->count = count;
    for (size_t i = first_option; i < words.size(); i += 2) {
        const std::string &option = words[i];
        if (i + 1 >= words.size()) {
            std::fprintf(shell_err, "%s: %s needs a value\n", command, option.c_str());
            return false;
        }
        const std::string &value = words[i + 1];
        if (option == "--every") {
            double ms = 0;
            std::string why = read_duration_ms(value, &ms);
            if (why.empty() && (ms < 1 || ms > longest_interval_ms))
                why = "must be from 1ms to 1 hour";
            if (!why.empty()) {
                std::fprintf(shell_err, "%s: --every %s %s (--every takes %s)\n", command, value.c_str(),
                             why.c_str(), duration_rule);
                return false;
            }
            plan->every_ms = static_cast<int64_t>(ms + 0.5);
        } else if (option == "--count") {
            int32_t n = 0;
            if (!parse_int32(value, &n) || n < 1) {
                std::fprintf(shell_err, "%s: --count takes a whole number of at least 1, got \"%s\"\n",
                             command, value.c_str());
                return false;
            }
            plan->count = n;
        } else if (option == "--out" && allow_out) {
            plan->out_file = value;
        } else {
            std::fprintf(shell_err, "%s: unknown option %s\n", command, option.c_str());
            return false;
        }
    }
    const export_info *info = find_export(call_words[0].c_str());
    if (info != nullptr && info->result == result_kind::text) {
        std::fprintf(shell_err, "%s: %s gives a text, not a value to follow\n", command, info->name);
        return false;
    }
    if (!prepare_call(call_words, &plan->call))
        return false;
    for (const std::string &word : call_words)
        plan->label += (plan->label.empty() ? "" : " ") + word;
    return true;
}

// A call slower than the interval is followed at once by the next, so the
// samples come as fast as the calls go: say so rather than let the times
// in the table surprise.
void state_real_interval(const schedule &plan, int64_t call_ms)
{
    if (call_ms <= plan.every_ms || plan.count == 1)
        return;
    std::fprintf(shell_err, "each %s takes about %lld ms: sampling every %lld ms, not every %lld ms\n",
                 plan.label.c_str(), static_cast<long long>(call_ms), static_cast<long long>(call_ms),
                 static_cast<long long>(plan.every_ms));
}

double value_of(const call_result &result)
{
    return result.kind == result_kind::int32 ? result.integer : result.real;
}

// Enter, or the end of the keyboard's input.
bool enter_pressed()
{
    pollfd input{STDIN_FILENO, POLLIN, 0};
    if (poll(&input, 1, 0) <= 0 || (input.revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) == 0)
        return false;
    // Take the line so that it does not become the next command.
    char byte = 0;
    while (read(STDIN_FILENO, &byte, 1) == 1 && byte != '\n') {
    }
    return true;
}

// Sleeps until `target_ms` after `start`, or until Ctrl-C or (watching the
// keyboard) Enter: false then. Ctrl-C is held back while the flag is looked
// at and let in only during the sleep, so it can never slip between the two
// and leave a long interval to run out.
bool wait_until(int32_t start, int64_t target_ms, bool keyboard)
{
    sigset_t held, previous;
    sigemptyset(&held);
    sigaddset(&held, SIGINT);
    pthread_sigmask(SIG_BLOCK, &held, &previous);
    sigset_t during_sleep = previous;
    sigdelset(&during_sleep, SIGINT);
    bool go_on = true;
    for (;;) {
        const int64_t left = target_ms - ms_since(start);
        if (interrupted) {
            go_on = false;
            break;
        }
        if (left <= 0)
            break;
        pollfd input{STDIN_FILENO, POLLIN, 0};
        const timespec span{static_cast<time_t>(left / 1000), static_cast<long>(left % 1000) * 1000000L};
        if (ppoll(&input, keyboard ? 1 : 0, &span, &during_sleep) > 0 && enter_pressed()) {
            go_on = false;
            break;
        }
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return go_on;
}

// Keeps typed keys off the live line while watching; Enter still ends a line.
void quiet_keyboard(termios &settings)
{
    settings.c_lflag &= static_cast<tcflag_t>(~(ECHO | ECHONL));
}

std::string plot_of(const std::deque<double> &history, double low, double high, bool blocks)
{
    static const char *const block_levels[] = {"\u2581", "\u2582", "\u2583", "\u2584",
                                               "\u2585", "\u2586", "\u2587", "\u2588"};
    static const char ascii_levels[] = "_.,-=+*#";
    std::string plot;
    for (const double v : history) {
        double fraction = high > low ? (v - low) / (high - low) : 0.5;
        if (!(fraction >= 0.0))  // NaN and below the range
            fraction = 0.0;
        fraction = std::min(fraction, 1.0);
        const int level = std::min(7, static_cast<int>(fraction * 8.0));
        if (blocks)
            plot += block_levels[level];
        else
            plot += ascii_levels[level];
    }
    return plot;
}

}  // namespace

namespace {
// Call k of the schedule, on a fixed grid from `start` so that slow calls do
// not make it drift (a call slower than the period is followed at once by
// the next): false when the wait was ended instead (Ctrl-C, or Enter with
// `keyboard`). Its time since the start goes to *at.
bool scheduled_call(const schedule &plan, int32_t start, int64_t k, bool keyboard, int64_t *at, call_result *result)
{
    if (!wait_until(start, k * plan.every_ms, keyboard))
        return false;
    *at = ms_since(start);
    *result = perform_call(plan.call);
    if (k == 0)
        state_real_interval(plan, ms_since(start) - *at);
    return true;
}
}  // namespace

bool record_command(const std::vector<std::string> &words)
{
    schedule plan;
    if (!parse_schedule("record", words, true, 100, 10, &plan))
        return false;
    FILE *out = shell_out;
    if (!plan.out_file.empty()) {
        out = std::fopen(plan.out_file.c_str(), "w");
        if (out == nullptr) {
            std::fprintf(shell_err, "record: --out %s: cannot write it (%s)\n", plan.out_file.c_str(),
                         std::strerror(errno));
            return false;
        }
    }
    interrupt_catcher catcher;
    std::fprintf(out, "time_s,%s\n", plan.label.c_str());
    std::fflush(out);
    const int32_t start = elapsed_ms();
    int64_t taken = 0;
    for (int64_t k = 0; k < plan.count; ++k) {
        int64_t at = 0;
        call_result result;
        if (!scheduled_call(plan, start, k, false, &at, &result))
            break;
        std::fprintf(out, "%s,%s\n", seconds_text(at).c_str(), result_text(result, shell_encoding).c_str());
        std::fflush(out);
        ++taken;
    }
    if (out != shell_out) {
        const bool clean = std::ferror(out) == 0;
        const bool written = std::fclose(out) == 0 && clean;
        if (!written) {
            // A half-written file would pass for a recording: only one the
            // user stopped is kept.
            std::remove(plan.out_file.c_str());
            std::fprintf(shell_err, "record: could not write all of %s (is the disk full?): removed it\n",
                         plan.out_file.c_str());
            return false;
        }
        std::fprintf(shell_err, "record: %lld samples written to %s%s\n", static_cast<long long>(taken),
                     plan.out_file.c_str(), interrupted ? " (stopped)" : "");
    }
    return true;
}

bool watch_command(const std::vector<std::string> &words)
{
    schedule plan;
    if (!parse_schedule("watch", words, false, 200, unlimited, &plan))
        return false;
    const bool keyboard = isatty(STDIN_FILENO) != 0;
    if (plan.count == unlimited && !keyboard) {
        std::fprintf(shell_err, "watch: give --count N when commands come from a script\n");
        return false;
    }
    const bool live = isatty(fileno(shell_out)) != 0;
    const bool blocks = live && shell_encoding == text_encoding::utf8;
    const double full_scale = full_scale_of(*plan.call.info);

    interrupt_catcher catcher;
    // Only after the library has loaded (it saves the terminal's settings
    // when it loads, and puts them back when it unloads).
    terminal_mode quiet(quiet_keyboard);
    quiet.enter();
    if (live)
        std::fprintf(shell_err, "watching %s: Enter or Ctrl-C stops\n", plan.label.c_str());
    std::deque<double> history;
    double seen_low = 0.0;
    double seen_high = 0.0;
    const int32_t start = elapsed_ms();
    for (int64_t k = 0; plan.count == unlimited || k < plan.count; ++k) {
        int64_t at = 0;
        call_result result;
        if (!scheduled_call(plan, start, k, keyboard, &at, &result))
            break;
        const std::string shown = result_text(result, shell_encoding);
        if (!live) {
            std::fprintf(shell_out, "%s %s\n", seconds_text(at).c_str(), shown.c_str());
            std::fflush(shell_out);
            continue;
        }
        const double v = value_of(result);
        history.push_back(v);
        if (history.size() > plot_width)
            history.pop_front();
        seen_low = k == 0 ? v : std::min(seen_low, v);
        seen_high = k == 0 ? v : std::max(seen_high, v);
        const double low = full_scale > 0 ? 0.0 : seen_low;
        const double high = full_scale > 0 ? full_scale : seen_high;
        std::fprintf(shell_out, "\r\033[K%s = %-14s %s  [%s..%s]", plan.label.c_str(), shown.c_str(),
                     plot_of(history, low, high, blocks).c_str(), real_text(low).c_str(),
                     real_text(high).c_str());
        std::fflush(shell_out);
    }
    if (live)
        std::fprintf(shell_out, "\n");
    return true;
}
