// A small file read whole, as long as it is a regular file of bounded size:
// never blocks on a fifo or a device, never grows without end. And its text
// without the whitespace around it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// True with the file's bytes in `text`; false with why in `error` (the
// system's reason, "not a regular file", "larger than N bytes").
bool read_file_text(const std::string &path, size_t limit, std::string *text, std::string *error);

// `text` without the whitespace (line ends, indentation) around it.
std::string trimmed(std::string_view text);
