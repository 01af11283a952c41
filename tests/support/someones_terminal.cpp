#include "someones_terminal.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

someones_terminal::someones_terminal(const std::string &leader)
{
    const std::string session = "tty; exec '" + leader + "' 120";
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe2 failed");
    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        // The session prints its terminal's name first, then only waits.
        const int nothing = open("/dev/null", O_RDONLY);
        dup2(nothing, 0);
        dup2(out[1], 1);
        dup2(out[1], 2);
        execlp("script", "script", "-qfc", session.c_str(), "/dev/null", static_cast<char *>(nullptr));
        _exit(127);
    }
    close(out[1]);
    output_ = out[0];
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (seen_.find('\n') == std::string::npos && std::chrono::steady_clock::now() < give_up)
        if (read_output(100) < 0)
            break;  // script ended
    const size_t end = seen_.find('\n');
    if (end == std::string::npos || seen_.compare(0, 5, "/dev/") != 0) {
        stop();
        throw std::runtime_error("script gave no terminal: \"" + seen_ + "\"");
    }
    start_length_ = end + 1;
    path_ = seen_.substr(0, end);
    if (!path_.empty() && path_.back() == '\r')
        path_.pop_back();
}

someones_terminal::~someones_terminal()
{
    stop();
}

// Its terminal's other end closes with script: the session is hung up.
void someones_terminal::stop()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
    if (output_ >= 0)
        close(output_);
    output_ = -1;
}

std::string someones_terminal::written()
{
    while (read_output(100) > 0) {
    }
    return seen_.substr(start_length_);
}

// Takes what script printed, waiting at most timeout_ms for it: 1 when
// something came, 0 when nothing did, -1 when script's output ended.
int someones_terminal::read_output(int timeout_ms)
{
    pollfd p{output_, POLLIN, 0};
    if (output_ < 0 || poll(&p, 1, timeout_ms) != 1)
        return output_ < 0 ? -1 : 0;
    char buffer[1024];
    const ssize_t got = read(output_, buffer, sizeof buffer);
    if (got <= 0)
        return got < 0 && errno == EINTR ? 0 : -1;
    seen_.append(buffer, static_cast<size_t>(got));
    return 1;
}
