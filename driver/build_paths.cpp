// Compiled once per build of the library: the definitions come from the build.
#include "driver_state.h"

const char *const device_folder = ARDUINODRV_DEVICE_FOLDER;
const char *const default_port_path = ARDUINODRV_DEVICE_FOLDER "/" ARDUINODRV_DEFAULT_PORT;
