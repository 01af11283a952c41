#include "durations.h"

#include <charconv>
#include <cmath>
#include <cstdio>

const char duration_rule[] = "a number with its unit, ms or s: 250ms, 0.5s, 2s";

namespace {

// A plain decimal number, read the same in every locale; no sign but "-"
// (so that "-5ms" is reported as negative rather than as malformed).
bool read_number(const std::string &text, double *value)
{
    if (text.empty() || text[0] == '+')
        return false;
    const char *end = text.data() + text.size();
    const auto [stop, ec] = std::from_chars(text.data(), end, *value);
    return ec == std::errc() && stop == end && std::isfinite(*value);
}

}  // namespace

std::string read_duration_ms(const std::string &text, double *milliseconds)
{
    std::string number = text;
    double scale = 0;
    if (number.ends_with("ms")) {
        number.resize(number.size() - 2);
        scale = 1;
    } else if (number.ends_with("s")) {
        number.resize(number.size() - 1);
        scale = 1000;
    }
    double value = 0;
    if (!read_number(number, &value))
        return "is not a duration: write " + std::string(duration_rule);
    if (scale == 0)
        return "needs its unit: " + text + "s or " + text + "ms";
    if (value < 0)
        return "must not be negative";
    *milliseconds = value * scale;
    return "";
}

std::string duration_text(double milliseconds)
{
    char text[48];
    if (milliseconds >= 1000)
        std::snprintf(text, sizeof text, "%g s", milliseconds / 1000);
    else
        std::snprintf(text, sizeof text, "%g ms", milliseconds);
    return text;
}
