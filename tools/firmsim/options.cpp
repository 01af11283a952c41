#include "options.h"

#include "bounded_number.h"
#include "durations.h"
#include "emulator_options.h"
#include "firmware_image.h"
#include "program_folder.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

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

// The status command_line_refused() ends with.
static_assert(status_usage == 2);

int parse_options(int argc, char **argv, firmsim_options &options)
{
    enum { opt_speed = 256, opt_fast, opt_start_delay };
    emulator_command_line line;
    line.program = "firmsim";
    line.analog_form = "CH=MV, CH 0..5 or all, MV 0..5000";
    line.digital_form = "PIN=0 or PIN=1, PIN 2..13 or all";
    line.analog = [&](const input_assignment &inputs, std::string &) {
        long millivolts = 0;
        if (!parse_bounded(inputs.value, 0, chip_millivolts, millivolts))
            return false;
        for (int channel = inputs.first; channel <= inputs.last; ++channel)
            options.pins.set_analog(channel, static_cast<uint32_t>(millivolts));
        return true;
    };
    line.digital = [&](const input_assignment &inputs, std::string &) {
        long level = 0;
        if (!parse_bounded(inputs.value, 0, 1, level))
            return false;
        for (int pin = inputs.first; pin <= inputs.last; ++pin)
            options.pins.set_input(pin, level == 1);
        return true;
    };
    line.help = [] { print_usage(stdout); };
    line.own_options = {
        {"speed", required_argument, nullptr, opt_speed},
        {"fast", no_argument, nullptr, opt_fast},
        {"start-delay", required_argument, nullptr, opt_start_delay},
    };
    line.own = [&](int option, const char *argument) -> std::string {
        if (option == opt_fast) {
            options.speed = 0;
        } else if (option == opt_speed) {
            if (!parse_speed(argument, options.speed))
                return "bad --speed \"" + std::string(argument) + "\" (use a factor from 0.01 to 1000, or max)";
        } else {
            const std::string problem = read_duration_ms(argument, &options.start_delay_ms);
            if (!problem.empty())
                return "--start-delay " + std::string(argument) + " " + problem;
            if (options.start_delay_ms > longest_start_delay_ms)
                return "--start-delay " + std::string(argument) + " is longer than a minute";
        }
        return "";
    };
    std::vector<std::string> operands;
    const int status = parse_emulator_options(argc, argv, line, options.link, operands);
    if (status >= 0)
        return status;
    if (operands.size() != 1)
        return command_line_refused("firmsim", operands.empty() ? "which firmware? (a .hex or .elf file)"
                                                                : "one firmware file only");
    options.firmware = operands[0];
    return -1;
}
