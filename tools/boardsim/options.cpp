#include "options.h"

#include <cstdio>
#include <getopt.h>

const char boardsim_usage[] =
    "Usage: boardsim [options]\n"
    "Emulates the arduinodrv board on a pseudo-terminal: prints the terminal's\n"
    "path, then answers the driver's commands as the reference sketch does,\n"
    "until Ctrl-C or SIGTERM.\n"
    "\n"
    "Options:\n"
    "  --link PATH          make PATH a symbolic link to the terminal (removed at\n"
    "                       exit), e.g. a test folder's ttyUSB0, or /dev/ttyUSB0 as root\n"
    "  --analog CH=SOURCE   what analog input CH (0..5, or all) reads, in 0..1023:\n"
    "                         N                     constant\n"
    "                         sine:MID:AMP:PERIOD   MID + AMP * sin(2 pi t / PERIOD)\n"
    "                         ramp:FROM:TO:PERIOD   FROM to TO in each PERIOD, again and again\n"
    "                         noise:MID:AMP         random in MID - AMP .. MID + AMP\n"
    "                       PERIOD: 2s, 500ms, 1.5 (seconds). Default: 0.\n"
    "  --digital PIN=SOURCE what digital input PIN (2..13, or all) reads:\n"
    "                         0, 1                  constant\n"
    "                         square:PERIOD         high for the first half of each period\n"
    "                       Default: 0.\n"
    "  --pace               send answers at the speed of a 9600-baud line (1.04 ms a\n"
    "                       byte), and take commands at it, as a real board does\n"
    "  --log FILE           log every command line, with the time and the answer;\n"
    "                       FILE - is standard output\n"
    "  --summary            print the outputs seen when ending\n"
    "  -q, --quiet, --no-table\n"
    "                       no live table (there is none when stdout is not a terminal)\n"
    "  -h, --help           this text\n"
    "\n"
    "Example:\n"
    "  boardsim --link /tmp/dev/ttyUSB0 --analog 0=sine:512:400:2s --analog 1=noise:300:20 \\\n"
    "           --digital 2=square:1s --pace\n";

namespace {

// "CH=SOURCE": the number before '=' (or "all" for every index from first to
// last) and the source text after it.
bool split_assignment(const std::string &text, int first, int last, int &from, int &to, std::string &source)
{
    const auto equals = text.find('=');
    if (equals == std::string::npos || equals == 0)
        return false;
    const std::string index = text.substr(0, equals);
    source = text.substr(equals + 1);
    if (index == "all") {
        from = first;
        to = last;
        return true;
    }
    if (index.size() > 2 || index.find_first_not_of("0123456789") != std::string::npos)
        return false;
    from = to = std::stoi(index);
    return from >= first && from <= last;
}

}  // namespace

int parse_options(int argc, char **argv, boardsim_options &options)
{
    enum { opt_link = 256, opt_analog, opt_digital, opt_pace, opt_log, opt_summary, opt_no_table };
    static const option long_options[] = {
        {"link", required_argument, nullptr, opt_link},
        {"analog", required_argument, nullptr, opt_analog},
        {"digital", required_argument, nullptr, opt_digital},
        {"pace", no_argument, nullptr, opt_pace},
        {"log", required_argument, nullptr, opt_log},
        {"summary", no_argument, nullptr, opt_summary},
        {"quiet", no_argument, nullptr, 'q'},
        {"no-table", no_argument, nullptr, opt_no_table},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    optind = 1;
    opterr = 0;
    int option;
    while ((option = getopt_long(argc, argv, "qh", long_options, nullptr)) != -1) {
        std::string error;
        int from = 0, to = 0;
        std::string source;
        switch (option) {
        case opt_link:
            options.link = optarg;
            break;
        case opt_analog:
            if (!split_assignment(optarg, 0, analog_channels - 1, from, to, source)) {
                error = "bad --analog \"" + std::string(optarg) + "\" (use CH=SOURCE, CH 0..5 or all)";
                break;
            }
            for (int channel = from; channel <= to && error.empty(); ++channel)
                parse_analog_source(source, options.analog[channel], error);
            break;
        case opt_digital:
            if (!split_assignment(optarg, 2, digital_pins - 1, from, to, source)) {
                error = "bad --digital \"" + std::string(optarg) + "\" (use PIN=SOURCE, PIN 2..13 or all)";
                break;
            }
            for (int pin = from; pin <= to && error.empty(); ++pin)
                parse_digital_source(source, options.digital[pin], error);
            break;
        case opt_pace:
            options.pace = true;
            break;
        case opt_log:
            options.log = optarg;
            break;
        case opt_summary:
            options.summary = true;
            break;
        case 'q':
        case opt_no_table:
            options.table = false;
            break;
        case 'h':
            std::fputs(boardsim_usage, stdout);
            return 0;
        default:
            // Unknown, or missing its value.
            error = "bad option " + std::string(argv[optind > 1 ? optind - 1 : 1]);
            break;
        }
        if (!error.empty()) {
            std::fprintf(stderr, "boardsim: %s\n(boardsim --help tells the options)\n", error.c_str());
            return 2;
        }
    }
    if (optind < argc) {
        std::fprintf(stderr, "boardsim: unexpected argument \"%s\"\n(boardsim --help tells the options)\n",
                     argv[optind]);
        return 2;
    }
    return -1;
}
