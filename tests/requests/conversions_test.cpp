// The conversions between numbers and the texts of the board's protocol,
// compiled in directly: no library load, no board.
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <gtest/gtest.h>
#include <limits>
#include <string>

#include "text_convert.h"

namespace {

TEST(ParseInteger, TableOfTexts)
{
    struct {
        const char *text;
        int64_t value;
    } const cases[] = {
        {"", 0},
        {"  -12", -12},
        {"\t+7", 7},
        {" \t \t42", 42},
        {"$1F", 31},
        {"$ff", 255},
        {"$aBc", 2748},
        {"-$10", -16},
        {"+$10", 16},
        {"%101", 5},
        {"-%11", -3},
        {"12.9", 12},
        {"512abc", 512},
        {"12 34", 12},
        {"abc", 0},
        {"- 5", 0},
        {"+ 5", 0},
        {"+-5", 0},
        {"--5", 0},
        {"$", 0},
        {"$ 1F", 0},
        {"$G", 0},
        {"%2", 0},
        {"%", 0},
        {"-", 0},
        {"\n5", 0},        // a line end is no blank
        {"\xA0" "5", 0},   // nor is a Latin-1 no-break space
        {"5\xE9", 5},
        {"007", 7},
        {"$0F0", 240},
    };
    for (const auto &c : cases)
        EXPECT_EQ(parse_integer(c.text), c.value) << "text \"" << c.text << "\"";
}

TEST(ParseInteger, NoTextIsZero)
{
    EXPECT_EQ(parse_integer(nullptr), 0);
}

TEST(ParseInteger, AccumulationWrapsModulo2To64)
{
    EXPECT_EQ(parse_integer("18446744073709551617"), 1);           // 2^64 + 1
    EXPECT_EQ(parse_integer("18446744073709551615"), -1);          // 2^64 - 1
    EXPECT_EQ(parse_integer("-18446744073709551615"), 1);
    EXPECT_EQ(parse_integer("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(parse_integer("9223372036854775808"), INT64_MIN);    // 2^63 wraps negative
    // Negating the most negative value leaves it as it is.
    EXPECT_EQ(parse_integer("-9223372036854775808"), INT64_MIN);
    EXPECT_EQ(parse_integer("$FFFFFFFFFFFFFFFF"), -1);
    EXPECT_EQ(parse_integer("$10000000000000001"), 1);
    EXPECT_EQ(parse_integer(std::string(65, '1').insert(0, "%").c_str()), -1);
    // Far more digits than fit: still ends, still wraps.
    EXPECT_EQ(parse_integer(std::string(10000, '0').append("42").c_str()), 42);
}

TEST(DecimalText, WholeSigned64BitRange)
{
    EXPECT_EQ(decimal_text(0), "0");
    EXPECT_EQ(decimal_text(7), "7");
    EXPECT_EQ(decimal_text(10), "10");
    EXPECT_EQ(decimal_text(1000), "1000");
    EXPECT_EQ(decimal_text(-1), "-1");
    EXPECT_EQ(decimal_text(-10), "-10");
    EXPECT_EQ(decimal_text(INT32_MIN), "-2147483648");
    EXPECT_EQ(decimal_text(INT32_MAX), "2147483647");
    EXPECT_EQ(decimal_text(INT64_MAX), "9223372036854775807");
    EXPECT_EQ(decimal_text(INT64_MIN), "-9223372036854775808");
}

TEST(DecimalText, UnsignedAndRoundTrip)
{
    EXPECT_EQ(unsigned_decimal_text(0), "0");
    EXPECT_EQ(unsigned_decimal_text(20), "20");
    EXPECT_EQ(unsigned_decimal_text(UINT64_MAX), "18446744073709551615");
    for (int64_t v : {INT64_MIN, INT64_MIN + 1, int64_t{-1000000007}, int64_t{-1}, int64_t{0},
                      int64_t{99}, int64_t{1} << 53, INT64_MAX})
        EXPECT_EQ(parse_integer(decimal_text(v).c_str()), v);
}

TEST(TrimSpaces, OnlySpacesAtTheEnds)
{
    EXPECT_EQ(trim_spaces(""), "");
    EXPECT_EQ(trim_spaces("   "), "");
    EXPECT_EQ(trim_spaces(" a b "), "a b");
    EXPECT_EQ(trim_spaces("  512 "), "512");
    EXPECT_EQ(trim_spaces("x"), "x");
    // Tabs, line ends and Latin-1 bytes are not spaces, at the ends either.
    EXPECT_EQ(trim_spaces(" \t7"), "\t7");
    EXPECT_EQ(trim_spaces("\t7\t"), "\t7\t");
    EXPECT_EQ(trim_spaces(" \r5\n "), "\r5\n");
    EXPECT_EQ(trim_spaces("\xA0" "5 "), "\xA0" "5");
    EXPECT_EQ(trim_spaces(" \xE9 "), "\xE9");
}

TEST(CharText, LowByteOfTheCode)
{
    for (int n = 0; n <= 9; ++n)
        EXPECT_EQ(char_text(48 + n), std::string(1, static_cast<char>('0' + n)));
    EXPECT_EQ(char_text(48 + 10), ":");
    EXPECT_EQ(char_text(65 + 256), "A");
    EXPECT_EQ(char_text(-191), "A");          // 0xFFFFFF41
    EXPECT_EQ(char_text(0xE9), "\xE9");
    EXPECT_EQ(char_text(-1), "\xFF");
    EXPECT_EQ(char_text(INT32_MAX), "\xFF");
    EXPECT_EQ(char_text(13), "\r");
}

TEST(CharText, LowByteZeroGivesTheEmptyText)
{
    // A text never holds a zero byte.
    EXPECT_EQ(char_text(0), "");
    EXPECT_EQ(char_text(256), "");
    EXPECT_EQ(char_text(48 - 48), "");
    EXPECT_EQ(char_text(INT32_MIN), "");
}

TEST(IntFromDouble, HalvesGoAwayFromZero)
{
    struct {
        double value;
        int32_t whole;
    } const cases[] = {
        {0.0, 0},     {-0.0, 0},     {0.4, 0},      {0.5, 1},     {0.51, 1},
        {1.4999, 1},  {2.5, 3},      {127.5, 128},  {255.0, 255}, {-0.4, 0},
        {-0.5, -1},   {-0.51, -1},   {-1.5, -2},    {-2.5, -3},   {-127.5, -128},
        {306.0, 306}, {-51.0, -51},
    };
    for (const auto &c : cases)
        EXPECT_EQ(int_from_double(c.value), c.whole) << "value " << c.value;
}

TEST(IntFromDouble, NarrowedToSinglePrecisionBeforeRounding)
{
    // Within single-precision rounding of a half: rounded as the half.
    EXPECT_EQ(int_from_double(0.49999999), 1);
    EXPECT_EQ(int_from_double(0.49999999999999), 1);
    EXPECT_EQ(int_from_double(2.4999999), 3);
    EXPECT_EQ(int_from_double(-0.49999999), -1);
    // Just outside it: an ordinary value below the half.
    EXPECT_EQ(int_from_double(0.4999999), 0);
    EXPECT_EQ(int_from_double(2.4999997), 2);
    // The negative side narrows v - 0.5 again: 0.5 - 2^-25 is a float, and
    // v - 0.5 = -(1 - 2^-25) lies halfway between two floats, going to -1.0.
    EXPECT_EQ(int_from_double(-0.4999999701976776), -1);
    EXPECT_EQ(int_from_double(0.4999999701976776), 0);
    // Above 2^23 floats are whole: the positive side adds 0.5 exactly; on the
    // negative side v - 0.5 is a tie between two floats, and goes to even.
    EXPECT_EQ(int_from_double(8388609.0), 8388609);
    EXPECT_EQ(int_from_double(-8388609.0), -8388610);
    EXPECT_EQ(int_from_double(-8388610.0), -8388610);
    EXPECT_EQ(int_from_double(16777217.0), 16777216);   // not a float: ties to even
    EXPECT_EQ(int_from_double(-16777217.0), -16777216);
}

TEST(IntFromDouble, EdgesOfThe32BitRange)
{
    // 2^31 - 128 is the largest float below 2^31.
    EXPECT_EQ(int_from_double(2147483520.0), 2147483520);
    EXPECT_EQ(int_from_double(2147483583.0), 2147483520);
    // Halfway to 2^31 and above, the float is 2^31: out of range.
    EXPECT_EQ(int_from_double(2147483584.0), INT32_MIN);
    EXPECT_EQ(int_from_double(2147483647.0), INT32_MIN);
    EXPECT_EQ(int_from_double(-2147483520.0), -2147483520);
    EXPECT_EQ(int_from_double(-2147483648.0), INT32_MIN);
    EXPECT_EQ(int_from_double(-2147483700.0), INT32_MIN);
    EXPECT_EQ(int_from_double(-2147483800.0), INT32_MIN);
}

TEST(IntFromDouble, NotANumberAndHugeValuesGiveInt32Min)
{
    const double inf = std::numeric_limits<double>::infinity();
    for (double v : {std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN(),
                     inf, -inf, 1e300, -1e300, DBL_MAX, -DBL_MAX, 3.5e38, 1e39, 3e9, -3e9, 4294967296.0,
                     4294967296.0 + 0.5})
        EXPECT_EQ(int_from_double(v), INT32_MIN) << "value " << v;
}

TEST(IntFromDouble, TinyValuesGiveZero)
{
    const double denormal = std::numeric_limits<double>::denorm_min();
    for (double v : {denormal, -denormal, DBL_MIN, -DBL_MIN, 1e-40, -1e-40,
                     static_cast<double>(FLT_TRUE_MIN), -static_cast<double>(FLT_TRUE_MIN), 1e-300})
        EXPECT_EQ(int_from_double(v), 0) << "value " << v;
}

}  // namespace
