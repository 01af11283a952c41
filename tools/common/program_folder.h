// The folder of the running program: the tools find what is installed or
// built beside them from it.
#pragma once

#include <string>

// The folder of /proc/self/exe; "." when the kernel does not say.
std::string program_folder();
