#include "arguments.h"

#include <charconv>

namespace {
bool is_blank(char ch) { return ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n'; }
}  // namespace

bool split_commands(const std::string &line, std::vector<std::vector<std::string>> *commands,
                    std::string *error)
{
    commands->assign(1, {});
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && is_blank(line[i]))
            ++i;
        if (i == line.size() || line[i] == '#')
            break;
        if (line[i] == ';') {
            commands->emplace_back();
            ++i;
            continue;
        }
        std::string word;
        while (i < line.size() && !is_blank(line[i]) && line[i] != ';') {
            const char ch = line[i];
            if (ch == '\'' || ch == '"') {
                const size_t close = line.find(ch, i + 1);
                if (close == std::string::npos) {
                    *error = std::string("unclosed quote ") + ch;
                    return false;
                }
                word.append(line, i + 1, close - i - 1);
                i = close + 1;
            } else {
                word += ch;
                ++i;
            }
        }
        commands->back().push_back(word);
    }
    std::erase_if(*commands, [](const std::vector<std::string> &words) { return words.empty(); });
    return true;
}

namespace {
// Where the digits of a number start: after one optional "+" (from_chars
// takes only "-"), refusing a second sign and an empty word.
bool number_start(const std::string &word, const char **begin)
{
    const char *p = word.data();
    const char *end = p + word.size();
    if (p != end && *p == '+')
        ++p;
    if (p == end || *p == '+' || (p != word.data() && *p == '-'))
        return false;
    *begin = p;
    return true;
}
}  // namespace

namespace {
// The whole word as one number of type T (from_chars with `format...`):
// beyond T's range, or with anything after the number, is refused rather
// than passed on as some other number.
template <typename T, typename... format> bool parse_whole(const std::string &word, T *value, format... how)
{
    const char *begin = nullptr;
    const char *end = word.data() + word.size();
    if (!number_start(word, &begin))
        return false;
    T parsed{};
    const auto [stop, ec] = std::from_chars(begin, end, parsed, how...);
    if (ec != std::errc() || stop != end)
        return false;
    *value = parsed;
    return true;
}
}  // namespace

bool parse_int32(const std::string &word, int32_t *value) { return parse_whole(word, value, 10); }

// "inf" and "nan" are numbers here, for tests of what the library does with them.
bool parse_real(const std::string &word, double *value) { return parse_whole(word, value); }

bool parse_export_arguments(const export_info &info, const std::vector<std::string> &words,
                            call_arguments *arguments, std::string *error)
{
    const signature_info &sig = signature_of(info.sig);
    if (static_cast<int>(words.size()) != sig.count) {
        *error = std::string(info.name) + " takes " + std::to_string(sig.count) +
                 (sig.count == 1 ? " argument" : " arguments") + ", got " + std::to_string(words.size()) +
                 ": " + usage_of(info);
        return false;
    }
    call_arguments parsed;
    for (int i = 0; i < sig.count; ++i) {
        const std::string &word = words[static_cast<size_t>(i)];
        const bool ok = sig.kinds[i] == arg_kind::int32 ? parse_int32(word, &parsed.ints[i])
                                                        : parse_real(word, &parsed.reals[i]);
        if (!ok) {
            *error = std::string(info.name) + ": " + sig.names[i] +
                     (sig.kinds[i] == arg_kind::int32 ? " must be a whole number (32-bit)"
                                                      : " must be a number") +
                     ", got \"" + word + "\": " + usage_of(info);
            return false;
        }
    }
    *arguments = parsed;
    return true;
}

std::string usage_of(const export_info &info)
{
    const signature_info &sig = signature_of(info.sig);
    std::string usage = info.name;
    for (int i = 0; i < sig.count; ++i)
        usage += std::string(" <") + sig.names[i] + ":" + arg_kind_name(sig.kinds[i]) + ">";
    return usage;
}
