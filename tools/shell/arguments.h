// Reading the words of a command: numbers and export arguments.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "export_call.h"

// Splits a line into commands at each ; and each command into words. Blanks
// separate words, '...' and "..." quote, and a word that starts with # starts
// a comment. False (and `error`) on an unclosed quote.
bool split_commands(const std::string &line, std::vector<std::vector<std::string>> *commands,
                    std::string *error);

// A whole decimal number within the signed 32-bit range, optional sign.
bool parse_int32(const std::string &word, int32_t *value);
// A decimal number (also 1e3, inf, nan), read the same in every locale.
bool parse_real(const std::string &word, double *value);

// Checks the count and the form of every argument before anything is called.
bool parse_export_arguments(const export_info &info, const std::vector<std::string> &words,
                            call_arguments *arguments, std::string *error);

// "sad <channel:int> <volts:double>"
std::string usage_of(const export_info &info);
