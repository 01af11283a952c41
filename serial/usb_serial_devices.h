// The serial devices of the system as sysfs lists them, with what it knows of
// the USB device each sits on, and among them the likely boards: the devices
// whose USB ids are known (known_usb_ids.h).
//
// ROOT: every function takes the folder that holds sys/ and dev/: "", "/" or
// null for the system's own, a folder of fake ones in tests.
// ERRORS: no function throws; a listing carries the errno that stopped it.
// BOUNDS: an attribute is read only up to a page (all that sysfs gives), only
// from a regular file that is no link, so a device node or fifo planted in
// the tree is never opened; links are resolved by the system, which stops at
// a loop (the tty is then left out).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "known_usb_ids.h"

struct usb_serial_device {
    std::string name;  // ttyACM0
    std::string path;  // <root>/dev/ttyACM0
    bool on_usb = false;  // its device lies on a USB device (a folder with idVendor)
    // Of that USB device, "" where sysfs gives nothing usable (a device half
    // there, or one going away).
    std::string vendor, product;              // 4 lowercase hex digits
    std::string maker, product_name, serial;  // its own strings, as it gives them: any bytes
    // The kernel driver of the USB interface (cdc_acm, ch341, ftdi_sio,
    // cp210x), else of the tty's device; "" when none.
    std::string driver;
    // The names of the links in <root>/dev/serial/by-id/ that lead to it, in
    // byte order: its stable names, which survive replugging.
    std::vector<std::string> by_id;
    // Its ids' entry in known_usb_ids (the exact product, else the vendor's
    // "*"), null when they are not known or it is on no USB device.
    const known_usb_id *known = nullptr;
};

struct usb_serial_listing {
    std::vector<usb_serial_device> devices;  // in natural order: ttyUSB2 before ttyUSB10
    // 0, or why the listing is empty: ENOMEM, or the system's error for
    // <root>/sys/class/tty (ENOENT where there is no sysfs).
    int error = 0;
};

// Every tty of <root>/sys/class/tty with a device behind it: consoles and
// pseudo-terminals have none and are left out; the machine's own UARTs
// (ttyS0, on_usb false) are in.
usb_serial_listing serial_devices(const char *root) noexcept;

// The devices on USB whose ids are known: where a board is likely to be.
// None, one, or several to name to the user (name_devices).
usb_serial_listing likely_board_devices(const char *root) noexcept;

// Writes the devices' paths into `text` (`size` bytes, NUL included) for a
// message, "/dev/ttyACM0, /dev/ttyUSB0"; the paths that do not fit give way
// to ", ..." (or "..." alone), never a path cut in two. Nothing when size is 0.
void name_devices(const std::vector<usb_serial_device> &devices, char *text, size_t size) noexcept;
