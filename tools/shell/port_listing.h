// ports: which serial device is the board. The USB serial devices with what
// sysfs knows of them (ids, the maker's strings, the kernel driver, the
// stable /dev/serial/by-id/ names), those with known ids marked, and how to
// use each.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "usb_ids.h"

struct serial_device {
    std::string name;    // ttyACM0
    std::string device;  // /dev/ttyACM0
    std::vector<std::string> by_id;  // /dev/serial/by-id/... links to it
    // What sysfs says, "" where it says nothing.
    std::string vendor, product;  // 4 hex digits each
    std::string maker, product_name, serial;
    std::string driver;  // cdc_acm, ch341, ftdi_sio, cp210x...
    std::string known;   // the description of its known ids, "" if not known
};

// The USB serial devices (and every ttyUSB and ttyACM whatever its bus) that
// sysfs under `root` lists, in name order (ttyUSB2 before ttyUSB10); the
// machine's own UARTs, consoles and pseudo-terminals are left out.
std::vector<serial_device> list_serial_devices(const std::string &root, const usb_id_list &known);

// One line: the device, what is known of it, and how to use it.
std::string describe_device(const serial_device &device);

// Prints the list under `root`, marked with the first list of known ids
// found among `usb_ids`. 1 (after a message on `err`) when there is no serial
// device or the known ids cannot be read (the list is printed unmarked).
int print_ports(FILE *out, FILE *err, const std::string &root, const std::vector<std::string> &usb_ids);

// ports [--root DIR]: the shell's command (--root, a fake /sys and /dev, is
// for tests).
bool ports_command(const std::vector<std::string> &words);
