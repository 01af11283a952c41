// The console: the terminal settings of standard input, saved when a program
// (or the library) starts and put back when it ends, and the modes a tool
// puts it in for a while, so that a terminal left without echo or line
// editing is never our doing.
#pragma once

#include <csignal>
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

// A mode of the terminal on standard input (keys one by one, no echo, ...)
// for as long as a program wants it, with the settings found before it put
// back: when the program leaves the mode, when the guard ends, or from a
// signal handler. On anything that is not a terminal the guard does nothing.
class terminal_mode {
public:
    // What the mode changes in a copy of the settings found.
    using change = void (*)(termios &settings);

    // Reads the settings of standard input as they are now; the mode is not
    // entered yet.
    explicit terminal_mode(change how);
    ~terminal_mode() { leave(); }
    terminal_mode(const terminal_mode &) = delete;
    terminal_mode &operator=(const terminal_mode &) = delete;

    bool is_terminal() const { return is_terminal_; }

    // Applies the mode (again); true when the terminal took it.
    bool enter();

    // Puts back the settings found, if the mode was entered since the last
    // leave. Safe in a signal handler.
    void leave();

private:
    termios found_{}, mode_{};
    bool is_terminal_ = false;
    volatile sig_atomic_t entered_ = 0;
};
