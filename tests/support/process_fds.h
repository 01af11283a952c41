// The descriptors this process holds, to see that nothing was left open.
#pragma once

#include <set>

// Descriptors open in this process, without the one that lists them.
std::set<int> open_fds();
