// check [DEVICE] [--no-wait]: finds out why a board does not answer, without
// the library (which would hold the port).
#pragma once

#include <string>
#include <vector>

bool check_command(const std::vector<std::string> &words);

// The device that the chosen library build opens, guessed from its folder
// (builds are installed as .../ttyUSB0/ and .../ttyUSB2/): /dev/ttyUSB0 else.
std::string default_check_device(const std::string &library);
