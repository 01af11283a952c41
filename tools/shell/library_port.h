// Which device a build of the library opens, read from the build itself.
#pragma once

#include <string>
#include <vector>


// The folder part of a path: "." for a bare name, "/" for one in the root.
std::string folder_of(const std::string &path);
// The last part of a path: the whole of a bare name.
std::string name_of(const std::string &path);

// The device that the build in `library_file` opens. Read from the file
// itself (the build keeps the path as a text), else from its folder
// (.../ttyUSB2/libarduinodrv.so opens /dev/ttyUSB2); "" when neither tells.
std::string port_of_build(const std::string &library_file);

// The variable through which the library takes its port at run time.
constexpr const char *port_variable = "ARDUINODRV_PORT";

// The device that the loaded library opens: ARDUINODRV_PORT when it is set
// and not empty, else the build's own (port_of_build).
std::string port_of_library(const std::string &library_file);

// Why `path` cannot be the board's port (it does not exist, is a folder or a
// regular file, or is no path the library takes), "" when it may be.
std::string port_path_problem(const std::string &path);

struct build_port {
    std::string library;
    std::string port;
};

// The builds of the same width beside `library_file` (its parent folder's
// <port>/libarduinodrv.so), this one included, with the device each opens.
std::vector<build_port> builds_beside(const std::string &library_file);
