// check against every kind of path: boards played on pseudo-terminals (one
// that answers, one that is silent, senders that are not the board), paths
// that are no serial line, a device another program holds or has claimed,
// a board behind a link of the real socat, and builds of the library that
// open another device.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "device_check.h"
#include "export_call.h"
#include "fake_board.h"
#include "library_port.h"
#include "protocol/board_line.h"
#include "serial/serial_port.h"
#include "shell.h"

namespace {

const std::string folder = TEST_DEVICE_FOLDER;
const std::string builds = folder + "/builds";

// A stand-in for a build of the library: only the device path it keeps as a
// text matters here.
std::string fake_build(const std::string &port)
{
    const std::string dir = builds + "/" + port;
    mkdir(builds.c_str(), 0755);
    mkdir(dir.c_str(), 0755);
    const std::string library = dir + "/libarduinodrv.so";
    std::ofstream(library, std::ios::binary) << std::string("\x7f" "ELF\0", 5) << folder << "/" << port
                                             << std::string(1, '\0') << folder << std::string(1, '\0');
    return library;
}

// Another program: a child that runs `body` with none of the test's
// descriptors (a fake board's master) but `keep`, killed with the case.
class other_program {
public:
    explicit other_program(const std::function<void()> &body, int keep = -1)
    {
        pid_ = fork();
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            for (int fd = 3; fd < 1024; ++fd)
                if (fd != keep)
                    close(fd);
            body();
            _exit(127);
        }
    }
    ~other_program()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    other_program(const other_program &) = delete;
    other_program &operator=(const other_program &) = delete;
    long pid() const { return pid_; }

private:
    pid_t pid_ = -1;
};

struct check_case;

class Check : public ::testing::Test {
protected:
    void SetUp() override
    {
        mkdir(folder.c_str(), 0755);
        usb0_build_ = fake_build("ttyUSB0");
        usb2_build_ = fake_build("ttyUSB2");
        set_library_path(usb0_build_);
        out_ = open_memstream(&text_, &size_);
        shell_out = out_;
        shell_err = out_;
    }
    void TearDown() override
    {
        shell_out = stdout;
        shell_err = stderr;
        set_library_path("");
        std::fclose(out_);
        std::free(text_);
    }
    std::string report()
    {
        std::fflush(out_);
        return std::string(text_, size_);
    }
    // Runs each case in a scene of its own and looks for what it says.
    void judge(const std::vector<check_case> &cases);
    void clear_report()
    {
        std::fflush(out_);
        std::rewind(out_);
        std::fflush(out_);
        size_ = 0;
    }

    std::string usb0_build_, usb2_build_;

private:
    FILE *out_ = nullptr;
    char *text_ = nullptr;
    size_t size_ = 0;
};

// Keeps what a case set up (boards, other programs, files) until the case ends.
struct scene {
    std::vector<std::unique_ptr<fake_board>> boards;
    std::vector<std::unique_ptr<other_program>> programs;
    std::vector<std::string> files;
    // A board at <folder>/<name> that answers EA0 with `reply` after `delay_ms`.
    fake_board &board(const std::string &name, const std::string &reply = "", int delay_ms = 0)
    {
        boards.push_back(std::make_unique<fake_board>(folder, name));
        if (!reply.empty())
            boards.back()->respond_with(
                [reply, delay_ms](const std::string &line) { return board_reply{line == "EA0" ? reply : "", delay_ms}; });
        return *boards.back();
    }
    // Another program holding `path` open, once it has opened it.
    void holder(const std::string &path)
    {
        int ready[2];
        if (pipe(ready) != 0)
            return;
        programs.push_back(std::make_unique<other_program>(
            [&] {
                (void)!write(ready[1], open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK) >= 0 ? "y" : "n", 1);
                for (;;)
                    pause();
            },
            ready[1]));
        char opened = 0;
        (void)!read(ready[0], &opened, 1);
        close(ready[0]);
        close(ready[1]);
    }
    // The real socat making <folder>/<name> a pty link to `behind` (a fake
    // board's device), as a user's joins one to ser2net's port; its pid, or
    // -1 when it made no link within 10 s, far more than it needs.
    long socat(const std::string &name, const std::string &behind)
    {
        const std::string link = file(name), near = "pty,link=" + link + ",raw,echo=0", far = behind + ",raw,echo=0";
        programs.push_back(std::make_unique<other_program>(
            [&] { execl(SOCAT_PROGRAM, "socat", near.c_str(), far.c_str(), static_cast<char *>(nullptr)); }));
        struct stat info {};
        for (int i = 0; i < 1000 && stat(link.c_str(), &info) != 0; ++i)
            usleep(10000);
        return stat(link.c_str(), &info) == 0 ? programs.back()->pid() : -1;
    }
    std::string file(const std::string &name)
    {
        const std::string path = folder + "/" + name;
        std::remove(path.c_str());
        files.push_back(path);
        return path;
    }
    ~scene()
    {
        for (const std::string &path : files)
            std::remove(path.c_str());
    }
};

struct check_case {
    const char *name;
    // Sets the scene; returns the arguments of check.
    std::function<std::string(scene &)> set_up;
    bool passes;
    std::vector<std::string> says;
};

void Check::judge(const std::vector<check_case> &cases)
{
    for (const check_case &c : cases) {
        SCOPED_TRACE(c.name);
        clear_report();
        {
            scene s;
            const std::string arguments = c.set_up(s);
            ASSERT_FALSE(arguments.empty());
            EXPECT_EQ(run_line("check " + arguments), c.passes);
        }
        const std::string text = report();
        for (const std::string &part : c.says)
            EXPECT_NE(text.find(part), std::string::npos) << "missing: " << part << "\n" << text;
        // A link's other end is never taken for a user of the board.
        const size_t users = text.find("  users ");
        if (users != std::string::npos) {
            EXPECT_EQ(text.substr(users, text.find('\n', users) - users).find("(socat)"), std::string::npos) << text;
        }
    }
}

// A board on `port` answering `reply`, checked without the start-up wait.
std::function<std::string(scene &)> board_on(const char *port, std::string reply, int delay_ms = 0)
{
    return [=](scene &s) {
        s.board(port, reply, delay_ms);
        return folder + "/" + port + " --no-wait";
    };
}

TEST_F(Check, JudgesEveryKindOfPath)
{
    std::string flood;
    for (int i = 0; i < 40; ++i)
        flood += "12345";
    judge({
        {"a board that answers", board_on("ttyUSB0", "512\r\n"), true,
         {"opens it", "this user may read and write it", "no other process has it open",
          "\"512\" after ", " ms, within the library's limit of 1000 ms: EA0 = 2.5 V",
          "result: the board answers; the library "}},
        {"a serial line with no board", board_on("ttyUSB0", ""), false,
         {"none within the library's limit of 1000 ms, nor in the 2000 ms after it",
          "most likely fix: try again without --no-wait"}},
        {"a sender of bytes without line end", board_on("ttyUSB0", flood), false,
         {"\"123451234512345123451234...\" without a line end: not one reading line",
          "something sends, but not the board's sketch"}},
        {"a sender of many lines", board_on("ttyUSB0", "512\r\n513\r\n"), false,
         {"more than the one reading line the library takes"}},
        {"an answer that is not a number", board_on("ttyUSB0", "hello\r\n"), false,
         {"\"hello\" after ", "not a reading (0 to 1023)"}},
        {"a number the board cannot read", board_on("ttyUSB0", "12345\r\n"), false,
         {"\"12345\" after ", "not a reading (0 to 1023)"}},
        {"a board slower than the library waits", board_on("ttyUSB0", "512\r\n", 1300), false,
         {", beyond the library's limit of 1000 ms", "the board answers too slowly"}},
        {"a missing device beside another",
         [](scene &s) {
             s.board("ttyACM3");
             return folder + "/ttyUSB0";
         },
         false, {"/ttyUSB0 does not exist", "most likely fix: the board seems to be " + folder + "/ttyACM3"}},
        {"a stale link",
         [](scene &s) {
             const std::string link = s.file("ttyUSB0");
             return symlink("/dev/pts/nonexistent-pty", link.c_str()) == 0 ? link : "";
         },
         false, {"which does not exist", "the link is stale"}},
        {"a folder", [](scene &) { return folder; }, false, {"is a folder, not a device"}},
        {"a regular file where the board should be",
         [](scene &s) {
             const std::string file = s.file("ttyUSB0");
             std::ofstream(file) << "EA0\r";
             return file;
         },
         false, {"is a regular file, not a device", "something wrote to " + folder + "/ttyUSB0 while no board was"}},
        {"a character device that is not a serial line", [](scene &) { return std::string("/dev/null"); }, false,
         {"/dev/null is a character device (1:3) but not a serial line"}},
        {"a board held by another program",
         [](scene &s) {
             s.holder(s.board("ttyUSB0", "512\r\n").link_path());
             return folder + "/ttyUSB0 --no-wait";
         },
         false, {"in use by pid ", "shell_test", "the board is in use by another program: end pid "}},
        {"a board on the port of another build", board_on("ttyUSB2", "512\r\n"), false,
         {"opens " + folder + "/ttyUSB0, not " + folder + "/ttyUSB2", "within the library's limit of 1000 ms",
          "load the build that opens it, --library " + usb2_build_}},
        {"a board on a port no build opens", board_on("ttyACM5", "512\r\n"), false,
         {"no build of the library opens " + folder + "/ttyACM5 (they open " + folder + "/ttyUSB0, " + folder +
              "/ttyUSB2)",
          "which no build opens by itself: give it to the library, arduinodrv-shell --port " + folder +
              "/ttyACM5 (a host: ARDUINODRV_PORT=" + folder + "/ttyACM5)"}},
    });
}

// A socat link to a board is a link, not another program using the board:
// socat holds the slave too, yet only a program besides it is a user. The
// board answers through it, or the verdict says where to look.
TEST_F(Check, TakesTheOtherEndOfASocatLinkForTheLinkNotAUser)
{
    if (std::string(SOCAT_PROGRAM).empty())
        GTEST_SKIP() << "socat is not installed (scripts/setup.sh installs it)";
    // socat links ttyUSB0 to a board answering `reply`; `other_user` holds the link too.
    const auto through_socat = [](const char *reply, const char *options, bool other_user = false) {
        return [=](scene &s) {
            const long socat = s.socat("ttyUSB0", s.board("behind", reply).link_path());
            if (other_user)
                s.holder(folder + "/ttyUSB0");
            return socat > 0 ? folder + "/ttyUSB0" + options : "";
        };
    };
    const std::string link = "kind         " + folder + "/ttyUSB0 is a pseudo-terminal link: pid ";
    judge({
        {"a board that answers", through_socat("512\r\n", " --no-wait"), true,
         {link, " (socat) holds its other end", "only the link's other end has it open", "\"512\" after ",
          "result: the board answers; the library "}},
        {"another program on the link", through_socat("512\r\n", " --no-wait", true), false,
         {" (socat) holds its other end", "in use by pid ", "the board is in use by another program: end pid "}},
        {"a silent board, waited for", through_socat("", ""), false,
         {" (socat) holds its other end", "2 s for the board to start, as the library waits after its open",
          "none within the library's limit of 1000 ms",
          "most likely fix: nothing answers through the link: check what pid "}},
    });
}

// A board another host has claimed (one whose process this user may not
// see: here the claim is this process's own) is in use, as the library's
// open would find it; it is not asked.
TEST_F(Check, AClaimedBoardIsInUseAndNotAsked)
{
    scene s;
    fake_board &board = s.board("ttyUSB0", "512\r\n");
    opened_port held = serial_port::open(board.link_path().c_str(), driver_line, open_options{.exclusive = true});
    ASSERT_TRUE(held.ok());
    EXPECT_FALSE(run_line("check " + board.link_path() + " --no-wait"));
    EXPECT_NE(report().find("most likely fix: the board is in use by another program (it holds the port for "
                            "itself)"),
              std::string::npos)
        << report();
    EXPECT_EQ(board.received(), "");
    held.port.close();
}

TEST_F(Check, AsksWhatTheLibraryAsksOnThePortOfTheBuildGiven)
{
    set_library_path(usb2_build_);
    scene s;
    fake_board &board = s.board("ttyUSB2", "1023\r\n");
    EXPECT_TRUE(run_line("check --no-wait"));
    EXPECT_NE(report().find("check " + folder + "/ttyUSB2\n"), std::string::npos) << report();
    EXPECT_EQ(board.received(), "EA0\r");
}

TEST(LibraryPort, TheBuildSaysWhichDeviceItOpens)
{
    const std::string usb0 = fake_build("ttyUSB0");
    EXPECT_EQ(port_of_build(usb0), folder + "/ttyUSB0");
    // A build whose file cannot be read: its folder tells.
    EXPECT_EQ(port_of_build("/usr/lib/arduinodrv/ttyACM0/no-such-library.so"), "/dev/ttyACM0");
    EXPECT_EQ(port_of_build("/nonexistent/lib/libarduinodrv.so"), "");
    fake_build("ttyUSB2");
    const std::vector<build_port> beside = builds_beside(usb0);
    ASSERT_EQ(beside.size(), 2u);
    EXPECT_EQ(beside[1].port, folder + "/ttyUSB2");
}

}  // namespace
