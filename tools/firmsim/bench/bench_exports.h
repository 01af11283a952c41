// The 71 exports' library for one turn of a benchmark: its load opens its
// port (ARDUINODRV_PORT) and waits for the board's start, its unload closes
// the port, so that the next turn's board object can claim the device.
#pragma once

#include <cstdio>
#include <dlfcn.h>

// The library loaded from `path`, or nullptr (and why on stderr).
inline void *load_exports(const char *path)
{
    void *library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr)
        std::fprintf(stderr, "board_bench: %s\n", dlerror());
    return library;
}

// An export by name, as the header declares it: export_of<decltype(&::ea)>.
template <typename Function>
Function export_of(void *library, const char *name)
{
    return reinterpret_cast<Function>(dlsym(library, name));
}

// Unloads it; false (and why on stderr) when it stayed loaded, its port open.
inline bool unload_exports(void *library, const char *path)
{
    dlclose(library);
    if (void *kept = dlopen(path, RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD)) {
        dlclose(kept);
        std::fprintf(stderr, "board_bench: the 71 exports' library stayed loaded, its port open\n");
        return false;
    }
    return true;
}
