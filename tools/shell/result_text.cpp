#include "result_text.h"

#include <charconv>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <langinfo.h>
#include <strings.h>

text_encoding encoding_from_locale()
{
    // Only the character type: numbers are read and written the C way
    // whatever the user's locale (a decimal point, never a comma).
    std::setlocale(LC_CTYPE, "");
    const char *codeset = nl_langinfo(CODESET);
    if (codeset != nullptr &&
        (strcasecmp(codeset, "ISO-8859-1") == 0 || strcasecmp(codeset, "ISO-8859-15") == 0 ||
         strcasecmp(codeset, "ISO8859-1") == 0 || strcasecmp(codeset, "ISO8859-15") == 0))
        return text_encoding::latin1;
    return text_encoding::utf8;
}

std::string latin1_to_encoding(const std::string &latin1, text_encoding encoding)
{
    if (encoding == text_encoding::latin1)
        return latin1;
    std::string out;
    out.reserve(latin1.size() + 8);
    for (const char ch : latin1) {
        const auto byte = static_cast<unsigned char>(ch);
        if (byte < 0x80) {
            out += ch;
        } else {
            out += static_cast<char>(0xC0 | (byte >> 6));
            out += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return out;
}

std::string real_text(double value)
{
    char buffer[64];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    if (ec != std::errc())
        return "?";
    return std::string(buffer, end);
}

std::string result_text(const call_result &result, text_encoding encoding)
{
    switch (result.kind) {
    case result_kind::int32: return std::to_string(result.integer);
    case result_kind::real: return real_text(result.real);
    case result_kind::text: return latin1_to_encoding(result.text, encoding);
    }
    return "";
}

std::string seconds_text(int64_t milliseconds)
{
    char buffer[32];
    const char *sign = milliseconds < 0 ? "-" : "";
    const int64_t magnitude = milliseconds < 0 ? -milliseconds : milliseconds;
    std::snprintf(buffer, sizeof buffer, "%s%lld.%03lld", sign, static_cast<long long>(magnitude / 1000),
                  static_cast<long long>(magnitude % 1000));
    return buffer;
}
