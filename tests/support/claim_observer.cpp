#include "claim_observer.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdexcept>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
constexpr char opened = 'o', busy = 'b', other_error = 'e', no_drop = 'd';
}

claim_observer::claim_observer()
{
    if (pipe2(requests_, O_CLOEXEC) != 0 || pipe2(replies_, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe2 failed");
    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0)
        serve();
    close(requests_[0]);
    close(replies_[1]);
}

claim_observer::~claim_observer()
{
    close(requests_[1]);
    close(replies_[0]);
    waitpid(pid_, nullptr, 0);
}

bool claim_observer::held_exclusively(const std::string &path)
{
    if (geteuid() == 0 && chmod(path.c_str(), 0666) != 0) {
        ADD_FAILURE() << "chmod " << path << ": " << std::strerror(errno);
        return false;
    }
    char reply = 0;
    pollfd p{replies_[0], POLLIN, 0};
    if (write(requests_[1], path.c_str(), path.size() + 1) != static_cast<ssize_t>(path.size() + 1) ||
        poll(&p, 1, 10000) != 1 || read(replies_[0], &reply, 1) != 1 || (reply != opened && reply != busy)) {
        ADD_FAILURE() << "the unprivileged open of " << path << " neither succeeded nor met the claim ("
                      << (reply == no_drop ? "no drop to nobody" : reply == other_error ? "another error" : "no reply")
                      << ")";
        return false;
    }
    return reply == busy;
}

// Async-signal-safe calls only: the test's threads did not come along.
void claim_observer::serve()
{
    constexpr uid_t nobody = 65534;
    close(requests_[1]);
    close(replies_[0]);
    const bool dropped = geteuid() != 0 || (setgroups(0, nullptr) == 0 && setgid(nobody) == 0 && setuid(nobody) == 0);
    char path[4096];
    size_t length = 0;
    char byte;
    while (read(requests_[0], &byte, 1) == 1) {
        if (byte != '\0') {
            if (length < sizeof path - 1)
                path[length++] = byte;
            continue;
        }
        path[length] = '\0';
        length = 0;
        char reply = no_drop;
        if (dropped) {
            const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0)
                reply = errno == EBUSY ? busy : other_error;
            else if (flock(fd, LOCK_EX | LOCK_NB) != 0)
                reply = errno == EWOULDBLOCK ? busy : other_error;
            else
                reply = opened;
            if (fd >= 0)
                close(fd);
        }
        if (write(replies_[1], &reply, 1) != 1)
            break;
    }
    _exit(0);
}
