#include "options.h"

#include "durations.h"
#include "firmware_image.h"
#include "program_folder.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <climits>
#include <getopt.h>
#include <unistd.h>

const char firmsim_usage[] =
    "Usage: firmsim [options] FIRMWARE\n"
    "Runs a board's firmware (the .hex or .elf of board/build-sketch.sh) on an\n"
    "emulated ATmega328P at 16 MHz, its serial line on a pseudo-terminal: prints\n"
    "the terminal's path, starts the chip a moment after a host opens it (as a\n"
    "board restarts on open), and runs until Ctrl-C, SIGTERM or \"quit\".\n"
    "\n"
    "Options:\n"
    "  --link PATH         make PATH a symbolic link to the terminal (removed at\n"
    "                      exit), e.g. a test folder's ttyUSB0, or /dev/ttyUSB0 as root\n"
    "  --analog CH=MV      the voltage on analog input CH (0..5, or all) in millivolts,\n"
    "                      0..5000 (AVCC is 5000). Default: 0\n"
    "  --digital PIN=0|1   the level driven on digital pin PIN (2..13, or all) while the\n"
    "                      firmware keeps it an input. Default: 0\n"
    "  --speed X           simulated seconds per second: 1 (the default) is real time,\n"
    "                      2 twice as fast; max runs as fast as this machine can\n"
    "  --fast              the same as --speed max\n"
    "  --start-delay TIME  from the host's open to the chip's start, e.g. 0.5s or\n"
    "                      200ms (default 500ms)\n"
    "  -h, --help          this text\n"
    "\n"
    "Commands on standard input, one a line, each answered by one line on\n"
    "standard output (\"ok\", \"error: ...\" or the report):\n"
    "  adc CH MV           set an analog input          pin PIN 0|1   drive an input\n"
    "  halt                stop the chip (what the host sends meanwhile is lost)\n"
    "  run                 let it run on                speed X|max   change the pace\n"
    "  report              one line of NAME=VALUE: chip (waiting, starting, running,\n"
    "                      halted), host (open, closed), sim (seconds of chip time),\n"
    "                      rx and tx (bytes to and from the chip), a0..a5 (mV),\n"
    "                      in2..in13 (driven levels), d2..d13 (output levels, - for\n"
    "                      an input), pwm3 pwm5 pwm6 pwm9 (duty 0..255, - for an\n"
    "                      input), baud (the rate the firmware set, as the chip\n"
    "                      makes it: 9615 for 9600), lost (bytes from the chip the\n"
    "                      host left unread beyond 68 KB), garbled (bytes that\n"
    "                      crossed between different rates), lags (times the chip\n"
    "                      fell behind real time by more than 50 ms) and lag_ms\n"
    "                      (the chip time it lost so: its clock and its line ran\n"
    "                      that much slower than the wall clock)\n"
    "  quit                end as after SIGTERM\n"
    "The report is printed at exit too.\n"
    "\n"
    "The chip's converter reads floor(MV x 1024 / 5000), at most 1023, and its\n"
    "line carries 10 bits a character at the rate the firmware set. A rate above\n"
    "115200 baud (250000, 500000, 1000000) works only when the host sets its\n"
    "terminal to it too: bytes between different rates arrive as junk, as on a\n"
    "wire. At 115200 and below any setting carries, as a pseudo-terminal has no\n"
    "rate of its own.\n"
    "\n"
    "Exit status: 0 stopped, 1 no terminal or link, 2 bad usage, 3 bad firmware\n"
    "file, 4 the firmware halted or crashed the chip.\n";

firmsim_example example_paths()
{
    // Paths that exist where this firmsim runs: the build tree's firmware and
    // the demo's device folder, or the installed firmware and a link in /tmp.
    const std::string folder = program_folder();
    if (folder == FIRMSIM_BUILD_FOLDER)
        return {FIRMSIM_BUILD_LINK, FIRMSIM_BUILD_FIRMWARE, FIRMSIM_BUILD_SHELL};
    return {"/tmp/arduinodrv-board", folder + "/" + FIRMSIM_INSTALLED_FIRMWARE, "arduinodrv-shell"};
}

void print_usage(FILE *to)
{
    const firmsim_example example = example_paths();
    std::fputs(firmsim_usage, to);
    std::fprintf(to,
                 "\n"
                 "Example (then, in another terminal, the library on its port):\n"
                 "  firmsim --link %s --analog 0=2500 --digital 4=1 %s\n"
                 "  %s --port %s 'ead 0; eb 1'\n",
                 example.link.c_str(), example.firmware.c_str(), example.shell.c_str(), example.link.c_str());
}

namespace {

// "N=VALUE": the number before '=' (or "all" for every index from first to
// last) and the value, both checked.
bool parse_assignment(const std::string &text, int first, int last, long high, int &from, int &to, long &value)
{
    const auto equals = text.find('=');
    if (equals == std::string::npos)
        return false;
    const std::string index = text.substr(0, equals);
    long number = 0;
    if (index == "all") {
        from = first;
        to = last;
    } else if (parse_bounded(index, first, last, number)) {
        from = to = static_cast<int>(number);
    } else {
        return false;
    }
    return parse_bounded(text.substr(equals + 1), 0, high, value);
}

}  // namespace

bool parse_speed(const std::string &text, double &speed)
{
    if (text == "max") {
        speed = 0;
        return true;
    }
    if (text.empty())
        return false;
    char *end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (*end != '\0' || !std::isfinite(value) || value < 0.01 || value > 1000)
        return false;
    speed = value;
    return true;
}

int parse_options(int argc, char **argv, firmsim_options &options)
{
    enum { opt_link = 256, opt_analog, opt_digital, opt_speed, opt_fast, opt_start_delay };
    static const option long_options[] = {
        {"link", required_argument, nullptr, opt_link},
        {"analog", required_argument, nullptr, opt_analog},
        {"digital", required_argument, nullptr, opt_digital},
        {"speed", required_argument, nullptr, opt_speed},
        {"fast", no_argument, nullptr, opt_fast},
        {"start-delay", required_argument, nullptr, opt_start_delay},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    optind = 1;
    opterr = 0;
    int option;
    while ((option = getopt_long(argc, argv, "h", long_options, nullptr)) != -1) {
        std::string error;
        int from = 0, to = 0;
        long value = 0;
        switch (option) {
        case opt_link:
            options.link = optarg;
            break;
        case opt_analog:
            if (!parse_assignment(optarg, 0, analog_input_count - 1, chip_millivolts, from, to, value))
                error = "bad --analog \"" + std::string(optarg) + "\" (use CH=MV, CH 0..5 or all, MV 0..5000)";
            for (int channel = from; error.empty() && channel <= to; ++channel)
                options.pins.set_analog(channel, static_cast<uint32_t>(value));
            break;
        case opt_digital:
            if (!parse_assignment(optarg, first_board_pin, last_board_pin, 1, from, to, value))
                error = "bad --digital \"" + std::string(optarg) + "\" (use PIN=0 or PIN=1, PIN 2..13 or all)";
            for (int pin = from; error.empty() && pin <= to; ++pin)
                options.pins.set_input(pin, value == 1);
            break;
        case opt_speed:
            if (!parse_speed(optarg, options.speed))
                error = "bad --speed \"" + std::string(optarg) + "\" (use a factor from 0.01 to 1000, or max)";
            break;
        case opt_fast:
            options.speed = 0;
            break;
        case opt_start_delay: {
            double milliseconds = 0;
            const std::string problem = read_duration_ms(optarg, &milliseconds);
            if (!problem.empty())
                error = "--start-delay " + std::string(optarg) + " " + problem;
            else if (milliseconds > longest_start_delay_ms)
                error = "--start-delay " + std::string(optarg) + " is longer than a minute";
            options.start_delay_ms = milliseconds;
            break;
        }
        case 'h':
            print_usage(stdout);
            return status_stopped;
        default:
            // Unknown, or missing its value.
            error = "bad option " + std::string(argv[optind > 1 ? optind - 1 : 1]);
            break;
        }
        if (!error.empty()) {
            std::fprintf(stderr, "firmsim: %s\n(firmsim --help tells the options)\n", error.c_str());
            return status_usage;
        }
    }
    if (argc - optind != 1) {
        std::fprintf(stderr, "firmsim: %s\n(firmsim --help tells the options)\n",
                     optind >= argc ? "which firmware? (a .hex or .elf file)" : "one firmware file only");
        return status_usage;
    }
    options.firmware = argv[optind];
    return -1;
}
