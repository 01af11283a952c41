// How the shell shows a board's answer in a message.
#pragma once

#include <string>

// The bytes for a message: quoted, line ends as \n, other control and
// non-ASCII bytes as ?, cut after 24.
std::string shown(const std::string &bytes);
