// A pseudo-terminal whose two ends a test holds: it plays the board (or a
// console's keyboard) on the master, and keeps a descriptor of the slave so
// that the code under test closing its own does not hang up the line. Both
// ends are close-on-exec, the master non-blocking; the slave starts with the
// system's settings (a canonical console with echo).
#pragma once

#include <string>

struct pty_pair {
    int master = -1;
    int slave = -1;
    std::string path;  // the slave's, for the code under test to open

    pty_pair();  // throws std::runtime_error when no pseudo-terminal can be had
    ~pty_pair();
    pty_pair(const pty_pair &) = delete;
    pty_pair &operator=(const pty_pair &) = delete;

    // Closes the master: a board that vanishes, a hang-up on the slave.
    void hang_up();
};
