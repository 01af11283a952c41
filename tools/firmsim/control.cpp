#include "control.h"

#include "bounded_number.h"
#include "firmware_image.h"
#include "options.h"
#include "pin_model.h"

#include <sstream>
#include <vector>

const char control_help[] =
    "commands: adc CH MV, pin PIN 0|1, halt, run, speed X|max, report, quit";

control_command parse_control(const std::string &line)
{
    std::istringstream words(line);
    std::vector<std::string> word;
    for (std::string w; words >> w;)
        word.push_back(w);
    control_command command;
    if (word.empty())
        return command;
    const std::string &name = word[0];
    const size_t arguments = word.size() - 1;
    long index = 0;
    command.kind = control_kind::bad;
    if (name == "adc") {
        if (arguments == 2 && parse_bounded(word[1], 0, analog_input_count - 1, index) &&
            parse_bounded(word[2], 0, chip_millivolts, command.value)) {
            command.kind = control_kind::set_analog;
            command.index = static_cast<int>(index);
        } else {
            command.error = "use adc CH MV, CH 0..5, MV 0..5000";
        }
    } else if (name == "pin") {
        if (arguments == 2 && parse_bounded(word[1], first_board_pin, last_board_pin, index) &&
            parse_bounded(word[2], 0, 1, command.value)) {
            command.kind = control_kind::set_input;
            command.index = static_cast<int>(index);
        } else {
            command.error = "use pin PIN 0|1, PIN 2..13";
        }
    } else if (name == "speed") {
        if (arguments == 1 && parse_speed(word[1], command.speed))
            command.kind = control_kind::speed;
        else
            command.error = "use speed X (0.01..1000) or speed max";
    } else if (arguments == 0 && name == "halt") {
        command.kind = control_kind::halt;
    } else if (arguments == 0 && name == "run") {
        command.kind = control_kind::run;
    } else if (arguments == 0 && name == "report") {
        command.kind = control_kind::report;
    } else if (arguments == 0 && (name == "help" || name == "?")) {
        command.kind = control_kind::help;
    } else if (arguments == 0 && name == "quit") {
        command.kind = control_kind::quit;
    } else {
        command.error = std::string("unknown command \"") + line + "\" (" + control_help + ")";
    }
    return command;
}
