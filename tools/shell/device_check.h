// check [DEVICE] [--no-wait]: finds out why a board does not answer, without
// the library (which would hold the port). DEVICE defaults to the one the
// build given with --library opens.
#pragma once

#include <string>
#include <vector>

bool check_command(const std::vector<std::string> &words);
