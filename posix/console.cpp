#include "console.h"

#include <cstring>
#include <unistd.h>

namespace {
termios saved_console_settings;
bool console_settings_saved = false;
}  // namespace

bool save_console()
{
    console_settings_saved = tcgetattr(STDIN_FILENO, &saved_console_settings) == 0;
    if (!console_settings_saved)
        std::memset(&saved_console_settings, 0, sizeof saved_console_settings);
    return console_settings_saved;
}

const termios *saved_console()
{
    return console_settings_saved ? &saved_console_settings : nullptr;
}

void restore_console()
{
    if (console_settings_saved)
        tcsetattr(STDIN_FILENO, TCSANOW, &saved_console_settings);
}

bool console_in_background()
{
    const pid_t foreground = tcgetpgrp(STDIN_FILENO);
    return foreground > 0 && foreground != getpgrp();
}

terminal_mode::terminal_mode(change how)
{
    is_terminal_ = tcgetattr(STDIN_FILENO, &found_) == 0;
    mode_ = found_;
    if (is_terminal_)
        how(mode_);
}

bool terminal_mode::enter()
{
    // Only a record that tcgetattr filled is ever applied: an all-zero one
    // would leave the terminal unusable.
    if (!is_terminal_)
        return false;
    // Marked first: a signal that arrives during the change must undo it.
    entered_ = 1;
    return tcsetattr(STDIN_FILENO, TCSANOW, &mode_) == 0;
}

void terminal_mode::leave()
{
    if (!entered_)
        return;
    tcsetattr(STDIN_FILENO, TCSANOW, &found_);
    entered_ = 0;
}
