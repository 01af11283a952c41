// ports: which serial device is the board. The USB serial devices with what
// sysfs knows of them (serial/usb_serial_devices.h: ids, the maker's strings,
// the kernel driver, the stable /dev/serial/by-id/ names), those with known
// ids marked, and how to use each.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "serial/usb_serial_devices.h"

// One line: the device, what is known of it, and how to use it.
std::string describe_device(const usb_serial_device &device);

// Prints the USB serial devices (and every ttyUSB and ttyACM whatever its
// bus) that sysfs under `root` lists, marked where their ids are known. 1
// (after a message on `err`) when there is none or they cannot be listed.
int print_ports(FILE *out, FILE *err, const std::string &root);

// ports [--root DIR]: the shell's command (--root, a fake /sys and /dev, is
// for tests).
bool ports_command(const std::vector<std::string> &words);
