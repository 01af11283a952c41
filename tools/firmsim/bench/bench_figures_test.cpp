#include "bench_figures.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

TEST(BenchFigures, PercentilesAreTheNearestRank)
{
    EXPECT_EQ(percentile({}, 0.5), 0);
    EXPECT_EQ(median({5, 1, 3}), 3);
    EXPECT_EQ(percentile({5, 1, 3}, 0), 1);
    EXPECT_EQ(percentile({5, 1, 3}, 1), 5);
    EXPECT_EQ(percentile({10, 9, 8, 7, 6, 5, 4, 3, 2, 1}, 0.9), 9);
}

// A process's name may hold spaces and parentheses: the fields are read
// after its last ')'. The child's CPU time is what it spent, not its wall
// time: no load stretches it.
TEST(BenchFigures, AnotherProcesssCpuTimeWhateverItsName)
{
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        prctl(PR_SET_NAME, "a) 1 2 (b");
        // 100 ms of its own CPU time, whatever the machine's load.
        while (cpu_ms(RUSAGE_SELF) < 100) {
        }
        (void)!write(ready[1], "", 1);
        for (;;)
            pause();
    }
    char byte;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    const double used = process_cpu_ms(child);
    EXPECT_GE(used, 90);  // the clock ticks in 10 ms steps
    EXPECT_LT(used, 1000);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
    EXPECT_EQ(process_cpu_ms(child), -1);  // gone
    EXPECT_GE(process_cpu_ms(getpid()), 0);
}
