#include "held_sigpipe.h"

#include <ctime>
#include <pthread.h>

namespace {
sigset_t pipe_signal()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    return set;
}
}  // namespace

sigpipe_hold hold_sigpipe()
{
    sigpipe_hold hold{};
    sigset_t pending;
    sigpending(&pending);
    hold.host_had_one = sigismember(&pending, SIGPIPE) == 1;
    const sigset_t signal = pipe_signal();
    pthread_sigmask(SIG_BLOCK, &signal, &hold.host_mask);
    return hold;
}

void release_sigpipe(const sigpipe_hold &hold)
{
    const sigset_t signal = pipe_signal();
    sigset_t pending;
    sigpending(&pending);
    if (!hold.host_had_one && sigismember(&pending, SIGPIPE) == 1) {
        const timespec no_wait{0, 0};
        sigtimedwait(&signal, nullptr, &no_wait);
    }
    pthread_sigmask(SIG_SETMASK, &hold.host_mask, nullptr);
}
