#include "known_usb_ids.h"

#include <algorithm>

namespace {

bool same_id(std::string_view a, std::string_view b)
{
    const auto lower = [](char ch) { return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

}  // namespace

const known_usb_id *known_usb_id_of(std::string_view vendor, std::string_view product) noexcept
{
    for (const bool any : {false, true})
        for (auto id = known_usb_ids.rbegin(); id != known_usb_ids.rend(); ++id)
            if (same_id(id->vendor, vendor) && (any ? std::string_view(id->product) == "*" : same_id(id->product, product)))
                return &*id;
    return nullptr;
}
