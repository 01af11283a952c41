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
