#include "held_sigpipe.h"

#include <ctime>
#include <pthread.h>

held_sigpipe::held_sigpipe()
{
    sigemptyset(&pipe_signal_);
    sigaddset(&pipe_signal_, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    host_had_one_ = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_signal_, &host_mask_);
}

held_sigpipe::~held_sigpipe()
{
    if (!host_had_one_) {
        sigset_t pending;
        sigpending(&pending);
        if (sigismember(&pending, SIGPIPE) == 1) {
            const timespec no_wait{0, 0};
            sigtimedwait(&pipe_signal_, nullptr, &no_wait);
        }
    }
    pthread_sigmask(SIG_SETMASK, &host_mask_, nullptr);
}
