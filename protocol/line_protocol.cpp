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
    if (byte != 0 && byte != 1)
        return false;
    *level = byte;
    return true;
}

bool is_digital_text(const std::string &value, int32_t *level)
{
    if (value != "0" && value != "1")
        return false;
    *level = value[0] - '0';
    return true;
}

namespace {
// The decimal number that `text` is, all of it; false for anything else or
// beyond `highest`.
bool whole_number(const std::string &text, int64_t highest, int64_t *value)
{
    if (text.empty() || text.size() > 10)
        return false;
    int64_t number = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        number = number * 10 + (c - '0');
    }
    if (number > highest)
        return false;
    *value = number;
    return true;
}
}  // namespace

bool parse_identity(const std::string &line, sketch_identity *identity)
{
    const std::string head = std::string(identify_command) + " arduinodrv-board ";
    if (line.compare(0, head.size(), head) != 0)
        return false;
    const size_t version_end = line.find(' ', head.size());
    int64_t version = 0;
    if (!whole_number(line.substr(head.size(), version_end - head.size()), 999, &version) || version < 1)
        return false;
    sketch_identity found;
    found.version = static_cast<int32_t>(version);
    if (version_end != std::string::npos) {
        const std::string features = line.substr(version_end + 1) + ",";
        for (size_t start = 0, end; (end = features.find(',', start)) != std::string::npos; start = end + 1) {
            const std::string feature = features.substr(start, end - start);
            found.tags |= feature == "tag";
            found.rates |= feature == "baud";
            found.stream |= feature == "stream";
        }
    }
    *identity = found;
    return true;
}

std::string tagged_command(const std::string &command, uint16_t tag)
{
    return command + "#" + std::to_string(tag);
}

bool tagged_answer(const std::string &line, const std::string &command, uint16_t tag, std::string *value)
{
    const std::string head = command + "=";
    const std::string tail = "#" + std::to_string(tag);
    if (line.size() < head.size() + tail.size() || line.compare(0, head.size(), head) != 0 ||
        line.compare(line.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    *value = line.substr(head.size(), line.size() - head.size() - tail.size());
    return true;
}

std::string rate_command(int32_t baud)
{
    return "XB" + std::to_string(baud);
}

bool rate_answer(const std::string &line, int32_t *baud)
{
    int64_t value = 0;
    if (line.compare(0, 3, "XB=") != 0 || !whole_number(line.substr(3), INT32_MAX, &value))
        return false;
    *baud = static_cast<int32_t>(value);
    return true;
}
