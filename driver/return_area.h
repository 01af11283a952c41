// Texts handed to the host live in one library-wide return area and stay
// valid until the host's next call.
#pragma once

#include <string>

// Copies `text` into the return area and gives the copy's address (never null).
const char *hand_over_text(const std::string &text);

// Hands over a text received from another export; a text that already is the
// current content of the return area is passed on as it is.
const char *hand_over_text(const char *text);
