// Texts from outside (a USB device's strings, names of files) made safe to
// print: a device may name itself with anything, terminal controls included.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The length of the well-formed UTF-8 sequence at text[at] (1 to 4), 0 when
// none starts there (a stray byte, an overlong form, a surrogate).
size_t utf8_sequence_length(std::string_view text, size_t at);

// The text with each control character and each byte that is not part of
// well-formed UTF-8 replaced by '?'.
std::string printable_text(std::string_view text);
