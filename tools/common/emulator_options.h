// The command line that the board emulators share (boardsim answers as the
// sketch does, firmsim runs its firmware): --link PATH, --analog CH=VALUE
// and --digital PIN=VALUE (CH one of the board's analog inputs, PIN one of
// its pins 2..13, or all), -h and --help, and how a refusal reads. Each
// emulator adds its own options and reads its own VALUEs.
#pragma once

#include <functional>
#include <getopt.h>
#include <string>
#include <vector>

// One --analog or --digital: the inputs it names, first..last (one, or all
// of them), their VALUE, and the option's whole argument, for messages.
struct input_assignment {
    int first, last;
    std::string value, text;
};

// Sets the inputs to the value. False refuses it: with `error` set, that
// says why; left empty, the option's form does.
using input_setter = std::function<bool(const input_assignment &assignment, std::string &error)>;

struct emulator_command_line {
    const char *program;       // how its messages start: "boardsim"
    const char *analog_form;   // told after a bad --analog: "CH=SOURCE, CH 0..5 or all"
    const char *digital_form;  // and after a bad --digital
    input_setter analog, digital;
    std::function<void()> help;
    // The emulator's own options: getopt_long's entries (values from 256 up),
    // its short options beyond -h, and what each does with its argument
    // (nullptr for none): "" or the error.
    std::vector<option> own_options;
    std::string own_short;
    std::function<std::string(int option, const char *argument)> own;
};

// Parses argv: `link` gets --link's path, whose folder must exist, and
// `operands` the arguments that are no options, in order. Returns -1 to go
// on, 0 after --help, or 2 after an error said on stderr.
int parse_emulator_options(int argc, char **argv, const emulator_command_line &line, std::string &link,
                           std::vector<std::string> &operands);

// Says on stderr that the command line is refused, and where the options are
// told; returns 2, the emulators' status for it.
int command_line_refused(const char *program, const std::string &error);
