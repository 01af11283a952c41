// arduinodrv-shell: calls the library's exports by name, from a prompt, a
// script on standard input, or its own command line.
#include <cstdio>
#include <cstdlib>
#include <getopt.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "durations.h"
#include "export_call.h"
#include "installed_files.h"
#include "library_port.h"
#include "line_editor.h"
#include "result_text.h"
#include "shell.h"

namespace {

constexpr int exit_command_failed = 1;
constexpr int exit_usage = 2;

void print_usage(FILE *to)
{
    std::fprintf(to,
                 "usage: arduinodrv-shell [--library PATH] [--port DEVICE] [COMMANDS...]\n"
                 "       arduinodrv-shell ports\n"
                 "Calls the exports of the arduinodrv library by name: `ead 3`, `sb 0 1`, `nea 2`.\n"
                 "COMMANDS are read as one line of the prompt, so ; separates several:\n"
                 "  arduinodrv-shell 'sb 0 1; ead 0; ead 1'   (the library loads once, 2 s)\n"
                 "Without COMMANDS it reads commands from standard input (a prompt at a terminal).\n"
                 "`help` lists the exports and the commands record, watch and check.\n"
                 "  --library PATH  the build of the library to load (default: %s);\n"
                 "                  it is loaded on the first call, so `check` runs without it\n"
                 "  --port DEVICE   the board's serial device, any path (/dev/ttyACM1, a link in\n"
                 "                  /dev/serial/by-id/); the library gets it as %s\n"
                 "                  (default: the device the build opens)\n"
                 "`ports` lists the serial devices, which of them look like a board, and how to\n"
                 "use each.\n"
                 "Durations (record, watch --every) are %s.\n"
                 "Results on standard output are exactly what the library returned; what went\n"
                 "wrong is said on standard error.\n"
                 "Exit status: 0 when all went well; 1 when a command failed (the script goes on\n"
                 "after it) or a result was not the board's (no board, no answer in time);\n"
                 "2 for a wrong command line.\n",
                 default_library_path().c_str(), port_variable, duration_rule);
}

int run_script()
{
    bool all_ok = true;
    std::string line;
    if (shell_interactive)
        std::fprintf(shell_err, "arduinodrv-shell: library %s (loaded on the first call); help, quit\n",
                     library_path().c_str());
    while (!shell_quit_requested() && read_command_line("arduinodrv> ", &line))
        all_ok = run_line(line) && all_ok;
    return all_ok && all_results_from_board() ? 0 : exit_command_failed;
}

}  // namespace

int main(int argc, char **argv)
{
    std::string port;
    bool port_given = false;
    // Options come first; the first other word starts the commands, whose
    // own words may look like options (record ... --every 100ms).
    static const option options[] = {
        {"library", required_argument, nullptr, 'l'},
        {"port", required_argument, nullptr, 'p'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    for (int got; (got = getopt_long(argc, argv, "+:l:p:h", options, nullptr)) != -1;) {
        switch (got) {
        case 'l':
            set_library_path(optarg);
            break;
        case 'p':
            port = optarg;
            port_given = true;
            break;
        case 'h':
            print_usage(stdout);
            return 0;
        case ':':
            std::fprintf(stderr, "arduinodrv-shell: %s needs a path\n", optopt == 'l' ? "--library" : "--port");
            return exit_usage;
        default:
            std::fprintf(stderr, "arduinodrv-shell: unknown option %s\n", argv[optind - 1]);
            print_usage(stderr);
            return exit_usage;
        }
    }
    const std::vector<std::string> command(argv + optind, argv + argc);
    if (port_given) {
        // Refused here, with the reason: the library would only stay without
        // a port, silently.
        const std::string problem = port_path_problem(port);
        if (!problem.empty()) {
            std::fprintf(stderr, "arduinodrv-shell: --port %s: %s\n", port.c_str(), problem.c_str());
            return exit_command_failed;
        }
        setenv(port_variable, port.c_str(), 1);
    }
    shell_encoding = encoding_from_locale();
    shell_interactive = command.empty() && isatty(STDIN_FILENO) != 0;
    if (!command.empty()) {
        std::string line;
        for (const std::string &word : command)
            line += (line.empty() ? "" : " ") + word;
        const bool ok = run_line(line);
        return ok && all_results_from_board() ? 0 : exit_command_failed;
    }
    return run_script();
}
