// Conversions between numbers and the byte texts of the board's protocol.
#pragma once

#include <cstdint>
#include <string>

std::string decimal_text(int64_t value);
std::string unsigned_decimal_text(uint64_t value);

// The one character whose byte is the low 8 bits of `code`. A text never
// holds a zero byte, so a code whose low byte is 0 gives the empty text.
std::string char_text(int32_t code);

// Leading blanks (spaces, tabs), one sign, then "$" hex, "%" binary or
// decimal digits up to the first non-digit. Wraps modulo 2^64; null or no
// digits give 0.
int64_t parse_integer(const char *text);

// Removes the spaces (and only spaces) at both ends.
std::string trim_spaces(const std::string &text);

// Narrows to single precision, rounds halves away from zero, and gives
// INT32_MIN for NaN and for anything outside the signed 32-bit range.
int32_t int_from_double(double value);
