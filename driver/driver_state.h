// The driver's module-level state, set up by the load routine.
#pragma once

#include <cstdint>


// Fixed at build time (build_paths.cpp): where the candidate devices live
// ("/dev", or a folder of the build tree for the tests) and the port the
// driver opens.
extern const char *const device_folder;
extern const char *const default_port_path;

// The environment variable that names the driver's port at run time, and
// the path the load routine chose (empty when it names nothing usable).
constexpr const char *port_variable = "ARDUINODRV_PORT";
extern char port_path[];

// The outputs' read-back tables (analog_outputs.cpp, digital_outputs.cpp)
// have this many entries.
constexpr int32_t read_back_entries = 9;

// True when `channel` has an entry in the read-back tables. Stores for other
// channels are skipped and their read-backs give 0.
inline bool has_read_back_entry(int32_t channel)
{
    return channel >= 0 && channel < read_back_entries;
}
