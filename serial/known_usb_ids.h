// The USB ids of the boards and of the usual USB-serial chips they carry: a
// serial device with one of them is likely a board. The table is made from
// board/usb_ids.txt when the build is configured (cmake/usb_ids.cmake), the
// list the udev rule is made from too, so programs need no file at run time.
#pragma once

#include <span>
#include <string_view>

struct known_usb_id {
    const char *vendor;       // 4 lowercase hex digits
    const char *product;      // 4 lowercase hex digits, or "*" for any of the vendor's
    const char *description;  // "CH340 USB-serial chip", printable ASCII
};

// In the list's order.
extern const std::span<const known_usb_id> known_usb_ids;

// The entry for vendor:product: the exact product first, else the vendor's
// "*"; a later line of the list overrides an earlier one for the same ids.
// Null when the ids are not known. Case does not matter; an empty product
// (one sysfs did not give) matches only "*".
const known_usb_id *known_usb_id_of(std::string_view vendor, std::string_view product) noexcept;
