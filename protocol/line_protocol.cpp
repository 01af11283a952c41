#include "line_protocol.h"

#include "board_channels.h"

std::string command_line(const std::string &command)
{
    return command + command_end;
}

std::string answered_command_line(const std::string &command)
{
    return command_line(command) + command_end;
}

bool answer_line::take(char byte)
{
    if (ended_)
        return true;
    if (is_line_end(byte)) {
        ended_ = !text_.empty();
        return ended_;
    }
    if (first_byte_ < 0)
        first_byte_ = static_cast<unsigned char>(byte);
    if (byte != '\0')
        text_.push_back(byte);
    return false;
}

bool is_analog_reading(const std::string &line, int32_t *value)
{
    const size_t first = line.find_first_not_of(' ');
    if (first == std::string::npos)
        return false;
    const size_t last = line.find_last_not_of(' ');
    // Four digits at most: a longer run of digits is out of range anyway.
    if (last - first + 1 > 4)
        return false;
    int32_t number = 0;
    for (size_t i = first; i <= last; ++i) {
        if (line[i] < '0' || line[i] > '9')
            return false;
        number = number * 10 + (line[i] - '0');
    }
    if (number > highest_analog_reading)
        return false;
    *value = number;
    return true;
}

bool is_digital_reading(int32_t byte, int32_t *level)
{
    if (byte == 0 || byte == '0')
        *level = 0;
    else if (byte == 1 || byte == '1')
        *level = 1;
    else
        return false;
    return true;
}
