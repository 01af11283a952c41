// A host program in C++ that loads the library at run time and takes the
// exports by name, typed from the header.
#include <cstdio>
#include <cstring>
#include <dlfcn.h>

#include "arduinodrv.h"

#if defined(HOST_DEFINES_LIBRARY_NAMES)
// Built once more with -rdynamic, the host defines functions of the
// library's names itself: the library's own calls (csa -> sa, sad -> sa,
// ctitre -> stdtitre, cnea -> nea) must still reach the library's functions.
extern "C" {
ARDUINODRV_STDCALL int sa(int, int) noexcept { return 4242; }
ARDUINODRV_STDCALL const char *stdtitre(void) noexcept { return "the host's title"; }
ARDUINODRV_STDCALL const char *nea(int) noexcept { return "the host's label"; }
}
#endif

namespace {
int failures = 0;

template <typename F> F find(void *library, const char *name)
{
    void *address = dlsym(library, name);
    if (address == nullptr) {
        std::printf("FAIL: no export %s\n", name);
        ++failures;
    }
    return reinterpret_cast<F>(address);
}

void expect_text(const char *what, const char *got, const char *expected)
{
    if (got == nullptr || std::strcmp(got, expected) != 0) {
        std::printf("FAIL: %s gave [%s], expected [%s]\n", what, got == nullptr ? "(null)" : got, expected);
        ++failures;
    }
}
}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: dlsym_host <libarduinodrv.so>\n");
        return 2;
    }
    void *library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::printf("FAIL: dlopen: %s\n", dlerror());
        return 1;
    }
    auto titre_fn = find<decltype(&titre)>(library, "titre");
    auto stddetail_fn = find<decltype(&stddetail)>(library, "stddetail");
    auto cnead_fn = find<decltype(&cnead)>(library, "cnead");
    auto sadouble_fn = find<decltype(&sadouble)>(library, "sadouble");
    auto rsad_fn = find<decltype(&rsad)>(library, "rsad");
    auto stdrsbdouble_fn = find<decltype(&stdrsbdouble)>(library, "stdrsbdouble");
    auto csb_fn = find<decltype(&csb)>(library, "csb");
    if (failures != 0)
        return 1;
    expect_text("titre()", titre_fn(), "Arduino en ");
    expect_text("stddetail()", stddetail_fn(), "Arduino 2009, par Tervalique, le 23 f\xE9vrier 2011");
    expect_text("cnead(5)", cnead_fn(5), "EA5 (V)");
    sadouble_fn(1.4, 3.75);
    if (rsad_fn(1) != 3.75) {
        std::printf("FAIL: rsad(1) after sadouble(1.4, 3.75) gave %g\n", rsad_fn(1));
        ++failures;
    }
    csb_fn(2, 1);
    if (stdrsbdouble_fn(2.0) != 1.0) {
        std::printf("FAIL: stdrsbdouble(2.0) after csb(2, 1) gave %g\n", stdrsbdouble_fn(2.0));
        ++failures;
    }
#if defined(HOST_DEFINES_LIBRARY_NAMES)
    if (find<decltype(&csa)>(library, "csa")(0, 255) != 127 || find<decltype(&stdsa)>(library, "stdsa")(0, 255) != 127 ||
        find<decltype(&sad)>(library, "sad")(0, 5.0) != 127.0) {
        std::printf("FAIL: csa, stdsa or sad reached the host's sa\n");
        ++failures;
    }
    expect_text("ctitre()", find<decltype(&ctitre)>(library, "ctitre")(), "Arduino");
    expect_text("cnea(0)", find<decltype(&cnea)>(library, "cnea")(0), "EA0");
    expect_text("stdnea(1)", find<decltype(&stdnea)>(library, "stdnea")(1), "EA1");
    if (sa(0, 0) != 4242) {
        std::printf("FAIL: the host's own call of sa left the host\n");
        ++failures;
    }
#endif
    dlclose(library);
    std::printf("%s\n", failures == 0 ? "ok" : "failed");
    return failures == 0 ? 0 : 1;
}
