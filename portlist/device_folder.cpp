// Compiled once per build of the program: the folder comes from the build.
#include "portlist/scan.h"

const char *const device_folder = PORTLIST_DEVICE_FOLDER;
