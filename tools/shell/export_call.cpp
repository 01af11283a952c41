#include "export_call.h"

#include <dlfcn.h>

#include "include/arduinodrv.h"
#include "installed_files.h"
#include "library_trace.h"

namespace {

std::string chosen_library;
void *library_handle = nullptr;
export_resolver active_resolver = nullptr;

// One pointer type per convention; the attribute is what makes the compiler
// leave the argument bytes to the callee (stdcall) or remove them (cdecl).
// On x86-64 the header's convention macros are empty: one convention there.
template <typename R, typename... A>
R call_stdcall(void *address, A... args)
{
    typedef R(ARDUINODRV_STDCALL * function)(A...);
    return reinterpret_cast<function>(address)(args...);
}

template <typename R, typename... A>
R call_cdecl(void *address, A... args)
{
    typedef R(ARDUINODRV_CDECL * function)(A...);
    return reinterpret_cast<function>(address)(args...);
}

template <typename R, typename... A>
R call_with(convention conv, void *address, A... args)
{
    if (conv == convention::std_call)
        return call_stdcall<R, A...>(address, args...);
    return call_cdecl<R, A...>(address, args...);
}

template <typename R>
R call_typed(const export_info &info, void *address, const call_arguments &a)
{
    const convention c = info.conv;
    switch (info.sig) {
    case signature::none: return call_with<R>(c, address);
    case signature::channel: return call_with<R, int32_t>(c, address, a.ints[0]);
    case signature::channel_real: return call_with<R, double>(c, address, a.reals[0]);
    case signature::channel_value: return call_with<R, int32_t, int32_t>(c, address, a.ints[0], a.ints[1]);
    case signature::channel_volts: return call_with<R, int32_t, double>(c, address, a.ints[0], a.reals[1]);
    case signature::real_volts:
    case signature::real_value: return call_with<R, double, double>(c, address, a.reals[0], a.reals[1]);
    }
    return R{};
}

}  // namespace

void set_library_path(const std::string &path) { chosen_library = path; }

const std::string &library_path()
{
    if (chosen_library.empty())
        chosen_library = default_library_path();
    return chosen_library;
}

bool library_loaded() { return library_handle != nullptr; }

port_state library_port_state()
{
    if (active_resolver != nullptr || library_handle == nullptr)
        return port_state::unknown;
    switch (port_at_load()) {
    case traced_port::open: return port_state::open;
    case traced_port::missing: return port_state::missing;
    case traced_port::unknown: break;
    }
    return port_state::unknown;
}

bool load_library(FILE *err)
{
    if (library_handle != nullptr)
        return true;
    const std::string &path = library_path();
    dlerror();
    trace_before_load();
    library_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    trace_after_load();
    if (library_handle == nullptr) {
        const char *why = dlerror();
        std::fprintf(err, "cannot load the library %s: %s\n  (choose a build with --library PATH)\n",
                     path.c_str(), why != nullptr ? why : "unknown error");
        return false;
    }
    return true;
}

void set_export_resolver(export_resolver resolver) { active_resolver = resolver; }

void *resolve_export(const export_info &info, FILE *err)
{
    if (active_resolver != nullptr) {
        void *address = active_resolver(info.name);
        if (address == nullptr)
            std::fprintf(err, "the library has no export %s\n", info.name);
        return address;
    }
    if (!load_library(err))
        return nullptr;
    void *address = dlsym(library_handle, info.name);
    if (address == nullptr)
        std::fprintf(err, "the library %s has no export %s\n", library_path().c_str(), info.name);
    return address;
}

call_result call_export(const export_info &info, void *address, const call_arguments &args)
{
    call_result result;
    result.kind = info.result;
    switch (info.result) {
    case result_kind::int32:
        result.integer = call_typed<int32_t>(info, address, args);
        break;
    case result_kind::real:
        result.real = call_typed<double>(info, address, args);
        break;
    case result_kind::text: {
        const char *text = call_typed<const char *>(info, address, args);
        result.text = text != nullptr ? text : "";
        break;
    }
    }
    return result;
}
