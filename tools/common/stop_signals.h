// Ending an emulator cleanly: Ctrl-C, kill and a closed terminal only set a
// flag, which the emulator's wait sees, so it removes its link and prints
// its report before it exits.
#pragma once

#include <csignal>

// The stop signal that arrived; 0 while none has.
extern volatile sig_atomic_t stop_signal;

// Catches SIGINT, SIGTERM and SIGHUP into stop_signal, ignores SIGPIPE, and
// keeps the three blocked except while waiting: the result is the mask to
// wait with (ppoll), so that none is missed between a look at the flag and
// the wait.
sigset_t catch_stop_signals();
