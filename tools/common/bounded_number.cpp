#include "bounded_number.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

bool parse_bounded(const std::string &text, long low, long high, long &value)
{
    // strtol would skip leading white space and take a '+'.
    if (text.empty() || text.size() > 12 || !(std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '-'))
        return false;
    char *end = nullptr;
    errno = 0;
    const long parsed = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed < low || parsed > high)
        return false;
    value = parsed;
    return true;
}
