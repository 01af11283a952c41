// What the shell finds beside it: the default build of the library and the
// list of known USB ids, in the build tree or under the install prefix.
#pragma once

#include <string>
#include <vector>

// The build that sits beside the executable: the build tree's ttyUSB0 build
// when run from the build tree, else the installed one.
std::string default_library_path();

// Where the known USB ids may be, in the order tried: installed under the
// shell's prefix (share/arduinodrv), else the source tree's.
std::vector<std::string> usb_ids_candidates();
