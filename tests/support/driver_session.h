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

// The request exports of a loaded build, by name, with the header's types.
struct request_exports {
    explicit request_exports(const loaded_driver &driver)
        : ea(GET_EXPORT(driver, ea)), ead(GET_EXPORT(driver, ead)), eb(GET_EXPORT(driver, eb)),
          sa(GET_EXPORT(driver, sa)), sad(GET_EXPORT(driver, sad)), sb(GET_EXPORT(driver, sb)),
          rsa(GET_EXPORT(driver, rsa)), rsad(GET_EXPORT(driver, rsad)), rsb(GET_EXPORT(driver, rsb))
    {
    }
    EXPORT(ea) ea;
    EXPORT(ead) ead;
    EXPORT(eb) eb;
    EXPORT(sa) sa;
    EXPORT(sad) sad;
    EXPORT(sb) sb;
    EXPORT(rsa) rsa;
    EXPORT(rsad) rsad;
    EXPORT(rsb) rsb;
};

// The board, made before the load so that the load opens it, and the build.
struct session_parts {
    session_parts(const char *device_folder, const char *library) : board(device_folder, "ttyUSB0"), driver(library)
    {
    }
    fake_board board;
    loaded_driver driver;
};

struct driver_session : session_parts, request_exports {
    driver_session(const char *device_folder, const char *library)
        : session_parts(device_folder, library), request_exports(driver)
    {
    }
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
