// The double forms that talk to the board, and the trace line of stdsad,
// against a fake board: a double form must put on the wire and return
// exactly what its plain function does for the rounded channel.
#include <chrono>
#include <climits>
#include <csignal>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <atomic>
#include <functional>
#include <gtest/gtest.h>
#include <limits>
#include <mutex>
#include <string>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "driver_session.h"
#include "hostile_doubles.h"
#include "wire_of.h"

namespace {

// Same bit pattern, so NaN results compare too.
bool same_double(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The byte the board answers to EB lines (the board thread reads it).
std::atomic<char> eb_answer{1};

void answer_inputs_at_once(fake_board &board)
{
    board.respond_with([](const std::string &line) {
        if (line.rfind("EA", 0) == 0)
            return board_reply{"1\r", 0};
        if (line.rfind("EB", 0) == 0)
            return board_reply{std::string(1, eb_answer.load()), 0};
        return board_reply{};
    });
}

DRIVER_TEST(DoubleForms, RoundedArgumentsOnTheWire)
{
    answer_inputs_at_once(board);
    auto sbdouble = GET_EXPORT(driver, sbdouble);
    auto sadouble = GET_EXPORT(driver, sadouble);
    auto ebdouble = GET_EXPORT(driver, ebdouble);
    auto rsbdouble = GET_EXPORT(driver, rsbdouble);

    // sbdouble(1.0, 0.6) is sb(1, 1); sbdouble(2.0, 0.4) is sb(2, 0).
    double got = 0;
    int plain = 0;
    const std::string on_wire = wire_of(board, analog_marker(sa), [&] { got = sbdouble(1.0, 0.6); });
    EXPECT_EQ(on_wire, wire_of(board, analog_marker(sa), [&] { plain = sb(1, 1); }));
    EXPECT_EQ(on_wire, "SBB1\r");
    EXPECT_TRUE(same_double(got, plain));
    EXPECT_EQ(got, 1.0);
    EXPECT_EQ(rsbdouble(1.0), 1.0);
    const std::string off_wire = wire_of(board, analog_marker(sa), [&] { got = sbdouble(2.0, 0.4); });
    EXPECT_EQ(off_wire, wire_of(board, analog_marker(sa), [&] { plain = sb(2, 0); }));
    EXPECT_EQ(got, 0.0);
    EXPECT_FALSE(std::signbit(got));
    // rsbdouble gives the stored integer exactly, whatever it is.
    sb(0, 7);
    EXPECT_EQ(rsbdouble(0.0), 7.0);
    sb(0, INT_MIN + 1);
    EXPECT_EQ(rsbdouble(-0.4), static_cast<double>(INT_MIN + 1));
    EXPECT_EQ(rsb(0), INT_MIN + 1);

    // The volts pass unrounded: sadouble(0.4, 2.5) is sad(0, 2.5).
    const std::string volts_wire = wire_of(board, analog_marker(sa), [&] { got = sadouble(0.4, 2.5); });
    EXPECT_EQ(rsad(0), 2.5);
    const int raw = rsa(0);
    double plain_volts = 0;
    EXPECT_EQ(volts_wire, wire_of(board, analog_marker(sa), [&] { plain_volts = sad(0, 2.5); }));
    EXPECT_TRUE(same_double(got, plain_volts));
    EXPECT_EQ(rsa(0), raw);
    EXPECT_EQ(rsad(0), 2.5);

    // ebdouble gives eb's 0 or 1 as an exact double.
    for (char answer : {'\x01', '\x00', '\x7f'}) {
        eb_answer = answer;
        const int expected = eb(1);
        EXPECT_EQ(expected, answer != 0 ? 1 : 0);
        const double d = ebdouble(0.6);
        EXPECT_EQ(d, static_cast<double>(expected));
        EXPECT_FALSE(std::signbit(d));
    }
    eb_answer = 1;
}

// Every double form that reaches the board or the read-back tables, plain and
// std, with doubles no channel can hold: the same bytes and the same result
// as the plain function given the rounded number.
DRIVER_TEST_WITHIN(DoubleForms, HostileDoublesReachThePlainFunctionRounded, 120000)
{
    answer_inputs_at_once(board);
    // Something to read back on every channel that has an entry.
    for (int channel = 0; channel <= 8; ++channel) {
        GET_EXPORT(driver, sad)(channel, 0.5 + channel);
        GET_EXPORT(driver, sb)(channel, channel + 1);
    }

    using one = double(ARDUINODRV_STDCALL *)(double);
    using two = double(ARDUINODRV_STDCALL *)(double, double);
    struct one_form {
        const char *name;
        one form, std_form;
        std::function<double(int)> plain;
    };
    const one_form ones[] = {
        {"eadouble", GET_EXPORT(driver, eadouble), GET_EXPORT(driver, stdeadouble),
         [&](int c) { return GET_EXPORT(driver, ead)(c); }},
        {"ebdouble", GET_EXPORT(driver, ebdouble), GET_EXPORT(driver, stdebdouble),
         [&](int c) { return static_cast<double>(GET_EXPORT(driver, eb)(c)); }},
        {"rsadouble", GET_EXPORT(driver, rsadouble), GET_EXPORT(driver, stdrsadouble),
         [&](int c) { return GET_EXPORT(driver, rsad)(c); }},
        {"rsbdouble", GET_EXPORT(driver, rsbdouble), GET_EXPORT(driver, stdrsbdouble),
         [&](int c) { return static_cast<double>(GET_EXPORT(driver, rsb)(c)); }},
    };
    for (const auto &f : ones) {
        for (const auto &c : hostile_doubles()) {
            char where[80];
            std::snprintf(where, sizeof where, "%s(%.17g)", f.name, c.value);
            double expected = 0, got = 0, got_std = 0;
            const std::string wire = wire_of(board, analog_marker(sa), [&] { expected = f.plain(c.whole); });
            EXPECT_EQ(wire_of(board, analog_marker(sa), [&] { got = f.form(c.value); }), wire) << where;
            EXPECT_EQ(wire_of(board, analog_marker(sa), [&] { got_std = f.std_form(c.value); }), wire) << "std" << where;
            EXPECT_TRUE(same_double(got, expected)) << where << ": " << got << " against " << expected;
            EXPECT_TRUE(same_double(got_std, expected)) << "std" << where;
        }
    }

    struct two_form {
        const char *name;
        two form, std_form;
        std::function<double(const double_case &, const double_case &)> plain;
    };
    const two_form twos[] = {
        {"sadouble", GET_EXPORT(driver, sadouble), GET_EXPORT(driver, stdsadouble),
         [&](const double_case &channel, const double_case &volts) {
             return GET_EXPORT(driver, sad)(channel.whole, volts.value);
         }},
        {"sbdouble", GET_EXPORT(driver, sbdouble), GET_EXPORT(driver, stdsbdouble),
         [&](const double_case &channel, const double_case &value) {
             return static_cast<double>(GET_EXPORT(driver, sb)(channel.whole, value.whole));
         }},
    };
    const double_case ordinary[] = {{1.0, 1}, {2.5, 3}};
    for (const auto &f : twos) {
        std::vector<std::pair<double_case, double_case>> pairs;
        for (const auto &c : hostile_doubles()) {
            for (const auto &o : ordinary) {
                pairs.emplace_back(c, o);
                pairs.emplace_back(o, c);
            }
            pairs.emplace_back(c, c);
        }
        for (const auto &[first, second] : pairs) {
            char where[100];
            std::snprintf(where, sizeof where, "%s(%.17g, %.17g)", f.name, first.value, second.value);
            double expected = 0, got = 0, got_std = 0;
            const std::string wire = wire_of(board, analog_marker(sa), [&] { expected = f.plain(first, second); });
            EXPECT_EQ(wire_of(board, analog_marker(sa), [&] { got = f.form(first.value, second.value); }), wire) << where;
            EXPECT_EQ(wire_of(board, analog_marker(sa), [&] { got_std = f.std_form(first.value, second.value); }), wire)
                << "std" << where;
            EXPECT_TRUE(same_double(got, expected)) << where << ": " << got << " against " << expected;
            EXPECT_TRUE(same_double(got_std, expected)) << "std" << where;
        }
    }
}

// stdsad's line goes out, flushed, before its command reaches the board; sad
// and csad write nothing. The board looks at standard output the moment each
// command line arrives.
TEST(StdsadTrace, OneLinePerCallBeforeTheCommand)
{
    const child_result child = run_in_child([] {
        // Standard output goes to a pipe the board can look at; the test's
        // own messages go to the saved descriptor once the calls are done.
        int out[2];
        ASSERT_EQ(pipe(out), 0);
        std::fflush(stdout);
        const int saved_stdout = dup(1);
        ASSERT_EQ(dup2(out[1], 1), 1);

        std::mutex seen_mutex;
        std::vector<int> waiting_at_command;  // bytes on standard output when each SA line arrived
        const auto commands_seen = [&] {
            std::lock_guard<std::mutex> lock(seen_mutex);
            return waiting_at_command;
        };
        const auto wait_for_commands = [&](size_t count, int timeout_ms) {
            for (int waited = 0; waited < timeout_ms && commands_seen().size() < count; waited += 5)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            return commands_seen().size();
        };
        fake_board board(TEST_DEVICE_FOLDER, "ttyUSB0");
        board.respond_with([&](const std::string &line) {
            if (line.rfind("SA", 0) == 0) {
                int waiting = -1;
                ioctl(out[0], FIONREAD, &waiting);
                std::lock_guard<std::mutex> lock(seen_mutex);
                waiting_at_command.push_back(waiting);
            }
            return board_reply{};
        });
        loaded_driver driver(TEST_LIBRARY_USB0);
        auto stdsad = GET_EXPORT(driver, stdsad);
        auto sad = GET_EXPORT(driver, sad);
        auto csad = GET_EXPORT(driver, csad);
        auto rsad = GET_EXPORT(driver, rsad);

        // One call at a time, each command seen by the board before the next.
        stdsad(0, 2.5);
        wait_for_commands(1, 5000);
        stdsad(1, 5.0);
        wait_for_commands(2, 5000);
        sad(2, 1.0);
        wait_for_commands(3, 5000);
        csad(3, 1.0);
        wait_for_commands(4, 5000);
        stdsad(3, 0.0);
        wait_for_commands(5, 5000);
        const double stored = rsad(1);
        // No pin, so nothing for the board: the line is written all the same.
        stdsad(7, 1.0);
        const double stored_without_pin = rsad(7);
        std::string written(200, '\0');
        const ssize_t got = read(out[0], written.data(), written.size());
        written.resize(got > 0 ? static_cast<size_t>(got) : 0);

        // With standard output full, stdsad blocks on its line: no command
        // may reach the board until the host's output is read.
        const int flags = fcntl(out[1], F_GETFL);
        fcntl(out[1], F_SETFL, flags | O_NONBLOCK);
        const std::string filler(4096, '.');
        size_t filled = 0;
        for (ssize_t w; (w = write(out[1], filler.data(), filler.size())) > 0;)
            filled += static_cast<size_t>(w);
        fcntl(out[1], F_SETFL, flags);
        std::thread blocked([&] { stdsad(2, 2.0); });
        const size_t seen_while_blocked = wait_for_commands(6, 300);
        std::string drained;
        const size_t expected_total = filled + 12;
        while (drained.size() < expected_total) {
            char buffer[4096];
            const ssize_t r = read(out[0], buffer, sizeof buffer);
            if (r <= 0)
                break;
            drained.append(buffer, static_cast<size_t>(r));
        }
        blocked.join();
        const size_t seen_after = wait_for_commands(6, 5000);

        std::fflush(stdout);
        dup2(saved_stdout, 1);
        const std::string line = "dans stdsad\n";
        const int n = static_cast<int>(line.size());
        const std::vector<int> seen = commands_seen();
        ASSERT_EQ(seen.size(), 6u);
        EXPECT_EQ(std::vector<int>(seen.begin(), seen.begin() + 5), (std::vector<int>{n, 2 * n, 2 * n, 2 * n, 3 * n}));
        EXPECT_EQ(written, line + line + line + line);
        EXPECT_EQ(stored, 5.0);
        EXPECT_EQ(stored_without_pin, 1.0);
        EXPECT_EQ(seen_while_blocked, 5u) << "the command went out before the trace line";
        EXPECT_EQ(seen_after, 6u);
        EXPECT_EQ(drained.size(), expected_total);
        EXPECT_EQ(drained.substr(filled), line);
    });
    EXPECT_EQ(child.exit_code, 0);
}

// A standard output whose reader is gone: the line is lost, the host is not
// killed by SIGPIPE, and its signal mask is as it was.
TEST(StdsadTrace, StandardOutputWithoutReaderLosesTheLine)
{
    const child_result child = run_in_child([] {
        loaded_driver driver(TEST_LIBRARY_USB0);
        auto stdsad = GET_EXPORT(driver, stdsad);
        int out[2];
        ASSERT_EQ(pipe(out), 0);
        close(out[0]);
        std::fflush(stdout);
        const int saved_stdout = dup(1);
        ASSERT_EQ(dup2(out[1], 1), 1);
        std::signal(SIGPIPE, SIG_DFL);
        sigset_t mask_before, mask_after, pending;
        pthread_sigmask(SIG_BLOCK, nullptr, &mask_before);

        double results[3];
        for (double &result : results)
            result = stdsad(1, 2.5);

        pthread_sigmask(SIG_BLOCK, nullptr, &mask_after);
        sigpending(&pending);
        dup2(saved_stdout, 1);
        std::clearerr(stdout);
        for (const double result : results)
            EXPECT_EQ(result, 64.0);
        EXPECT_FALSE(sigismember(&pending, SIGPIPE));
        EXPECT_EQ(sigismember(&mask_after, SIGPIPE), sigismember(&mask_before, SIGPIPE));
    });
    EXPECT_EQ(child.signal, 0);
    EXPECT_EQ(child.exit_code, 0);
}

}  // namespace
