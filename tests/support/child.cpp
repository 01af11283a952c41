#include "child.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

child_result run_in_child(const std::function<void()> &body, int timeout_ms, bool capture_stdout)
{
    child_result result;
    int out_pipe[2] = {-1, -1};
    if (capture_stdout && pipe(out_pipe) != 0)
        return result;
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid < 0)
        return result;
    if (pid == 0) {
        if (capture_stdout) {
            dup2(out_pipe[1], 1);
            close(out_pipe[0]);
            close(out_pipe[1]);
        }
        body();
        std::fflush(stdout);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    if (capture_stdout)
        close(out_pipe[1]);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    int status = 0;
    bool done = false;
    while (!done) {
        if (capture_stdout && out_pipe[0] >= 0) {
            pollfd p{out_pipe[0], POLLIN, 0};
            if (poll(&p, 1, 10) > 0) {
                char buffer[4096];
                const ssize_t got = read(out_pipe[0], buffer, sizeof buffer);
                if (got > 0)
                    result.out.append(buffer, static_cast<size_t>(got));
                else {
                    close(out_pipe[0]);
                    out_pipe[0] = -1;
                }
            }
        } else {
            usleep(5000);
        }
        const pid_t waited = waitpid(pid, &status, WNOHANG);
        if (waited == pid)
            done = true;
        else if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << "child timed out after " << timeout_ms << " ms";
            if (out_pipe[0] >= 0)
                close(out_pipe[0]);
            return result;
        }
    }
    if (out_pipe[0] >= 0) {
        char buffer[4096];
        ssize_t got;
        while ((got = read(out_pipe[0], buffer, sizeof buffer)) > 0)
            result.out.append(buffer, static_cast<size_t>(got));
        close(out_pipe[0]);
    }
    if (WIFEXITED(status))
        result.exit_code = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.signal = WTERMSIG(status);
    return result;
}
