#include "text_convert.h"

std::string unsigned_decimal_text(uint64_t value)
{
    char digits[20];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    std::string text;
    text.reserve(static_cast<size_t>(count) + 1);
    while (count > 0)
        text.push_back(digits[--count]);
    return text;
}

std::string decimal_text(int64_t value)
{
    if (value >= 0)
        return unsigned_decimal_text(static_cast<uint64_t>(value));
    // The magnitude in unsigned arithmetic, so INT64_MIN needs no special case.
    return "-" + unsigned_decimal_text(0 - static_cast<uint64_t>(value));
}

std::string char_text(int32_t code)
{
    const char byte = static_cast<char>(static_cast<uint32_t>(code) & 0xFF);
    return byte == 0 ? std::string() : std::string(1, byte);
}

namespace {
int digit_value(char c, unsigned base)
{
    int value;
    if (c >= '0' && c <= '9')
        value = c - '0';
    else if (c >= 'A' && c <= 'F')
        value = c - 'A' + 10;
    else if (c >= 'a' && c <= 'f')
        value = c - 'a' + 10;
    else
        return -1;
    return static_cast<unsigned>(value) < base ? value : -1;
}
}  // namespace

int64_t parse_integer(const char *text)
{
    if (text == nullptr)
        return 0;
    const char *p = text;
    while (*p == ' ' || *p == '\t')
        ++p;
    bool negative = false;
    if (*p == '-') {
        negative = true;
        ++p;
    } else if (*p == '+') {
        ++p;
    }
    unsigned base = 10;
    if (*p == '$') {
        base = 16;
        ++p;
    } else if (*p == '%') {
        base = 2;
        ++p;
    }
    // Unsigned arithmetic: wraps modulo 2^64 as the protocol expects, without
    // the undefined behaviour of signed overflow.
    uint64_t value = 0;
    for (int digit; (digit = digit_value(*p, base)) >= 0; ++p)
        value = value * base + static_cast<unsigned>(digit);
    if (negative)
        value = 0 - value;
    return static_cast<int64_t>(value);
}

std::string trim_spaces(const std::string &text)
{
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos)
        return std::string();
    const size_t last = text.find_last_not_of(' ');
    return text.substr(first, last - first + 1);
}

namespace {
// floor and ceil for values well inside the 64-bit range, without libm: the
// library's only shared dependency is the C library.
int64_t floor_whole(double x)
{
    const int64_t truncated = static_cast<int64_t>(x);
    return static_cast<double>(truncated) > x ? truncated - 1 : truncated;
}

int64_t ceil_whole(double x)
{
    const int64_t truncated = static_cast<int64_t>(x);
    return static_cast<double>(truncated) < x ? truncated + 1 : truncated;
}
}  // namespace

int32_t int_from_double(double value)
{
    // Anything this large cannot become a 32-bit integer; catching it first
    // also keeps NaN and infinities away from the float narrowing below.
    if (!(value > -4.0e9 && value < 4.0e9))
        return INT32_MIN;
    // Both narrowings go through memory: on the x87 unit the compiler (in C++
    // mode) keeps values in extended precision and drops a plain float cast,
    // which changes the rounding of ties such as -8388609.0 - 0.5.
    const volatile float narrowed = static_cast<float>(value);
    int64_t whole;
    if (narrowed > 0.0f) {
        whole = floor_whole(static_cast<double>(narrowed) + 0.5);
    } else {
        const volatile float shifted = static_cast<float>(static_cast<double>(narrowed) - 0.5);
        whole = ceil_whole(static_cast<double>(shifted));
    }
    if (whole < INT32_MIN || whole > INT32_MAX)
        return INT32_MIN;
    return static_cast<int32_t>(whole);
}
