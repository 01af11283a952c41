#include "stop_signals.h"

#include <initializer_list>

volatile sig_atomic_t stop_signal = 0;

namespace {
void on_stop_signal(int signal_number)
{
    stop_signal = signal_number;
}
}  // namespace

sigset_t catch_stop_signals()
{
    struct sigaction action{};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigset_t stop_set, wait_mask;
    sigemptyset(&stop_set);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal_number, &action, nullptr);
        sigaddset(&stop_set, signal_number);
    }
    std::signal(SIGPIPE, SIG_IGN);
    sigprocmask(SIG_BLOCK, &stop_set, &wait_mask);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP})
        sigdelset(&wait_mask, signal_number);
    return wait_mask;
}
