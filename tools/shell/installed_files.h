// What the shell finds beside it: the default build of the library, in the
// build tree or under the install prefix.
#pragma once

#include <string>

// The build that sits beside the executable: the build tree's ttyUSB0 build
// when run from the build tree, else the installed one.
std::string default_library_path();
