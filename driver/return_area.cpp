#include "return_area.h"

#include <cstring>

namespace {
// Reused from its start for every text: only the latest text must survive.
text_slot return_area;

void copy_text(text_slot &slot, const char *text, size_t length)
{
    if (length >= text_room)
        length = text_room - 1;
    std::memmove(slot.bytes, text, length);
    slot.bytes[length] = '\0';
}
}  // namespace

void store_text(text_slot &slot, const std::string &text)
{
    copy_text(slot, text.c_str(), text.size());
}

const char *hand_over_text(const std::string &text)
{
    copy_text(return_area, text.c_str(), text.size());
    return return_area.bytes;
}

const char *hand_over_text(const char *text)
{
    if (text == return_area.bytes)
        return text;
    if (text == nullptr)
        text = "";
    copy_text(return_area, text, std::strlen(text));
    return return_area.bytes;
}
