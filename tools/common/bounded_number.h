// A whole decimal number within bounds, as the tools take one on their
// command lines and in their commands: digits with an optional leading '-',
// nothing before or after.
#pragma once

#include <string>

// Parses `text` as a whole number within [low, high]; false for anything else.
bool parse_bounded(const std::string &text, long low, long high, long &value);
