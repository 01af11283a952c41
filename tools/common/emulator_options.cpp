#include "emulator_options.h"

#include "board_protocol.h"
#include "bounded_number.h"
#include "protocol/board_channels.h"

#include <cstdio>
#include <sys/stat.h>

namespace {

// Beyond any value an emulator gives its own options.
enum { link_option = 0x10000, analog_option, digital_option };

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

// "N=VALUE", N from first to last or "all": hands the inputs and VALUE to
// `set`. Returns "" or the error.
std::string set_inputs(const char *name, const char *form, const std::string &text, int first, int last,
                       const input_setter &set)
{
    const auto equals = text.find('=');
    const std::string index = text.substr(0, equals);
    long number = 0;
    std::string error;
    if (equals != std::string::npos && (index == "all" || parse_bounded(index, first, last, number))) {
        const input_assignment assignment{index == "all" ? first : static_cast<int>(number),
                                          index == "all" ? last : static_cast<int>(number),
                                          text.substr(equals + 1), text};
        if (set(assignment, error))
            return "";
    }
    return error.empty() ? "bad " + std::string(name) + " \"" + text + "\" (use " + form + ")" : error;
}

}  // namespace

int command_line_refused(const char *program, const std::string &error)
{
    std::fprintf(stderr, "%s: %s\n(%s --help tells the options)\n", program, error.c_str(), program);
    return 2;
}

int parse_emulator_options(int argc, char **argv, const emulator_command_line &line, std::string &link,
                           std::vector<std::string> &operands)
{
    std::vector<option> options = {
        {"link", required_argument, nullptr, link_option},
        {"analog", required_argument, nullptr, analog_option},
        {"digital", required_argument, nullptr, digital_option},
        {"help", no_argument, nullptr, 'h'},
    };
    options.insert(options.end(), line.own_options.begin(), line.own_options.end());
    options.push_back({nullptr, 0, nullptr, 0});
    const std::string short_options = "h" + line.own_short;
    optind = 1;
    opterr = 0;
    int option;
    while ((option = getopt_long(argc, argv, short_options.c_str(), options.data(), nullptr)) != -1) {
        std::string error;
        switch (option) {
        case link_option:
            link = optarg;
            error = link_folder_error(link);
            break;
        case analog_option:
            error = set_inputs("--analog", line.analog_form, optarg, 0, analog_input_count - 1, line.analog);
            break;
        case digital_option:
            error = set_inputs("--digital", line.digital_form, optarg, command_interpreter::first_digital_pin,
                               command_interpreter::last_digital_pin, line.digital);
            break;
        case 'h':
            line.help();
            return 0;
        case '?':
        case ':':
            // Unknown, or missing its value.
            error = "bad option " + std::string(argv[optind > 1 ? optind - 1 : 1]);
            break;
        default:
            error = line.own(option, optarg);
            break;
        }
        if (!error.empty())
            return command_line_refused(line.program, error);
    }
    operands.assign(argv + optind, argv + argc);
    return -1;
}
