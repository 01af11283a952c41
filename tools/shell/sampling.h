// record and watch: the same export called again and again on a schedule.
#pragma once

#include <string>
#include <vector>

// record EXPORT ARGS... [--every 100ms] [--count 10] [--out FILE]
bool record_command(const std::vector<std::string> &words);
// watch EXPORT ARGS... [--every 200ms] [--count N]
bool watch_command(const std::vector<std::string> &words);
