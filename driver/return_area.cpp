#include "return_area.h"

namespace {
// Reused from its start for every text: only the latest text must survive,
// so the area never grows beyond the longest text handed over. Never
// destroyed, so that a host may still call the library from its exit handlers.
std::string &return_area = *new std::string;
}  // namespace

const char *hand_over_text(const std::string &text)
{
    return_area.assign(text);
    return return_area.c_str();
}

const char *hand_over_text(const char *text)
{
    if (text == return_area.c_str())
        return text;
    return_area.assign(text == nullptr ? "" : text);
    return return_area.c_str();
}
