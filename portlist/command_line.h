// portlist's command line: --help, and nothing else. Other words are ignored,
// as they always were, so that a launcher that passes some still gets the
// list; an option it does not know is refused rather than silently ignored.
#pragma once

// Exit statuses, as the other tools of the project use them.
constexpr int exit_usage = 2;

// Handles the options: prints the help (exit 0) or a refusal (exit_usage)
// and gives the status to exit with, or -1 to go on with the scan.
int handle_command_line(int argc, char **argv);
