// Reads the shell's command lines: edited with libedit, with history, when
// standard input and output are a terminal; plain lines otherwise (and
// always in a build without libedit).
#pragma once

#include <string>

// False at the end of input (Ctrl-D on an empty line at a terminal).
bool read_command_line(const char *prompt, std::string *line);
