#include "options.h"

#include "durations.h"
#include "emulator_options.h"

#include <cstdio>

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
    "                       9600 baud; the rate the host set its end to, or the\n"
    "                       driver moved the line to), and take commands at it, as\n"
    "                       a real board does\n"
    "  --classic            play a classic sketch: the four commands alone, every\n"
    "                       other line ignored\n"
    "  --log FILE           log every command line, with the time and the answer;\n"
    "                       FILE - is standard output\n"
    "  --summary            print the outputs seen when ending\n"
    "  -q, --quiet, --no-table\n"
    "                       no live table (there is none when stdout is not a terminal)\n"
    "  -h, --help           this text\n"
    "\n"
    "The table counts the command lines received: answered (EA, EB, XI and the\n"
    "tagged lines), set (SA, SB, tagged or not), ignored (unknown, or a pin that\n"
    "cannot do it), dropped (longer than the board's line buffer), lost (arrived\n"
    "while the board was restarting); then the line's rate and the stream's\n"
    "frames, sent and dropped (no room for them: a line too slow, or a driver\n"
    "that does not read).\n"
    "\n"
    "Example:\n"
    "  boardsim --link /tmp/dev/ttyUSB0 --analog 0=sine:512:400:2s --analog 1=noise:300:20 \\\n"
    "           --digital 2=square:1s --pace\n";

void warn(const std::string &text)
{
    std::fprintf(stderr, "boardsim: warning: %s\n", text.c_str());
}

// "2, 4, 7 and 8": the pins the driver reads.
std::string input_pins_text()
{
    std::string text;
    for (int32_t channel = 0; channel < channels_of_each_kind; ++channel)
        text += (channel == 0 ? "" : channel + 1 < channels_of_each_kind ? ", " : " and ") +
                std::to_string(digital_input_pins[channel]);
    return text;
}

bool is_input_pin(int pin)
{
    for (int32_t input : digital_input_pins)
        if (pin == input)
            return true;
    return false;
}

}  // namespace

void print_usage()
{
    std::printf(usage_format, duration_text(boot_time_ms).c_str());
}

int parse_options(int argc, char **argv, boardsim_options &options)
{
    enum { opt_pace = 256, opt_log, opt_summary, opt_no_table, opt_no_reset, opt_classic };
    emulator_command_line line;
    line.program = "boardsim";
    line.analog_form = "CH=SOURCE, CH 0..5 or all";
    line.digital_form = "PIN=SOURCE, PIN 2..13 or all";
    line.analog = [&](const input_assignment &inputs, std::string &error) {
        for (int channel = inputs.first; channel <= inputs.last; ++channel)
            if (!parse_analog_source(inputs.value, options.analog[channel], error))
                return false;
        if (const std::string clamped = clamp_warning(options.analog[inputs.first]); !clamped.empty())
            warn("--analog " + inputs.text + " " + clamped);
        return true;
    };
    line.digital = [&](const input_assignment &inputs, std::string &error) {
        for (int pin = inputs.first; pin <= inputs.last; ++pin)
            if (!parse_digital_source(inputs.value, options.digital[pin], error))
                return false;
        if (inputs.first == inputs.last && !is_input_pin(inputs.first))
            warn("--digital " + inputs.text + ": pin " + std::to_string(inputs.first) +
                 " is not one the driver reads (it reads " + input_pins_text() + ")");
        return true;
    };
    line.help = print_usage;
    line.own_options = {
        {"pace", no_argument, nullptr, opt_pace},
        {"no-reset", no_argument, nullptr, opt_no_reset},
        {"classic", no_argument, nullptr, opt_classic},
        {"log", required_argument, nullptr, opt_log},
        {"summary", no_argument, nullptr, opt_summary},
        {"quiet", no_argument, nullptr, 'q'},
        {"no-table", no_argument, nullptr, opt_no_table},
    };
    line.own_short = "q";
    line.own = [&](int option, const char *argument) {
        switch (option) {
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
            options.log = argument;
            break;
        case opt_summary:
            options.summary = true;
            break;
        default:  // -q, --quiet, --no-table
            options.table = false;
            break;
        }
        return std::string();
    };
    std::vector<std::string> operands;
    const int status = parse_emulator_options(argc, argv, line, options.link, operands);
    if (status < 0 && !operands.empty())
        return command_line_refused("boardsim", "unexpected argument \"" + operands[0] + "\"");
    return status;
}
