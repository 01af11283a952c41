// A host may still call the library from its own exit handlers: those run
// after the library's C++ objects would have been destroyed.
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

#include "child.h"
#include "driver_loader.h"

namespace {

EXPORT(nea) exit_nea = nullptr;
EXPORT(detail) exit_detail = nullptr;

void call_at_exit()
{
    const std::string label = exit_nea(2);  // a text lives until the next call
    std::printf("[%s|%s]", label.c_str(), exit_detail());
    std::fflush(stdout);
}

TEST(ExitHandlers, TextsStillWorkWhileTheProcessEnds)
{
    const child_result child = run_in_child(
        [] {
            std::atexit(call_at_exit);  // registered before the library loads
            // Kept loaded to the end, as a host that never unloads it.
            const loaded_driver &driver = *new loaded_driver(TEST_LIBRARY_USB0);
            exit_nea = GET_EXPORT(driver, nea);
            exit_detail = GET_EXPORT(driver, detail);
            // A long text before the end, so the texts own heap memory that a
            // destroyed object would already have given back.
            GET_EXPORT(driver, stddetail)();
            std::exit(0);
        },
        30000, true);
    EXPECT_EQ(child.exit_code, 0);
    EXPECT_EQ(child.out, "[EA2|Pilote pour Arduino en , par Tervalique, le 15 ao\xFBt 2012]");
}

}  // namespace
