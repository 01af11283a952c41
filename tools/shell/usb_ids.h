// The USB ids of the boards and of the usual USB-serial chips, read from the
// list that the udev rule is made from: a device with one of them is likely
// a board.
#pragma once

#include <string>
#include <vector>

struct usb_id {
    std::string vendor;   // 4 lowercase hex digits
    std::string product;  // 4 lowercase hex digits, or "*" for any
    std::string description;
};

using usb_id_list = std::vector<usb_id>;

// Reads a list of lines "vendor product description" ('#' starts a comment
// line, blank lines are ignored). False with `error` naming the file, and
// the line when one cannot be read.
bool read_usb_ids(const std::string &path, usb_id_list *ids, std::string *error);

// Reads the first of `candidates` that is a file; false with `error` naming
// every place tried when none is.
bool find_usb_ids(const std::vector<std::string> &candidates, usb_id_list *ids, std::string *error);

// The description of vendor:product (the exact product first, then the
// vendor's "*"), nullptr when the ids are not known. Case does not matter.
const std::string *known_usb_id(const usb_id_list &ids, const std::string &vendor, const std::string &product);
