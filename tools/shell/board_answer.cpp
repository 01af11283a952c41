#include "board_answer.h"

std::string shown(const std::string &bytes)
{
    std::string text;
    for (const unsigned char c : bytes.substr(0, 24)) {
        if (c == '\n' || c == '\r')
            text += "\\n";
        else if (c < 0x20 || c >= 0x7f)
            text += '?';
        else
            text += static_cast<char>(c);
    }
    return "\"" + text + (bytes.size() > 24 ? "..." : "") + "\"";
}
