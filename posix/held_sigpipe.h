// Writing where the reader may be gone (the host's standard output, a trace
// pipe) without raising SIGPIPE in the host, which does not expect the
// library to write anywhere: its default action would end the host.
#pragma once

#include <csignal>

// What holding SIGPIPE back changed, to be put back.
struct sigpipe_hold {
    sigset_t host_mask;
    bool host_had_one;  // a SIGPIPE of the host's own was pending: it stays
};

// Holds SIGPIPE back in this thread, and lets it go again, taking back one
// that the writes in between raised.
sigpipe_hold hold_sigpipe();
void release_sigpipe(const sigpipe_hold &hold);

// Runs `write` (any callable) with SIGPIPE held back; its result.
template <typename writer> auto without_sigpipe(writer write)
{
    const sigpipe_hold hold = hold_sigpipe();
    auto result = write();
    release_sigpipe(hold);
    return result;
}
