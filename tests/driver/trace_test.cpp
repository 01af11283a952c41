// The trace (ARDUINODRV_TRACE): what a value that names no usable target
// does to a host (nothing: the library works as without it, in bounded
// time), and the lines of a few events byte for byte.
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "child.h"
#include "driver_loader.h"
#include "elapsed.h"
#include "fake_board.h"
#include "trace_events.h"

namespace {

using steady = std::chrono::steady_clock;

constexpr int child_timeout_ms = 60000;
// Trace lines each output call makes: enough to fill a pipe nobody reads.
constexpr int output_calls = 2000;

// A board that answers the requests below at once.
board_reply board_answer(const std::string &line)
{
    if (line == "EA3")
        return {"512\r\n"};
    if (line == "EB2")
        return {"\x01"};
    return {};
}

// Loads the library with ARDUINODRV_TRACE set to what `prepare` returns,
// on a board of its own named by ARDUINODRV_PORT, and checks that the host
// sees what it sees without a trace: right readings, every output sent, no
// call stalled, no SIGPIPE. `after` looks at what the trace left.
void works_as_without_trace(const std::string &name, const std::function<std::string()> &prepare,
                            const std::function<void()> &after = [] {})
{
    fake_board board(TEST_DEVICE_FOLDER, name);
    board.respond_with(board_answer);
    setenv("ARDUINODRV_PORT", board.link_path().c_str(), 1);
    const std::string value = prepare();
    setenv("ARDUINODRV_TRACE", value.c_str(), 1);
    signal(SIGPIPE, SIG_DFL);  // a SIGPIPE that got through would end the child

    auto start = steady::now();
    loaded_driver driver(TEST_LIBRARY_USB0);
    EXPECT_LT(ms_between(start, steady::now()), 2000 + 1500) << name;
    start = steady::now();
    EXPECT_EQ(GET_EXPORT(driver, ea)(3), 512) << name;
    EXPECT_EQ(GET_EXPORT(driver, eb)(0), 1) << name;
    EXPECT_LT(ms_between(start, steady::now()), 1500) << name;
    auto sb = GET_EXPORT(driver, sb);
    start = steady::now();
    for (int i = 0; i < output_calls; ++i)
        ASSERT_EQ(sb(3, 1), 1) << name;
    EXPECT_LT(ms_between(start, steady::now()), 5000) << name;
    EXPECT_TRUE(board.wait_received(std::string("EA3\r\rEB2\r").size() + output_calls * 5, 5000)) << name;
    driver.unload();
    after();
}

// Each case in a child of its own (the trace is read at load).
void run_cases(const std::vector<std::function<void()>> &cases)
{
    for (size_t i = 0; i < cases.size(); ++i) {
        const child_result result = run_in_child(cases[i], child_timeout_ms, true);
        EXPECT_EQ(result.exit_code, 0) << "case " << i << " signal " << result.signal;
        EXPECT_EQ(result.out, "") << "case " << i << ": nothing on standard output";
    }
}

bool exists(const std::string &path)
{
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

TEST(Trace, AValueThatNamesNoTargetChangesNothing)
{
    const std::string folder = TEST_DEVICE_FOLDER;
    run_cases({
        [] { works_as_without_trace("empty", [] { return std::string(); }); },
        [] { works_as_without_trace("closed", [] { close(57); return std::string("57"); }); },
        [] { works_as_without_trace("beyond", [] { return std::string("99999999999"); }); },
        [] {
            // The read end of a pipe: opened again for writing it would feed
            // the host its own trace.
            int ends[2];
            ASSERT_EQ(pipe(ends), 0);
            works_as_without_trace(
                "read-end", [&] { return std::to_string(ends[0]); },
                [&] {
                    fcntl(ends[0], F_SETFL, O_NONBLOCK);
                    char byte;
                    EXPECT_EQ(read(ends[0], &byte, 1), -1);
                    EXPECT_EQ(errno, EAGAIN);
                });
        },
        [] {
            int ends[2];
            ASSERT_EQ(pipe(ends), 0);
            works_as_without_trace("no-reader", [&] { close(ends[0]); return std::to_string(ends[1]); });
        },
        [] {
            // A reader that never reads: the pipe fills, later lines are dropped.
            int ends[2];
            ASSERT_EQ(pipe(ends), 0);
            works_as_without_trace("never-read", [&] { return std::to_string(ends[1]); });
        },
        [] { works_as_without_trace("standard-output", [] { return std::string("1"); }); },
        [folder] { works_as_without_trace("no-folder", [&] { return folder + "/missing/trace.txt"; }); },
        [folder] { works_as_without_trace("folder", [&] { return folder; }); },
        [folder] { works_as_without_trace("long", [&] { return folder + "/" + std::string(PATH_MAX, 'x'); }); },
        [folder] {
            const std::string path = folder + "/trace\n.txt";
            works_as_without_trace(
                "control", [&] { return path; }, [&] { EXPECT_FALSE(exists(path)); });
        },
    });
}

// Loads the library in a child with its trace in a file, runs `requests`,
// unloads it and compares the trace's events with those `expected` gives
// for the port the trace names.
void expect_trace(const std::string &port_path, const std::function<void(const loaded_driver &)> &requests,
                  const std::function<std::vector<std::string>(const std::string &port)> &expected)
{
    const std::string trace = std::string(TEST_DEVICE_FOLDER) + "/events.trace";
    unlink(trace.c_str());
    setenv("ARDUINODRV_TRACE", trace.c_str(), 1);
    {
        loaded_driver driver(TEST_LIBRARY_USB0);
        requests(driver);
    }
    EXPECT_EQ(trace_events(file_text(trace), "arduinodrv"), expected(path_word(port_path, PATH_MAX)));
}

TEST(Trace, EventsByteForByte)
{
    const child_result child = run_in_child(
        [] {
            fake_board board(TEST_DEVICE_FOLDER, "bytes board");
            // Zero, 0xFF, a quote and a backslash in an analog answer, a
            // line end before a digital one.
            board.respond_with([](const std::string &line) {
                if (line == "EA0")
                    return board_reply{std::string("5\0\xff\"\\\r\n", 7)};
                if (line == "EB2")
                    return board_reply{"\r\x01"};
                return board_reply{};
            });
            setenv("ARDUINODRV_PORT", board.link_path().c_str(), 1);
            const auto requests = [](const loaded_driver &driver) {
                EXPECT_EQ(GET_EXPORT(driver, ea)(0), 5);
                EXPECT_EQ(GET_EXPORT(driver, eb)(0), 1);
                EXPECT_EQ(GET_EXPORT(driver, ea)(9), 0);  // silent
            };
            expect_trace(board.link_path(), requests, [](const std::string &port) {
                EXPECT_NE(port.find("bytes\\x20board"), std::string::npos);
                return std::vector<std::string>{
                    port + " probe: 0 of 42 candidate devices open",
                    port + " open: opened (ARDUINODRV_PORT)",
                    port + " send: \"EA0\\r\\r\"",
                    port + " answer: \"5\\x00\\xff\\\"\\\\\\n\" after N ms",
                    port + " not-a-reading: \"5\\xff\\\"\\\\\"",
                    port + " discard: \"\\n\"",
                    port + " send: \"EB2\\r\"",
                    port + " answer: \"\\n\\x01\" after N ms",
                    port + " send: \"EA9\\r\\r\"",
                    port + " no-answer: within 1000 ms",
                    port + " close: unloaded",
                };
            });
        },
        child_timeout_ms);
    EXPECT_EQ(child.exit_code, 0);
}

// Why a host reads 0: the port that did not open, with the system's reason,
// and each request that found no port.
TEST(Trace, SaysWhyTheHostReadsZero)
{
    const child_result child = run_in_child(
        [] {
            const std::string missing = std::string(TEST_DEVICE_FOLDER) + "/ttyUSB0";
            unlink(missing.c_str());
            unsetenv("ARDUINODRV_PORT");
            expect_trace(
                missing, [](const loaded_driver &driver) { EXPECT_EQ(GET_EXPORT(driver, sb)(0, 1), 1); },
                [](const std::string &port) {
                    return std::vector<std::string>{
                        port + " probe: 0 of 42 candidate devices open",
                        port + " open: not opened: No such file or directory (the build's default)",
                        port + " no-port: \"SBA1\\r\" not sent",
                        port + " close: unloaded",
                    };
                });
        },
        child_timeout_ms);
    EXPECT_EQ(child.exit_code, 0);
}

}  // namespace
