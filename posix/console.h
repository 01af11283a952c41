// The console: the terminal settings of standard input, saved when a program
// (or the library) starts and put back when it ends, so that a terminal left
// without echo or line editing is never our doing.
#pragma once

#include <termios.h>

// Reads the settings of standard input as they are now. True when it is a
// terminal; otherwise nothing is saved and restore_console does nothing.
bool save_console();

// The settings saved, or null when there are none.
const termios *saved_console();

// Puts the saved settings back at once. Only a record that tcgetattr filled
// is ever applied (an all-zero one would leave a terminal unusable). Safe in
// a signal handler.
void restore_console();

// True when this process runs in the background of its console (started
// with "&"): setting the console then would stop it with SIGTTOU and change
// the settings of the job in the foreground.
bool console_in_background();
