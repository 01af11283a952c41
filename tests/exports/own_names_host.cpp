// A host built with -rdynamic that defines functions of the library's names
// itself. The library's own calls (csa -> sa, sad -> sa, ctitre -> stdtitre,
// cnea -> nea) must still reach the library's functions, not the host's.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>

#include "arduinodrv.h"

extern "C" {
ARDUINODRV_STDCALL int sa(int, int) noexcept { return 4242; }
ARDUINODRV_STDCALL const char *stdtitre(void) noexcept { return "the host's title"; }
ARDUINODRV_STDCALL const char *nea(int) noexcept { return "the host's label"; }
}

namespace {
int failures = 0;

void *library = nullptr;

template <typename F> F find(const char *name)
{
    void *address = dlsym(library, name);
    if (address == nullptr) {
        std::printf("FAIL: no export %s\n", name);
        std::exit(1);
    }
    return reinterpret_cast<F>(address);
}

void expect(bool ok, const char *what)
{
    if (!ok) {
        std::printf("FAIL: %s\n", what);
        ++failures;
    }
}
}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: own_names_host <libarduinodrv.so>\n");
        return 2;
    }
    library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::printf("FAIL: dlopen: %s\n", dlerror());
        return 1;
    }
    expect(find<decltype(&csa)>("csa")(0, 255) == 127, "csa(0, 255) is the library's 127");
    expect(find<decltype(&stdsa)>("stdsa")(0, 255) == 127, "stdsa(0, 255) is the library's 127");
    expect(find<decltype(&sad)>("sad")(0, 5.0) == 127.0, "sad(0, 5.0) is the library's 127.0");
    expect(std::strcmp(find<decltype(&ctitre)>("ctitre")(), "Arduino") == 0, "ctitre is the library's title");
    expect(std::strcmp(find<decltype(&cnea)>("cnea")(0), "EA0") == 0, "cnea(0) is the library's label");
    expect(std::strcmp(find<decltype(&stdnea)>("stdnea")(1), "EA1") == 0, "stdnea(1) is the library's label");
    // The host's own calls still reach the host's functions.
    expect(sa(0, 0) == 4242, "the host's sa");
    dlclose(library);
    return failures == 0 ? 0 : 1;
}
