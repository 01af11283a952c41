// The scan of the candidate serial devices.
#pragma once

#include <string>

// Folder of the candidate devices, fixed by the build: /dev for the real
// program, a folder of the build tree for the test build.
extern const char *const device_folder;

// Tries ttyUSB0 to ttyUSB20, then ttyACM0 to ttyACM20, and prints each one
// that opens. found_ports gets "|" and the path of each, last_port the path
// of the last one.
void scan_candidates(std::string &found_ports, std::string &last_port);
