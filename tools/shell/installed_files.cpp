#include "installed_files.h"

#include "program_folder.h"

std::string default_library_path()
{
    const std::string folder = program_folder();
    if (folder == ARDUINODRV_SHELL_BUILD_FOLDER)
        return ARDUINODRV_SHELL_BUILD_LIBRARY;
    return folder + "/" + ARDUINODRV_SHELL_INSTALLED_LIBRARY;
}
