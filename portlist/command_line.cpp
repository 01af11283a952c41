#include "portlist/command_line.h"

#include <cstdio>
#include <string>

#include "portlist/scan.h"
#include "protocol/board_line.h"

namespace {

void print_usage(FILE *to)
{
    const std::string folder = device_folder;
    std::fprintf(to,
                 "usage: portlist [--help]\n"
                 "Lists the serial devices a board may be on. It tries %s/%s%d to %s%d,\n"
                 "then %s/%s%d to %s%d, prints each one that opens, then \"total : \" with\n"
                 "all of them and \"dernier port : \" with the last one, and waits for Enter.\n"
                 "Each device is only opened and closed again: nothing is sent, read or changed,\n"
                 "so a board another program is using is left alone. Run it with the board\n"
                 "unplugged, then plugged in: the new line is the board.\n"
                 "  -h, --help  this help, without scanning\n",
                 folder.c_str(), candidate_families[0], first_candidate_number, candidate_families[0],
                 last_candidate_number, folder.c_str(), candidate_families[1], first_candidate_number,
                 candidate_families[1], last_candidate_number);
}

}  // namespace

int handle_command_line(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            print_usage(stdout);
            return 0;
        }
        if (arg.size() > 1 && arg[0] == '-') {
            std::fprintf(stderr, "portlist: unknown option %s\n", arg.c_str());
            print_usage(stderr);
            return exit_usage;
        }
    }
    return -1;
}
