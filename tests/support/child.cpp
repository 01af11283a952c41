#include "child.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/syscall.h>
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

    // Sleep until the child ends, writes, or its time is up.
    const int child_fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    int status = 0;
    for (;;) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            break;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() < 0) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << "child timed out after " << timeout_ms << " ms";
            status = -1;
            break;
        }
        pollfd fds[2] = {{child_fd, POLLIN, 0}, {out_pipe[0], POLLIN, 0}};
        // Without a descriptor of the child (a kernel before 5.3), look again soon.
        const int wait_ms = child_fd >= 0 ? static_cast<int>(left.count()) + 1 : 10;
        if (poll(fds, 2, wait_ms) > 0 && (fds[1].revents & (POLLIN | POLLHUP))) {
            char buffer[4096];
            const ssize_t got = read(out_pipe[0], buffer, sizeof buffer);
            if (got > 0) {
                result.out.append(buffer, static_cast<size_t>(got));
            } else {
                close(out_pipe[0]);
                out_pipe[0] = -1;
            }
        }
    }
    if (child_fd >= 0)
        close(child_fd);
    if (out_pipe[0] >= 0) {
        char buffer[4096];
        ssize_t got;
        while (status != -1 && (got = read(out_pipe[0], buffer, sizeof buffer)) > 0)
            result.out.append(buffer, static_cast<size_t>(got));
        close(out_pipe[0]);
    }
    if (status == -1)
        return result;
    if (WIFEXITED(status))
        result.exit_code = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.signal = WTERMSIG(status);
    return result;
}
