// The set-up most driver tests share: a fresh child process, a fake board on
// the test's ttyUSB0, the build of the library that opens it, loaded, and
// the request exports.
//
//   DRIVER_TEST(Suite, Name) { board.respond_with(...); EXPECT_EQ(ea(3), 512); }
//
// The body runs in the child as a member of a driver_session, so `board`,
// `driver` and the exports are there by name; the test fails when the child
// does. DRIVER_TEST_WITHIN gives the child a time limit other than 30 s.
#pragma once

#include <gtest/gtest.h>

#include "child.h"
#include "driver_loader.h"
#include "fake_board.h"

struct driver_session {
    driver_session(const char *device_folder, const char *library)
        : board(device_folder, "ttyUSB0"), driver(library)
    {
    }

    fake_board board;  // made before the load, so the load opens it
    loaded_driver driver;
    EXPORT(ea) ea = GET_EXPORT(driver, ea);
    EXPORT(ead) ead = GET_EXPORT(driver, ead);
    EXPORT(eb) eb = GET_EXPORT(driver, eb);
    EXPORT(sa) sa = GET_EXPORT(driver, sa);
    EXPORT(sad) sad = GET_EXPORT(driver, sad);
    EXPORT(sb) sb = GET_EXPORT(driver, sb);
    EXPORT(rsa) rsa = GET_EXPORT(driver, rsa);
    EXPORT(rsad) rsad = GET_EXPORT(driver, rsad);
    EXPORT(rsb) rsb = GET_EXPORT(driver, rsb);
};

template <typename Session> void run_session_in_child(int timeout_ms)
{
    const child_result child = run_in_child([] { Session().body(); }, timeout_ms);
    EXPECT_EQ(child.exit_code, 0);
}

#define DRIVER_TEST_WITHIN(suite, name, timeout_ms)                                              \
    struct suite##_##name##_session : driver_session {                                           \
        suite##_##name##_session() : driver_session(TEST_DEVICE_FOLDER, TEST_LIBRARY_USB0) {}    \
        void body();                                                                             \
    };                                                                                           \
    TEST(suite, name) { run_session_in_child<suite##_##name##_session>(timeout_ms); }            \
    void suite##_##name##_session::body()

#define DRIVER_TEST(suite, name) DRIVER_TEST_WITHIN(suite, name, 30000)
