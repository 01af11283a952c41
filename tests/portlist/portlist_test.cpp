// Runs the test build of portlist as a child process, with devices made as
// links to pseudo-terminals in its device folder.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "fake_board.h"
#include "pty_pair.h"

namespace {

const std::string folder = TEST_DEVICE_FOLDER;
const std::string prompt = "Appuyez sur Entr\xE9" "e\n";
// Emulated start-up can be slow on a busy machine; these only bound a hang.
constexpr int patience_ms = 30000;

std::string listing(const std::vector<std::string> &devices, const std::string &last)
{
    std::string out, total;
    for (const std::string &name : devices) {
        out += folder + "/" + name + "\n";
        total += "|" + folder + "/" + name;
    }
    return out + "total : " + total + "\ndernier port : " + last + "\n" + prompt;
}

void clear_device_folder()
{
    // The 64-bit form: offsets of a 64-bit file system overflow the other.
    DIR *dir = opendir(folder.c_str());
    ASSERT_NE(dir, nullptr);
    while (dirent64 *entry = readdir64(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            const std::string path = folder + "/" + name;
            if (unlink(path.c_str()) != 0)
                rmdir(path.c_str());
        }
    }
    closedir(dir);
}

// Starts the program with the given standard input (-1: closed) and output,
// and its standard error too when stderr_fd is given.
pid_t start_portlist(int stdin_fd, int stdout_fd, const std::vector<std::string> &args = {}, int stderr_fd = -1)
{
    std::vector<std::string> words;
    if (std::strlen(I386_RUNNER) > 0)
        words.push_back(I386_RUNNER);
    words.push_back(PORTLIST_PROGRAM);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(stdout_fd, 1);
        if (stderr_fd >= 0)
            dup2(stderr_fd, 2);
        if (stdin_fd < 0)
            close(0);
        else
            dup2(stdin_fd, 0);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// The wait status, or nothing when the child still runs after timeout_ms.
std::optional<int> wait_exit(pid_t pid, int timeout_ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) != pid) {
        if (std::chrono::steady_clock::now() > deadline)
            return std::nullopt;
        usleep(5000);
    }
    return status;
}

void kill_if_running(pid_t pid)
{
    if (!wait_exit(pid, 0)) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

// Reads fd into `out` until `needle` is in it (or, with an empty needle,
// until end of file). False on timeout.
bool read_until(int fd, std::string &out, const std::string &needle, int timeout_ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (needle.empty() || out.find(needle) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now()).count();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0)
            return false;
        char buffer[4096];
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0)
            return needle.empty();
        out.append(buffer, static_cast<size_t>(got));
    }
    return true;
}

struct run_result {
    std::string out;
    std::string err;
    std::optional<int> status;
};

// A whole run: standard output and error read to their end, the exit waited
// for.
run_result run_portlist(int stdin_fd, const std::vector<std::string> &args = {})
{
    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0)
        return {};
    if (pipe2(err_pipe, O_CLOEXEC) != 0) {
        close(out_pipe[0]);
        close(out_pipe[1]);
        return {};
    }
    const pid_t pid = start_portlist(stdin_fd, out_pipe[1], args, err_pipe[1]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    run_result result;
    read_until(out_pipe[0], result.out, "", patience_ms);
    read_until(err_pipe[0], result.err, "", patience_ms);
    close(out_pipe[0]);
    close(err_pipe[0]);
    result.status = wait_exit(pid, patience_ms);
    kill_if_running(pid);
    return result;
}

// Standard input redirected from an empty file.
run_result run_with_empty_stdin(const std::vector<std::string> &args = {})
{
    FILE *empty = std::tmpfile();
    run_result result = run_portlist(fileno(empty), args);
    std::fclose(empty);
    return result;
}

bool exited_zero(const std::optional<int> &status)
{
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
}

// Fills a pipe so that the next write to it blocks until the test reads.
size_t fill_pipe(int fd)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    size_t filled = 0;
    const char filler[4096] = {};
    for (size_t chunk : {sizeof filler, size_t{1}})
        for (ssize_t put; (put = write(fd, filler, chunk)) > 0;)
            filled += static_cast<size_t>(put);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return filled;
}

bool same_settings(const termios &a, const termios &b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

class PortlistTest : public ::testing::Test {
protected:
    void SetUp() override { clear_device_folder(); }
    void TearDown() override { clear_device_folder(); }
};

TEST_F(PortlistTest, NoDeviceGivesTheThreeLinesAndEndsAtOnceWithoutInput)
{
    // Words that are not options are ignored.
    run_result empty_file = run_with_empty_stdin({"ttyUSB0", "-"});
    EXPECT_EQ(empty_file.out, "total : \ndernier port : \n" + prompt);
    EXPECT_EQ(empty_file.err, "");
    EXPECT_TRUE(exited_zero(empty_file.status));

    run_result closed = run_portlist(-1);
    EXPECT_EQ(closed.out, listing({}, ""));
    EXPECT_TRUE(exited_zero(closed.status));
}

TEST_F(PortlistTest, HelpTellsTheUseWithoutScanningAndAnUnknownOptionIsRefused)
{
    fake_board usb0(folder, "ttyUSB0");
    // Standard input a pipe that never ends: a run that scanned would wait
    // for Enter until the test gives up.
    int in_pipe[2];
    ASSERT_EQ(pipe2(in_pipe, O_CLOEXEC), 0);
    for (const char *help : {"--help", "-h"}) {
        const run_result run = run_portlist(in_pipe[0], {"ttyACM0", help});
        EXPECT_TRUE(exited_zero(run.status)) << help;
        EXPECT_EQ(run.out.rfind("usage: portlist [--help]\n", 0), 0u) << run.out;
        EXPECT_NE(run.out.find(folder + "/ttyUSB0 to ttyUSB20"), std::string::npos) << run.out;
        EXPECT_EQ(run.out.find("Appuyez"), std::string::npos) << help;
        EXPECT_EQ(run.err, "") << help;
    }
    for (const char *unknown : {"--list", "-x"}) {
        const run_result run = run_portlist(in_pipe[0], {unknown});
        ASSERT_TRUE(run.status.has_value()) << unknown;
        EXPECT_TRUE(WIFEXITED(*run.status) && WEXITSTATUS(*run.status) == 2) << unknown;
        EXPECT_EQ(run.out, "") << unknown;
        EXPECT_EQ(run.err.rfind("portlist: unknown option " + std::string(unknown) + "\nusage: portlist", 0), 0u)
            << run.err;
    }
    close(in_pipe[0]);
    close(in_pipe[1]);
}

TEST_F(PortlistTest, OutputToAReaderThatWentAwayStillEndsWithZero)
{
    int out_pipe[2];
    ASSERT_EQ(pipe2(out_pipe, O_CLOEXEC), 0);
    close(out_pipe[0]);
    const pid_t pid = start_portlist(-1, out_pipe[1]);
    close(out_pipe[1]);
    EXPECT_TRUE(exited_zero(wait_exit(pid, patience_ms)));
    kill_if_running(pid);
}

TEST_F(PortlistTest, ListsTheDevicesThatOpenInCandidateOrder)
{
    fake_board acm1(folder, "ttyACM1");
    fake_board usb0(folder, "ttyUSB0");
    EXPECT_EQ(run_with_empty_stdin().out,
              listing({"ttyUSB0", "ttyACM1"}, folder + "/ttyACM1"));
}

TEST_F(PortlistTest, LastPortIsTheLastThatOpenedNotTheLastTried)
{
    fake_board usb3(folder, "ttyUSB3");
    EXPECT_EQ(run_with_empty_stdin().out, listing({"ttyUSB3"}, folder + "/ttyUSB3"));
}

TEST_F(PortlistTest, TriesIndexesZeroToTwentyInNumericOrder)
{
    fake_board board(folder, "ttyUSB10");
    for (const char *name : {"ttyUSB2", "ttyUSB20", "ttyACM20", "ttyUSB21", "ttyACM21", "ttyUSB02", "ttyUSB"})
        ASSERT_EQ(symlink(board.slave_path().c_str(), (folder + "/" + name).c_str()), 0);
    EXPECT_EQ(run_with_empty_stdin().out,
              listing({"ttyUSB2", "ttyUSB10", "ttyUSB20", "ttyACM20"}, folder + "/ttyACM20"));
}

TEST_F(PortlistTest, SkipsDevicesThatCannotBeOpened)
{
    fake_board usb2(folder, "ttyUSB2");
    // A directory and a dangling link exist but never open, even for root.
    ASSERT_EQ(mkdir((folder + "/ttyUSB0").c_str(), 0755), 0);
    ASSERT_EQ(symlink("/nonexistent/tty", (folder + "/ttyUSB1").c_str()), 0);
    if (geteuid() != 0) {
        const std::string locked = folder + "/ttyUSB3";
        std::fclose(std::fopen(locked.c_str(), "w"));
        ASSERT_EQ(chmod(locked.c_str(), 0), 0);
    }
    EXPECT_EQ(run_with_empty_stdin().out, listing({"ttyUSB2"}, folder + "/ttyUSB2"));
}

TEST_F(PortlistTest, LeavesTheLineSettingsAndPendingInputOfADeviceAlone)
{
    fake_board usb0(folder, "ttyUSB0");
    termios before{};
    ASSERT_EQ(tcgetattr(usb0.slave_fd(), &before), 0);
    cfsetspeed(&before, B9600);
    ASSERT_EQ(tcsetattr(usb0.slave_fd(), TCSANOW, &before), 0);
    ASSERT_EQ(tcgetattr(usb0.slave_fd(), &before), 0);
    usb0.send("pending");
    int waiting = 0;
    for (int tries = 0; tries < 200 && waiting < 7; ++tries, usleep(5000))
        ioctl(usb0.slave_fd(), FIONREAD, &waiting);
    ASSERT_EQ(waiting, 7);

    EXPECT_EQ(run_with_empty_stdin().out, listing({"ttyUSB0"}, folder + "/ttyUSB0"));
    termios after{};
    ASSERT_EQ(tcgetattr(usb0.slave_fd(), &after), 0);
    EXPECT_TRUE(same_settings(before, after));
    EXPECT_EQ(cfgetospeed(&after), B9600);
    ioctl(usb0.slave_fd(), FIONREAD, &waiting);
    EXPECT_EQ(waiting, 7);
}

TEST_F(PortlistTest, WithAPipeAsInputWaitsForALineFeedOfAnyLength)
{
    int in_pipe[2], out_pipe[2];
    ASSERT_EQ(pipe2(in_pipe, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(out_pipe, O_CLOEXEC), 0);
    const pid_t pid = start_portlist(in_pipe[0], out_pipe[1]);
    close(in_pipe[0]);
    close(out_pipe[1]);
    std::string out;
    EXPECT_TRUE(read_until(out_pipe[0], out, prompt, patience_ms));
    usleep(300000);
    EXPECT_FALSE(wait_exit(pid, 0)) << "ended before a line feed came";

    // A long line without its end: still waiting, and it reads as it goes.
    const std::string line(200000, 'x');
    size_t written = 0;
    while (written < line.size()) {
        const ssize_t put = write(in_pipe[1], line.data() + written, line.size() - written);
        ASSERT_GT(put, 0);
        written += static_cast<size_t>(put);
    }
    usleep(300000);
    EXPECT_FALSE(wait_exit(pid, 0)) << "ended before a line feed came";

    ASSERT_EQ(write(in_pipe[1], "\n", 1), 1);
    EXPECT_TRUE(exited_zero(wait_exit(pid, patience_ms)));
    kill_if_running(pid);
    EXPECT_TRUE(read_until(out_pipe[0], out, "", patience_ms));
    EXPECT_EQ(out, listing({}, ""));
    close(in_pipe[1]);
    close(out_pipe[0]);
}

// The program run on a pseudo-terminal as its standard input, its output to
// a pipe filled beforehand: it then stops at its first line, after the
// console went quiet, until the test reads.
class PortlistOnTerminalTest : public PortlistTest {
protected:
    void SetUp() override
    {
        PortlistTest::SetUp();
        ASSERT_EQ(tcgetattr(console.slave, &before), 0);
        ASSERT_TRUE(before.c_lflag & ICANON);
        ASSERT_TRUE(before.c_lflag & ECHO);
        ASSERT_EQ(pipe2(out_pipe, O_CLOEXEC), 0);
        filler = fill_pipe(out_pipe[1]);
        pid = start_portlist(console.slave, out_pipe[1]);
        close(out_pipe[1]);
    }
    void TearDown() override
    {
        kill_if_running(pid);
        close(out_pipe[0]);
        PortlistTest::TearDown();
    }

    // Waits until the terminal's local flags have `flags` set or cleared.
    bool wait_local_flags(tcflag_t flags, bool set)
    {
        for (int tries = 0; tries < patience_ms / 5; ++tries, usleep(5000)) {
            termios now{};
            tcgetattr(console.slave, &now);
            if ((now.c_lflag & flags) == (set ? flags : 0))
                return true;
        }
        return false;
    }

    // What the terminal shows (its echo) within timeout_ms.
    std::string shown(int timeout_ms)
    {
        std::string out;
        read_until(console.master, out, "\n", timeout_ms);
        return out;
    }

    pty_pair console;  // its slave is the program's standard input
    int out_pipe[2] = {-1, -1};
    size_t filler = 0;
    pid_t pid = -1;
    termios before{};
};

TEST_F(PortlistOnTerminalTest, TypingIsNotEchoedDuringTheScanButAtThePromptAndSettingsComeBack)
{
    ASSERT_TRUE(wait_local_flags(ICANON | ECHO, false));
    termios quiet{};
    ASSERT_EQ(tcgetattr(console.slave, &quiet), 0);
    EXPECT_EQ(quiet.c_cc[VMIN], 0);
    EXPECT_EQ(quiet.c_cc[VTIME], 0);
    ASSERT_EQ(write(console.master, "hidden", 6), 6);
    EXPECT_EQ(shown(300), "");

    std::string out;
    ASSERT_TRUE(read_until(out_pipe[0], out, prompt, patience_ms));
    ASSERT_TRUE(wait_local_flags(ICANON | ECHO, true));
    EXPECT_FALSE(wait_exit(pid, 0)) << "ended before Enter";
    ASSERT_EQ(write(console.master, "ok\n", 3), 3);
    EXPECT_EQ(shown(patience_ms), "ok\r\n");
    EXPECT_TRUE(exited_zero(wait_exit(pid, patience_ms)));

    ASSERT_TRUE(read_until(out_pipe[0], out, "", patience_ms));
    EXPECT_EQ(out.substr(filler), listing({}, ""));
    termios after{};
    ASSERT_EQ(tcgetattr(console.slave, &after), 0);
    EXPECT_TRUE(same_settings(before, after));
}

TEST_F(PortlistOnTerminalTest, EndedBySignalWhileQuietGivesTheSettingsBack)
{
    ASSERT_TRUE(wait_local_flags(ICANON | ECHO, false));
    kill(pid, SIGTERM);
    EXPECT_TRUE(wait_exit(pid, patience_ms));
    termios after{};
    ASSERT_EQ(tcgetattr(console.slave, &after), 0);
    EXPECT_TRUE(same_settings(before, after));
}

}  // namespace
