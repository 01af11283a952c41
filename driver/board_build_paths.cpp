// Compiled once per build of libarduinoboard: the definition comes from the build.
#include "board_open.h"

const char *const board_system_root = ARDUINOBOARD_SYSTEM_ROOT;
