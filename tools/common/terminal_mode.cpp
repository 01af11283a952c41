#include "terminal_mode.h"

#include <unistd.h>

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
