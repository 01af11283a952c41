#include "line_protocol.h"

std::string command_line(const std::string &command)
{
    return command + command_end;
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
