// The pseudo-terminal that plays the board's serial line, and the optional
// symbolic link through which the driver finds it.
#pragma once

#include <string>

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
