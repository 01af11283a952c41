#include "line_protocol.h"

#include "board_channels.h"
#include "board_wire.h"

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

bool natural_value(const std::string &value, int64_t highest, int64_t *number)
{
    if (value.empty() || value.size() > 10 || (value[0] == '0' && value.size() > 1))
        return false;
    int64_t n = 0;
    for (const char c : value) {
        if (c < '0' || c > '9')
            return false;
        n = n * 10 + (c - '0');
    }
    if (n > highest)
        return false;
    *number = n;
    return true;
}

bool sketch_identity::extended() const
{
    return version >= board_wire::protocol_version;
}

bool parse_identity(const std::string &line, sketch_identity *identity)
{
    const std::string head = std::string(identify_command) + " arduinodrv-board ";
    if (line.compare(0, head.size(), head) != 0)
        return false;
    const size_t version_end = line.find(' ', head.size());
    int64_t version = 0;
    if (!natural_value(line.substr(head.size(), version_end - head.size()), 999, &version) || version < 1)
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
            found.scan |= feature == "scan";
            found.keep |= feature == "keep";
        }
    }
    *identity = found;
    return true;
}

std::string tagged_command(const std::string &command, char tag)
{
    return command + tag;
}

std::string rate_command(int32_t baud)
{
    return "XB" + std::to_string(baud);
}

std::string stream_start_command(unsigned analog_mask, unsigned digital_mask, int32_t interval_us)
{
    return "XS" + std::to_string(analog_mask) + "," + std::to_string(digital_mask) + "," + std::to_string(interval_us);
}

bool scan_value(const std::string &value, int32_t analog[6], int32_t digital[4])
{
    int32_t readings[6];
    size_t at = 0;
    for (int32_t &reading : readings) {
        const size_t comma = value.find(',', at);
        if (comma == std::string::npos || !is_analog_reading(value.substr(at, comma - at), &reading) ||
            value[at] == ' ' || value[comma - 1] == ' ')
            return false;
        at = comma + 1;
    }
    if (value.size() != at + 4 || value.find_first_not_of("01", at) != std::string::npos)
        return false;
    for (int i = 0; i < 6; ++i)
        analog[i] = readings[i];
    for (int i = 0; i < 4; ++i)
        digital[i] = value[at + static_cast<size_t>(i)] - '0';
    return true;
}
