// The console of the port lister: its output lines and the terminal settings
// of standard input, which are kept quiet (no line editing, no echo) while the
// devices are scanned and given back as they were found.
#pragma once

#include <string>

// Reads the terminal settings of standard input as they are at start. When
// standard input is not a terminal there is nothing to save, and nothing is
// ever applied to it afterwards.
void save_console_settings();

// Non-canonical, no echo, reads that never wait.
void enter_quiet_console();

// Puts back the settings saved at start.
void restore_console_settings();

// Waits for one line on standard input, typed with the terminal's usual
// settings, and drops it. Returns at once when standard input is at end of
// file or closed.
void wait_for_enter();

// Writes the text and a line feed, and flushes at once.
void print_line(const std::string &text);
