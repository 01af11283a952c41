#include "trace_line.h"

namespace {

constexpr char hex_digits[] = "0123456789abcdef";

void append_escaped(std::string &out, unsigned char c, bool space_too)
{
    if (c == '"' || c == '\\') {
        out += '\\';
        out += static_cast<char>(c);
    } else if (c == '\r') {
        out += "\\r";
    } else if (c == '\n') {
        out += "\\n";
    } else if (c < 0x20 || c >= 0x7F || (space_too && c == ' ')) {
        out += "\\x";
        out += hex_digits[c >> 4];
        out += hex_digits[c & 15];
    } else {
        out += static_cast<char>(c);
    }
}

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

}  // namespace

std::string quoted_bytes(std::string_view bytes, size_t most)
{
    std::string out = "\"";
    for (size_t i = 0; i < bytes.size() && i < most; ++i)
        append_escaped(out, static_cast<unsigned char>(bytes[i]), false);
    out += '"';
    if (bytes.size() > most)
        out += "...";
    return out;
}

std::string sent_bytes(std::string_view bytes, size_t sent)
{
    std::string details = quoted_bytes(bytes);
    if (sent == 0)
        details += " dropped: the device took none of it";
    else if (sent < bytes.size())
        details += " cut: the device took " + std::to_string(sent) + " of its " + std::to_string(bytes.size()) +
                   " bytes";
    return details;
}

std::string path_word(std::string_view path, size_t most)
{
    if (path.empty())
        return "-";
    std::string out;
    for (size_t i = 0; i < path.size() && i < most; ++i)
        append_escaped(out, static_cast<unsigned char>(path[i]), true);
    if (path.size() > most)
        out += "...";
    return out;
}

bool unquote_bytes(std::string_view text, std::string *bytes, size_t *used)
{
    bytes->clear();
    if (text.empty() || text[0] != '"')
        return false;
    for (size_t i = 1; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') {
            *used = i + 1;
            return true;
        }
        if (c != '\\') {
            *bytes += c;
            continue;
        }
        if (++i >= text.size())
            return false;
        switch (text[i]) {
        case 'r': *bytes += '\r'; break;
        case 'n': *bytes += '\n'; break;
        case '"':
        case '\\': *bytes += text[i]; break;
        case 'x': {
            const int high = i + 2 < text.size() ? hex_value(text[i + 1]) : -1;
            const int low = high >= 0 ? hex_value(text[i + 2]) : -1;
            if (low < 0)
                return false;
            *bytes += static_cast<char>(high * 16 + low);
            i += 2;
            break;
        }
        default: return false;
        }
    }
    return false;
}

bool parse_trace_line(std::string_view line, trace_line *parsed)
{
    // <library>[<pid>] <seconds> <port> <event>[: <details>]
    std::string_view words[4];
    for (std::string_view &word : words) {
        const size_t end = line.find(' ');
        word = line.substr(0, end);
        if (word.empty())
            return false;
        line = end == std::string_view::npos ? std::string_view() : line.substr(end + 1);
    }
    // The last of the four may end in ':' before the details.
    const size_t library_end = words[0].find('[');
    if (library_end == std::string_view::npos || words[0].back() != ']')
        return false;
    parsed->library = words[0].substr(0, library_end);
    parsed->port = words[2];
    std::string_view event = words[3];
    parsed->details.clear();
    if (event.back() == ':') {
        event.remove_suffix(1);
        parsed->details = line;
    } else if (!line.empty()) {
        return false;
    }
    parsed->event = event;
    return !event.empty();
}
