// Durations on the tools' command lines: one rule for the shell and the
// board emulators. A duration is a number with its unit, "ms" or "s"
// ("250ms", "0.5s", "2 s" is two words and so not one). A bare number is
// refused: it would mean milliseconds to one reader and seconds to another.
#pragma once

#include <string>

// The rule in a few words, for --help and for messages.
extern const char duration_rule[];

// Reads `text` as a duration of zero or more milliseconds (fractions kept).
// Returns "" on success, else what is wrong in words that say how to write
// it, e.g. "needs its unit: 0.5s or 0.5ms".
std::string read_duration_ms(const std::string &text, double *milliseconds);

// "18 ms", "1.5 s": a duration as messages show it.
std::string duration_text(double milliseconds);
