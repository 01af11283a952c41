// Loads a build of the library as a host program does and finds its exports
// by name. Function types come from the public header, so every call carries
// the calling convention that the export's name fixes.
#pragma once

#include <dlfcn.h>
#include <stdexcept>
#include <string>

#include "arduinodrv.h"

class loaded_driver {
public:
    explicit loaded_driver(const char *path) : handle_(dlopen(path, RTLD_NOW | RTLD_LOCAL))
    {
        if (handle_ == nullptr)
            throw std::runtime_error(std::string("dlopen: ") + dlerror());
    }
    ~loaded_driver() { unload(); }
    loaded_driver(const loaded_driver &) = delete;
    loaded_driver &operator=(const loaded_driver &) = delete;

    // Runs the library's unload routine now.
    void unload()
    {
        if (handle_ != nullptr)
            dlclose(handle_);
        handle_ = nullptr;
    }

    void *symbol(const char *name) const { return dlsym(handle_, name); }

    template <typename F> F get(const char *name) const
    {
        void *address = symbol(name);
        if (address == nullptr)
            throw std::runtime_error(std::string("missing export ") + name);
        return reinterpret_cast<F>(address);
    }

private:
    void *handle_;
};

// get<EXPORT(ea)>("ea"): the pointer type of the export as the header declares it.
#define EXPORT(name) decltype(&::name)
#define GET_EXPORT(driver, name) (driver).get<EXPORT(name)>(#name)
