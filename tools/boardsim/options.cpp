#include "options.h"

#include <cstdio>
#include <getopt.h>
#include <sys/stat.h>

#include "durations.h"

namespace {

// A format: %s is the boot time.
const char usage_format[] =
    "Usage: boardsim [options]\n"
    "Emulates the arduinodrv board on a pseudo-terminal: prints the terminal's\n"
    "path, then answers the driver's commands as the project's sketch does,\n"
    "until Ctrl-C or SIGTERM: the four classic commands and the extensions (it\n"
    "tells what it can do, names the answers that name their request, moves the\n"
    "line to 250000, 500000 or 1000000 baud when asked, and streams the inputs\n"
    "it is asked for in frames timed by its own clock).\n"
    "\n"
    "Options:\n"
    "  --link PATH          make PATH a symbolic link to the terminal (removed at\n"
    "                       exit), e.g. a test folder's ttyUSB0, or /dev/ttyUSB0 as root;\n"
    "                       a link left by a boardsim that was killed is replaced\n"
    "  --analog CH=SOURCE   what analog input CH (0..5, or all) reads, in 0..1023\n"
    "                       (values beyond are clamped, with a warning):\n"
    "                         N, const:N            constant\n"
    "                         sine:MID:AMP:PERIOD   MID + AMP * sin(2 pi t / PERIOD)\n"
    "                         ramp:FROM:TO:PERIOD   FROM to TO in each PERIOD, again and again\n"
    "                         noise:MID:AMP         random in MID - AMP .. MID + AMP\n"
    "                       Default: 0.\n"
    "  --digital PIN=SOURCE what digital input PIN (2..13, or all) reads; the driver\n"
    "                       reads pins 2, 4, 7, 8 (its inputs 0..3):\n"
    "                         0, 1                  constant\n"
    "                         square:PERIOD         high for the first half of each period\n"
    "                       Default: 0.\n"
    "                       PERIOD: a number with its unit, ms or s: 250ms, 0.5s, 2s.\n"
    "  --no-reset           do not restart when a host opens the port; by default the\n"
    "                       board restarts as a real one does: outputs off, and deaf\n"
    "                       for its boot time (%s)\n"
    "  --pace               send answers at the speed of the line (1.04 ms a byte at\n"
    "                       9600 baud; the rate the driver moved it to, once moved),\n"
    "                       and take commands at it, as a real board does\n"
    "  --classic            play a classic sketch: the four commands alone, every\n"
    "                       other line ignored\n"
    "  --log FILE           log every command line, with the time and the answer;\n"
    "                       FILE - is standard output\n"
    "  --summary            print the outputs seen when ending\n"
    "  -q, --quiet, --no-table\n"
    "                       no live table (there is none when stdout is not a terminal)\n"
    "  -h, --help           this text\n"
    "\n"
    "The table counts the command lines received: answered (EA, EB and the\n"
    "extensions XI, XB, XS, XE), set (SA, SB), ignored (unknown, or a pin that\n"
    "cannot do it), dropped (longer than the board's line buffer), lost (arrived\n"
    "while the board was restarting); then the line's rate and the stream's\n"
    "frames, sent and dropped (no room for them: a line too slow, or a driver\n"
    "that does not read).\n"
    "\n"
    "Example:\n"
    "  boardsim --link /tmp/dev/ttyUSB0 --analog 0=sine:512:400:2s --analog 1=noise:300:20 \\\n"
    "           --digital 2=square:1s --pace\n";

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

bool is_input_pin(int pin)
{
    for (int input : digital_input_pins)
        if (pin == input)
            return true;
    return false;
}

void warn(const std::string &text)
{
    std::fprintf(stderr, "boardsim: warning: %s\n", text.c_str());
}

// A link can only be made in a folder that exists.
std::string link_folder_error(const std::string &link)
{
    if (link.empty() || link.back() == '/')
        return "bad --link \"" + link + "\" (give the path of the link to make, e.g. /tmp/dev/ttyUSB0)";
    const size_t slash = link.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : link.substr(0, slash);
    struct stat info {};
    if (stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return "bad --link " + link + ": the folder " + folder + " does not exist (make it first: mkdir -p " +
               folder + ")";
    return "";
}

}  // namespace

void print_usage()
{
    std::printf(usage_format, duration_text(boot_time_ms).c_str());
}

int parse_options(int argc, char **argv, boardsim_options &options)
{
    enum {
        opt_link = 256, opt_analog, opt_digital, opt_pace, opt_log, opt_summary, opt_no_table, opt_no_reset,
        opt_classic,
    };
    static const option long_options[] = {
        {"link", required_argument, nullptr, opt_link},
        {"analog", required_argument, nullptr, opt_analog},
        {"digital", required_argument, nullptr, opt_digital},
        {"pace", no_argument, nullptr, opt_pace},
        {"no-reset", no_argument, nullptr, opt_no_reset},
        {"classic", no_argument, nullptr, opt_classic},
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
            error = link_folder_error(options.link);
            break;
        case opt_analog:
            if (!split_assignment(optarg, 0, analog_input_count - 1, from, to, source)) {
                error = "bad --analog \"" + std::string(optarg) + "\" (use CH=SOURCE, CH 0..5 or all)";
                break;
            }
            for (int channel = from; channel <= to && error.empty(); ++channel)
                parse_analog_source(source, options.analog[channel], error);
            if (const std::string clamped = clamp_warning(options.analog[from]); error.empty() && !clamped.empty())
                warn("--analog " + std::string(optarg) + " " + clamped);
            break;
        case opt_digital:
            if (!split_assignment(optarg, 2, digital_pins - 1, from, to, source)) {
                error = "bad --digital \"" + std::string(optarg) + "\" (use PIN=SOURCE, PIN 2..13 or all)";
                break;
            }
            for (int pin = from; pin <= to && error.empty(); ++pin)
                parse_digital_source(source, options.digital[pin], error);
            if (error.empty() && from == to && !is_input_pin(from))
                warn("--digital " + std::string(optarg) + ": pin " + std::to_string(from) +
                     " is not one the driver reads (it reads 2, 4, 7 and 8)");
            break;
        case opt_pace:
            options.pace = true;
            break;
        case opt_no_reset:
            options.reset = false;
            break;
        case opt_classic:
            options.classic = true;
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
            print_usage();
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
