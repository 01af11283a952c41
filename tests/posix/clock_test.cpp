// The millisecond clock and the pause. Every case runs in a forked child:
// this process never reads the clock, so each child makes its first reading.
#include <chrono>
#include <climits>
#include <csignal>
#include <gtest/gtest.h>
#include <latch>
#include <sys/time.h>
#include <thread>
#include <vector>

#include "child.h"
#include "elapsed.h"
#include "posix/clock.h"

namespace {

using steady = std::chrono::steady_clock;

TEST(Clock, FirstReadingAndALongPause)
{
    const child_result child = run_in_child([] {
        const int32_t first = elapsed_ms();
        EXPECT_GE(first, 0);
        EXPECT_LT(first, 1000);

        const int32_t start = elapsed_ms();
        EXPECT_GE(start, first);
        const auto outside = steady::now();
        delay_ms(2000);
        const int64_t counted = ms_since(start);
        EXPECT_GE(counted, 2000);
        EXPECT_LT(counted, 10000);
        // The clock and an independent one agree on the pause.
        EXPECT_GE(ms_between(outside, steady::now()), 2000);
    });
    EXPECT_EQ(child.exit_code, 0);
}

TEST(Clock, PausesOfNothingReturnAtOnce)
{
    const child_result child = run_in_child(
        [] {
            const auto start = steady::now();
            for (int32_t ms : {0, -5, -1, -1000, -1001, INT_MIN})
                delay_ms(ms);
            EXPECT_LT(ms_between(start, steady::now()), 1000);

            // Short pauses last at least what they ask for.
            const auto before = steady::now();
            delay_ms(1);
            delay_ms(9);
            EXPECT_GE(ms_between(before, steady::now()), 10);
        },
        10000);
    EXPECT_EQ(child.exit_code, 0);
}

// Threads whose first readings come at once (boards opened together) all
// read from the same start.
TEST(Clock, FirstReadingsOfManyThreadsShareTheirStart)
{
    const child_result child = run_in_child([] {
        constexpr int count = 8;
        std::latch together(count);
        int32_t readings[count];
        std::vector<std::thread> threads;
        for (int i = 0; i < count; ++i)
            threads.emplace_back([&, i] {
                together.arrive_and_wait();
                readings[i] = elapsed_ms();
            });
        for (std::thread &thread : threads)
            thread.join();
        for (const int32_t reading : readings) {
            EXPECT_GE(reading, 0);
            EXPECT_LT(reading, 2000);
        }
    });
    EXPECT_EQ(child.exit_code, 0);
}

volatile sig_atomic_t alarms = 0;
void count_alarm(int) { alarms = alarms + 1; }

TEST(Clock, PauseResumesAfterASignal)
{
    const child_result child = run_in_child([] {
        struct sigaction action {};
        action.sa_handler = count_alarm;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;  // no SA_RESTART: the signal interrupts the sleep
        ASSERT_EQ(sigaction(SIGALRM, &action, nullptr), 0);
        // Several interruptions during the pause, the first one early.
        itimerval timer{};
        timer.it_value.tv_usec = 40000;
        timer.it_interval.tv_usec = 60000;
        ASSERT_EQ(setitimer(ITIMER_REAL, &timer, nullptr), 0);

        const int32_t start = elapsed_ms();
        const auto outside = steady::now();
        delay_ms(300);
        const long long slept = ms_between(outside, steady::now());
        const int64_t counted = ms_since(start);
        const itimerval off{};
        setitimer(ITIMER_REAL, &off, nullptr);

        EXPECT_GE(alarms, 1);
        EXPECT_GE(slept, 300);
        EXPECT_GE(counted, 300);
        EXPECT_LT(counted, 5000);
    });
    EXPECT_EQ(child.exit_code, 0);
}

}  // namespace
