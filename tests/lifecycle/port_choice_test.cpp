// Which port the load routine opens: ARDUINODRV_PORT when set, the build's
// default otherwise, and only a terminal or a FIFO. A path that names no
// port leaves the library without one: nothing is written anywhere.
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <optional>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "child.h"
#include "driver_loader.h"
#include "fake_board.h"
#include "process_fds.h"
#include "pty_pair.h"

namespace {

constexpr int child_timeout_ms = 60000;
const std::string folder = TEST_DEVICE_FOLDER;

// Loads the build in a child with ARDUINODRV_PORT as given (nullptr: unset)
// and runs `check` with the loaded library; ttyUSB0, the build's default,
// is a board that must hear nothing unless `default_hears` says so.
void load_with_port(const char *value, const std::function<void(loaded_driver &)> &check,
                    bool default_hears = false)
{
    const child_result child = run_in_child(
        [&] {
            fake_board fallback(folder, "ttyUSB0");
            if (value == nullptr)
                unsetenv("ARDUINODRV_PORT");
            else
                ASSERT_EQ(setenv("ARDUINODRV_PORT", value, 1), 0);
            loaded_driver driver(TEST_LIBRARY_USB0);
            check(driver);
            auto sb = GET_EXPORT(driver, sb);
            EXPECT_EQ(sb(1, 1), 1);
            EXPECT_EQ(fallback.wait_received(1, 200), default_hears) << (value ? value : "(unset)");
        },
        child_timeout_ms);
    EXPECT_EQ(child.exit_code, 0) << (value ? value : "(unset)");
}

TEST(PortChoice, TheVariableNamesAnyPathElseTheDefault)
{
    // A board under a name the probe never tries, reached through a link of
    // the user's own, as /dev/serial/by-id/ names are.
    const std::string link = folder + "/by-id-usb-board-if00";
    const child_result child = run_in_child(
        [&] {
            fake_board fallback(folder, "ttyUSB0");
            fake_board board(folder, "ttyS7");
            unlink(link.c_str());
            ASSERT_EQ(symlink(board.link_path().c_str(), link.c_str()), 0);
            setenv("ARDUINODRV_PORT", link.c_str(), 1);
            {
                loaded_driver driver(TEST_LIBRARY_USB0);
                EXPECT_EQ(GET_EXPORT(driver, sb)(2, 1), 1);
                ASSERT_TRUE(board.wait_received(5, 2000));
                EXPECT_EQ(board.received(), "SBC1\r");
            }
            // The pty's own name, not a link, works as well.
            board.clear_received();
            setenv("ARDUINODRV_PORT", board.slave_path().c_str(), 1);
            {
                loaded_driver driver(TEST_LIBRARY_USB0);
                EXPECT_EQ(GET_EXPORT(driver, sb)(3, 0), 0);
                ASSERT_TRUE(board.wait_received(5, 2000));
                EXPECT_EQ(board.received(), "SBD0\r");
            }
            EXPECT_EQ(fallback.received(), "");
            unlink(link.c_str());
        },
        child_timeout_ms);
    EXPECT_EQ(child.exit_code, 0);

    // Unset or empty: the build's default, as before.
    load_with_port(nullptr, [](loaded_driver &) {}, true);
    load_with_port("", [](loaded_driver &) {}, true);
}

TEST(PortChoice, AFifoIsAPort)
{
    const std::string fifo = folder + "/fifo";
    unlink(fifo.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    load_with_port(fifo.c_str(), [&](loaded_driver &driver) {
        const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        ASSERT_GE(reader, 0);
        EXPECT_EQ(GET_EXPORT(driver, sb)(0, 1), 1);
        char line[16] = {};
        EXPECT_EQ(read(reader, line, sizeof line - 1), 5);
        EXPECT_STREQ(line, "SBA1\r");
        close(reader);
    });
    unlink(fifo.c_str());
}

// What is no port: the library stays without one, its requests give their
// neutral results in their usual time, and the path is left as it was.
TEST(PortChoice, WhatIsNoPortIsNeverWritten)
{
    const std::string file = folder + "/ttyUSB9";
    const std::string dir = folder + "/ttyUSB8";
    const std::string missing = folder + "/ttyUSB7";
    const std::string board_name = folder + "/ttyUSB0";
    const std::string too_long = "/" + std::string(PATH_MAX + 10, 'a');
    const std::string with_tab = folder + "/tty\tUSB0";
    const std::string with_newline = board_name + "\n";
    for (const std::string *path : {&file, &dir, &missing, &too_long, &with_tab, &with_newline}) {
        unlink(file.c_str());
        rmdir(dir.c_str());
        unlink(missing.c_str());
        const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, "600\r\n", 5), 5);
        close(fd);
        ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);

        load_with_port(path->c_str(), [&](loaded_driver &driver) {
            const auto start = std::chrono::steady_clock::now();
            EXPECT_EQ(GET_EXPORT(driver, ea)(0), 0);  // the file's "600" is no answer
            EXPECT_EQ(GET_EXPORT(driver, eb)(0), 0);
            EXPECT_EQ(GET_EXPORT(driver, sa)(0, 100), 50);
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        });
        struct stat info {};
        ASSERT_EQ(stat(file.c_str(), &info), 0);
        EXPECT_EQ(info.st_size, 5) << "written through " << path->substr(0, 80);
        EXPECT_NE(access(missing.c_str(), F_OK), 0) << "made by " << path->substr(0, 80);
    }
    unlink(file.c_str());
    rmdir(dir.c_str());

    // /dev/null takes every byte and answers nothing: a device, but no port.
    load_with_port("/dev/null", [](loaded_driver &driver) {
        EXPECT_EQ(GET_EXPORT(driver, eb)(0), 0);
    });
}

}  // namespace

// A device that comes and goes every few milliseconds (a loose plug): each
// request stays within its bound, nothing crashes, and once the device has
// gone for good the library holds no descriptor more than before.
TEST(PortChoice, ADeviceThatComesAndGoesEveryFewMilliseconds)
{
    const std::string link = folder + "/ttyFLAP";
    const child_result child = run_in_child(
        [&] {
            unlink(link.c_str());
            ASSERT_EQ(setenv("ARDUINODRV_PORT", link.c_str(), 1), 0);
            const std::set<int> before = open_fds();
            // Another process flaps it: no thread beside the library's calls.
            const pid_t flapper = fork();
            ASSERT_GE(flapper, 0);
            if (flapper == 0) {
                const auto start = std::chrono::steady_clock::now();
                while (std::chrono::steady_clock::now() - start < std::chrono::seconds(4)) {
                    {
                        pty_pair device;
                        (void)symlink(device.path.c_str(), link.c_str());
                        usleep(3000);
                        unlink(link.c_str());
                    }  // closed: a hang-up for whoever opened it
                    usleep(2000);
                }
                _exit(0);
            }
            {
                loaded_driver driver(TEST_LIBRARY_USB0);
                auto ea = GET_EXPORT(driver, ea);
                auto eb = GET_EXPORT(driver, eb);
                auto sb = GET_EXPORT(driver, sb);
                int status = 0;
                for (int call = 0; waitpid(flapper, &status, WNOHANG) == 0; ++call) {
                    const auto start = std::chrono::steady_clock::now();
                    EXPECT_EQ(call % 3 == 0 ? ea(call % 6) : call % 3 == 1 ? eb(call % 4) : sb(0, 1) - 1, 0);
                    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3500 * 2));
                }
                EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
                EXPECT_EQ(ea(0), 0);  // sees the last one gone, if it had it open
                EXPECT_EQ(open_fds(), before) << "a descriptor of a gone device stayed open";
            }
            EXPECT_EQ(open_fds(), before);
        },
        child_timeout_ms);
    EXPECT_EQ(child.exit_code, 0);
}
