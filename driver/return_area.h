// Texts handed to the host live in one library-wide return area and stay
// valid until the host's next call.
#pragma once

#include <cstddef>
#include <string>

// Room of every text of the library; its longest, the description, takes
// under 60 bytes. Fixed storage: it lives as long as the library's image,
// so texts still work from a host's exit handlers, and loading and
// unloading the library again and again allocates nothing.
constexpr size_t text_room = 128;

// A text kept by the library (a label function's last text).
struct text_slot {
    char bytes[text_room];
};

// Copies `text` into the slot (cut to its room, which no text reaches).
void store_text(text_slot &slot, const std::string &text);

// Copies `text` into the return area and gives the copy's address (never null).
const char *hand_over_text(const std::string &text);

// Hands over a text received from another export; a text that already is the
// current content of the return area is passed on as it is.
const char *hand_over_text(const char *text);
