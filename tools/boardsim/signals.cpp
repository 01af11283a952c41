#include "signals.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "durations.h"

namespace {

constexpr double pi = 3.14159265358979323846;

std::vector<std::string> split(const std::string &text, char separator)
{
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    for (;;) {
        const auto end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            return parts;
        start = end + 1;
    }
}

bool parse_number(const std::string &text, double &value)
{
    if (text.empty())
        return false;
    char *end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return *end == '\0' && std::isfinite(value);
}

// A PERIOD: a duration by the tools' one rule, more than zero.
bool parse_period(const std::string &text, double &seconds, std::string &why)
{
    double ms = 0;
    why = read_duration_ms(text, &ms);
    if (why.empty() && ms <= 0)
        why = "must be more than 0";
    if (!why.empty()) {
        why = "PERIOD " + text + " " + why;
        return false;
    }
    seconds = ms / 1000;
    return true;
}

std::string number_text(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

std::string period_text(double seconds)
{
    return seconds < 1 ? number_text(seconds * 1000) + "ms" : number_text(seconds) + "s";
}

// xorshift32: small, fast, and the same sequence on every machine.
uint32_t next_random(uint32_t &state)
{
    if (state == 0)
        state = 2463534242u;
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

}  // namespace

bool parse_analog_source(const std::string &text, analog_source &source, std::string &error)
{
    const auto parts = split(text, ':');
    analog_source parsed;
    std::string why;
    bool ok = false;
    if (parts.size() == 1) {
        ok = parse_number(parts[0], parsed.level);
    } else if (parts[0] == "const" && parts.size() == 2) {
        ok = parse_number(parts[1], parsed.level);
    } else if (parts[0] == "sine" && parts.size() == 4) {
        parsed.kind = analog_kind::sine;
        ok = parse_number(parts[1], parsed.level) && parse_number(parts[2], parsed.span) &&
             parse_period(parts[3], parsed.period_s, why);
    } else if (parts[0] == "ramp" && parts.size() == 4) {
        parsed.kind = analog_kind::ramp;
        ok = parse_number(parts[1], parsed.level) && parse_number(parts[2], parsed.span) &&
             parse_period(parts[3], parsed.period_s, why);
    } else if (parts[0] == "noise" && parts.size() == 3) {
        parsed.kind = analog_kind::noise;
        ok = parse_number(parts[1], parsed.level) && parse_number(parts[2], parsed.span);
    }
    if (!ok) {
        error = "bad analog source \"" + text + "\" (" +
                (why.empty() ? "use N, const:N, sine:MID:AMP:PERIOD, ramp:FROM:TO:PERIOD or noise:MID:AMP" : why) +
                ")";
        return false;
    }
    source = parsed;
    return true;
}

std::string clamp_warning(const analog_source &source)
{
    double low = source.level, high = source.level;
    switch (source.kind) {
    case analog_kind::constant: break;
    case analog_kind::ramp:
        low = std::min(source.level, source.span);
        high = std::max(source.level, source.span);
        break;
    case analog_kind::sine:
    case analog_kind::noise:
        low = source.level - std::fabs(source.span);
        high = source.level + std::fabs(source.span);
        break;
    }
    if (low >= 0 && high <= analog_full_scale)
        return "";
    return "reads " + number_text(low) + (high != low ? ".." + number_text(high) : "") +
           ", beyond the board's 0.." + number_text(analog_full_scale) + ": it reads " +
           number_text(std::clamp(std::round(low), 0.0, analog_full_scale)) +
           (high != low ? ".." + number_text(std::clamp(std::round(high), 0.0, analog_full_scale)) : "") +
           " instead";
}

bool parse_digital_source(const std::string &text, digital_source &source, std::string &error)
{
    const auto parts = split(text, ':');
    digital_source parsed;
    std::string why;
    bool ok = false;
    if (parts.size() == 1 && (parts[0] == "0" || parts[0] == "1")) {
        parsed.level = parts[0] == "1";
        ok = true;
    } else if (parts[0] == "square" && parts.size() == 2) {
        parsed.kind = digital_kind::square;
        ok = parse_period(parts[1], parsed.period_s, why);
    }
    if (!ok) {
        error = "bad digital source \"" + text + "\" (" + (why.empty() ? "use 0, 1 or square:PERIOD" : why) + ")";
        return false;
    }
    source = parsed;
    return true;
}

uint16_t analog_value(const analog_source &source, double t, uint32_t &random_state)
{
    double value = source.level;
    switch (source.kind) {
    case analog_kind::constant:
        break;
    case analog_kind::sine:
        value = source.level + source.span * std::sin(2 * pi * t / source.period_s);
        break;
    case analog_kind::ramp: {
        const double phase = std::fmod(t, source.period_s) / source.period_s;
        value = source.level + (source.span - source.level) * phase;
        break;
    }
    case analog_kind::noise: {
        const double unit = next_random(random_state) / 4294967295.0;  // 0..1
        value = source.level + source.span * (2 * unit - 1);
        break;
    }
    }
    value = std::round(value);
    if (!(value >= 0))
        return 0;
    if (value > analog_full_scale)
        return static_cast<uint16_t>(analog_full_scale);
    return static_cast<uint16_t>(value);
}

bool digital_value(const digital_source &source, double t)
{
    if (source.kind == digital_kind::constant)
        return source.level;
    return std::fmod(t, source.period_s) < source.period_s / 2;
}

std::string describe(const analog_source &source)
{
    switch (source.kind) {
    case analog_kind::constant:
        return "constant";
    case analog_kind::sine:
        return "sine " + number_text(source.level) + "+-" + number_text(source.span) + "/" +
               period_text(source.period_s);
    case analog_kind::ramp:
        return "ramp " + number_text(source.level) + ".." + number_text(source.span) + "/" +
               period_text(source.period_s);
    case analog_kind::noise:
        return "noise " + number_text(source.level) + "+-" + number_text(source.span);
    }
    return "";
}

std::string describe(const digital_source &source)
{
    if (source.kind == digital_kind::constant)
        return "constant";
    return "square/" + period_text(source.period_s);
}
