// How the shell writes results: numbers as short as they can be read back,
// the library's Latin-1 texts in the terminal's encoding.
#pragma once

#include <string>

#include "export_call.h"

enum class text_encoding { utf8, latin1 };

// The encoding that the locale (LC_CTYPE) asks for. Latin-1 only when the
// locale says so; otherwise UTF-8, which is what terminals show today (the C
// locale says nothing about bytes above 127).
text_encoding encoding_from_locale();

std::string latin1_to_encoding(const std::string &latin1, text_encoding encoding);

// Shortest decimal text that reads back as the same double: 2.5, 64, -0.0244140625.
std::string real_text(double value);

// The result as the shell prints it, without line end.
std::string result_text(const call_result &result, text_encoding encoding);

// Durations and times: "1.250" seconds.
std::string seconds_text(int64_t milliseconds);
