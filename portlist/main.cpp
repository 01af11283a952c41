// portlist: lists the serial devices that a board may be on, then waits for
// Enter so that the list stays readable in a console window that closes when
// the program ends.
#include <csignal>
#include <cstdio>
#include <cwchar>
#include <string>

#include "portlist/command_line.h"
#include "portlist/console.h"
#include "portlist/scan.h"

int main(int argc, char **argv)
{
    if (const int status = handle_command_line(argc, argv); status >= 0)
        return status;
    std::fwide(stdin, -1);
    std::fwide(stdout, -1);
    std::fwide(stderr, -1);
    // Output to a reader that went away is simply lost; the program still
    // cleans up and ends normally.
    std::signal(SIGPIPE, SIG_IGN);
    save_console_settings();

    std::string found_ports;
    std::string last_port;
    enter_quiet_console();
    scan_candidates(found_ports, last_port);

    print_line("total : " + found_ports);
    print_line("dernier port : " + last_port);
    print_line("Appuyez sur Entr\xE9" "e");
    wait_for_enter();

    restore_console_settings();
    return 0;
}
