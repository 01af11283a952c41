// Writing where the reader may be gone (the host's standard output, a trace
// pipe) without raising SIGPIPE in the host, which does not expect the
// library to write anywhere: its default action would end the host.
#pragma once

#include <csignal>

// For as long as it lives, SIGPIPE is held back in this thread; one that the
// writes made meanwhile is taken back before the host could see it. A
// SIGPIPE that was pending for the host before stays pending.
class held_sigpipe {
public:
    held_sigpipe();
    ~held_sigpipe();
    held_sigpipe(const held_sigpipe &) = delete;
    held_sigpipe &operator=(const held_sigpipe &) = delete;

private:
    sigset_t pipe_signal_{};
    sigset_t host_mask_{};
    bool host_had_one_ = false;
};
