#include "portlist/console.h"

#include <csignal>
#include <cstdio>
#include <optional>
#include <termios.h>

#include "posix/console.h"

namespace {

// No line editing, no echo, reads that never wait.
void quiet_console(termios &settings)
{
    settings.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
}

std::optional<terminal_mode> console;

// A signal that ends the program while the console is quiet must not leave
// the terminal without echo: put the saved settings back, then let the
// signal do what it would have done.
void restore_and_reraise(int signal_number)
{
    console->leave();
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

void restore_on_fatal_signals()
{
    for (const int signal_number : {SIGINT, SIGQUIT, SIGTERM, SIGHUP}) {
        struct sigaction action {};
        action.sa_handler = restore_and_reraise;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESETHAND;
        sigaction(signal_number, &action, nullptr);
    }
}

}  // namespace

void save_console_settings()
{
    console.emplace(quiet_console);
    if (console->is_terminal())
        restore_on_fatal_signals();
}

void enter_quiet_console()
{
    console->enter();
}

void restore_console_settings()
{
    console->leave();
}

void wait_for_enter()
{
    restore_console_settings();
    // The line is read to its end whatever its length, but nothing of it is
    // kept: it is dropped anyway, so a huge line costs no memory.
    if (!std::feof(stdin)) {
        int c;
        do
            c = std::getc(stdin);
        while (c != '\n' && c != EOF);
    }
    enter_quiet_console();
}

void print_line(const std::string &text)
{
    std::puts(text.c_str());
    std::fflush(stdout);
}
