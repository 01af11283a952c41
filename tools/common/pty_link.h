// The pseudo-terminal that plays a board's serial line (or a console's
// keyboard), and the optional symbolic link through which the driver finds it.
#pragma once

#include <string>
#include <termios.h>

// The two ends of a pseudo-terminal. Whoever plays the far end of the line
// keeps the master; the program under test opens the slave by its path, as
// it opens a real device.
struct pty_ends {
    int master = -1;
    int slave = -1;
    std::string slave_path;
};

// Opens a pseudo-terminal, its slave with `settings` if given (else the
// system's own: a canonical console with echo). Both ends are close-on-exec
// and the master is non-blocking, so the far end never blocks on the line.
// False with errno set when no pseudo-terminal can be had.
bool open_pty(pty_ends &ends, const termios *settings = nullptr);

// Opens a pseudo-terminal in raw mode and closes our side of the slave, so
// the driver's open and close are the only ones. Returns the master
// descriptor (non-blocking) and the slave's path, or -1 with errno set.
int open_board_pty(std::string &slave_path);

// Makes link_path point to target. An existing symbolic link to a pty that
// no other process holds (left by an emulator that was killed) is replaced;
// anything else that exists is left alone and reported. Returns "" or the
// reason it failed.
std::string make_link(const std::string &link_path, const std::string &target);

// Removes link_path if it is still our link to target.
void remove_link(const std::string &link_path, const std::string &target);
