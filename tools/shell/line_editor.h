// Reads the shell's command lines: with simple editing and history when
// standard input is a terminal, plain lines otherwise.
#pragma once

#include <string>

// False at the end of input (Ctrl-D on an empty line at a terminal).
bool read_command_line(const char *prompt, std::string *line);
