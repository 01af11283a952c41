// boardsim as a user runs it: a link to its terminal, commands and answers
// through the link, the driver's open-close-open, the log, and a clean stop.
#include <gtest/gtest.h>

#include "raw_line.h"
#include "serial/line_rate.h"
#include "stream_frame.h"
#include "stream_reader.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start)
{
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

// boardsim in a child process, under the 32-bit runner where there is one.
class boardsim_process {
public:
    boardsim_process()
    {
        char folder[] = "/tmp/boardsim_test.XXXXXX";
        if (mkdtemp(folder))
            folder_ = folder;
        link_ = folder_ + "/ttyUSB0";
    }

    ~boardsim_process()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        unlink(link_.c_str());
        unlink((folder_ + "/stdout").c_str());
        unlink((folder_ + "/log").c_str());
        rmdir(folder_.c_str());
    }

    const std::string &link() const { return link_; }
    std::string log_path() const { return folder_ + "/log"; }

    // Starts it with --link and the given options; true once the link exists.
    bool start(std::vector<std::string> options)
    {
        std::vector<std::string> args;
        if (std::string(I386_RUNNER).size() > 0)
            args.push_back(I386_RUNNER);
        args.push_back(BOARDSIM_PATH);
        args.push_back("--link");
        args.push_back(link_);
        args.insert(args.end(), options.begin(), options.end());
        const std::string out = folder_ + "/stdout";
        unlink(out.c_str());  // what an earlier start printed is not this one's
        pid_ = fork();
        if (pid_ == 0) {
            const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(fd, STDOUT_FILENO);
            std::vector<char *> argv;
            for (std::string &arg : args)
                argv.push_back(arg.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        const auto start = clock_type::now();
        struct stat info{};
        while (seconds_since(start) < 20) {
            if (lstat(link_.c_str(), &info) == 0)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    // Sends a signal and waits for the exit; the exit status, or -1.
    int stop(int signal_number)
    {
        kill(pid_, signal_number);
        const auto start = clock_type::now();
        int status = 0;
        while (seconds_since(start) < 20) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return -1;
    }

    // Waits until the link leads to the terminal it printed: a fresh start
    // over an old link.
    bool wait_linked()
    {
        const auto start = clock_type::now();
        while (seconds_since(start) < 20) {
            const std::string out = output();
            char target[256];
            const ssize_t n = readlink(link_.c_str(), target, sizeof target - 1);
            if (n > 0 && out.find('\n') != std::string::npos &&
                out.substr(0, out.find('\n')) == std::string(target, static_cast<size_t>(n)))
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    std::string output() const
    {
        std::ifstream file(folder_ + "/stdout");
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }

private:
    std::string folder_, link_;
    pid_t pid_ = -1;
};

// Opens the link as the library opens a port: raw, and a CR from the board
// delivered as LF.
int open_port(const std::string &path)
{
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return -1;
    termios settings{};
    tcgetattr(fd, &settings);
    cfmakeraw(&settings);
    settings.c_iflag |= ICRNL;
    cfsetispeed(&settings, B9600);
    cfsetospeed(&settings, B9600);
    tcsetattr(fd, TCSANOW, &settings);
    return fd;
}

// Writes a command and reads until `expected` bytes came or `within` seconds
// passed.
std::string ask(int fd, const std::string &command, size_t expected, double within = 5)
{
    if (write(fd, command.data(), command.size()) != static_cast<ssize_t>(command.size()))
        return "write failed";
    std::string answer;
    const auto start = clock_type::now();
    while (answer.size() < expected && seconds_since(start) < within) {
        pollfd port{fd, POLLIN, 0};
        if (poll(&port, 1, 50) > 0) {
            char bytes[64];
            const ssize_t count = read(fd, bytes, sizeof bytes);
            if (count > 0)
                answer.append(bytes, static_cast<size_t>(count));
        }
    }
    return answer;
}

TEST(boardsim_process, answers_through_its_link_and_stops_cleanly_on_sigterm)
{
    boardsim_process sim;
    ASSERT_TRUE(sim.start({"--analog", "0=512", "--analog", "1=ramp:7:7:1s", "--digital", "2=1", "--log",
                           sim.log_path(), "--summary", "--no-reset"}));

    // The library's probe opens and closes the port before opening it for good.
    for (int round = 0; round < 3; ++round) {
        const int probe = open_port(sim.link());
        ASSERT_GE(probe, 0);
        close(probe);
    }
    const int fd = open_port(sim.link());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(ask(fd, "EA0\r\r", 5), "512\n\n");  // the board's CR LF, CR read as LF
    EXPECT_EQ(ask(fd, "EA1\r\r", 3), "7\n\n");
    EXPECT_EQ(ask(fd, "EB2\r", 1), "\x01");
    EXPECT_EQ(ask(fd, "EB4\r", 1), std::string(1, '\0'));
    // Outputs are never answered; the next question still is.
    EXPECT_EQ(ask(fd, "SA3255\rSBA1\rSB01\rEA:\r\r", 3), "0\n\n");
    close(fd);

    // Reopened after a close, it still answers.
    const int again = open_port(sim.link());
    ASSERT_GE(again, 0);
    EXPECT_EQ(ask(again, "EA0\r\r", 5), "512\n\n");
    close(again);

    EXPECT_EQ(sim.stop(SIGTERM), 0);
    struct stat info{};
    EXPECT_NE(lstat(sim.link().c_str(), &info), 0) << "the link outlived boardsim";

    const std::string out = sim.output();
    EXPECT_EQ(out.rfind("/dev/pts/", 0), 0u) << out;  // first line: the terminal
    EXPECT_NE(out.find("255"), std::string::npos) << out;  // the summary has pin 3's duty

    std::ifstream log_file(sim.log_path());
    std::stringstream log;
    log << log_file.rdbuf();
    EXPECT_NE(log.str().find("EA0             -> \"512\\r\\n\""), std::string::npos) << log.str();
    EXPECT_NE(log.str().find("SA3255          set pin 3 duty 255"), std::string::npos) << log.str();
    EXPECT_NE(log.str().find("SB01            ignored"), std::string::npos) << log.str();
}

TEST(boardsim_process, paced_answers_take_the_time_of_a_9600_baud_line)
{
    boardsim_process sim;
    ASSERT_TRUE(sim.start({"--analog", "0=1023", "--pace", "--no-reset"}));
    const int fd = open_port(sim.link());
    ASSERT_GE(fd, 0);
    // Four bytes in up to the first CR, six out, 1.04 ms each: never less
    // than 10.4 ms, however fast the machine.
    const auto start = clock_type::now();
    EXPECT_EQ(ask(fd, "EA0\r\r", 6), "1023\n\n");
    EXPECT_GE(seconds_since(start), 0.0104);
    close(fd);
    EXPECT_EQ(sim.stop(SIGINT), 0);
}

// Boot time plus what the open takes to be seen, with room for an emulated CPU.
constexpr auto after_boot = std::chrono::milliseconds(1600);

TEST(boardsim_process, restarts_like_a_board_when_a_host_opens_the_port)
{
    boardsim_process sim;
    ASSERT_TRUE(sim.start({"--analog", "0=512"}));
    int fd = open_port(sim.link());
    ASSERT_GE(fd, 0);
    // Booting: deaf, so this output is never set and nothing is answered.
    EXPECT_EQ(ask(fd, "SBA1\rEA0\r\r", 1, 0.3), "");
    std::this_thread::sleep_for(after_boot);
    EXPECT_EQ(ask(fd, "EB10\r", 1), std::string(1, '\0'));
    EXPECT_EQ(ask(fd, "SBA1\rEB10\r", 1), "\x01");  // an output reads back its own level
    close(fd);

    // The next host finds the output off again. (It comes a little later: a
    // pty shows no hang-up that is over before boardsim looks.)
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    fd = open_port(sim.link());
    ASSERT_GE(fd, 0);
    std::this_thread::sleep_for(after_boot);
    EXPECT_EQ(ask(fd, "EB10\r", 1), std::string(1, '\0'));
    EXPECT_EQ(ask(fd, "EA0\r\r", 5), "512\n\n");
    close(fd);
    EXPECT_EQ(sim.stop(SIGTERM), 0);
}

TEST(boardsim_process, replaces_the_link_left_by_a_boardsim_that_was_killed)
{
    boardsim_process sim;
    ASSERT_TRUE(sim.start({"--no-reset"}));
    sim.stop(SIGKILL);
    struct stat info{};
    ASSERT_EQ(lstat(sim.link().c_str(), &info), 0) << "a killed boardsim cannot remove its link";
    // Its pty number may already be another test's (numbers are reused at
    // once), which boardsim rightly leaves alone: lead the link to a pty
    // that is surely gone, as the killed one's is once nobody took it.
    ASSERT_EQ(unlink(sim.link().c_str()), 0);
    ASSERT_EQ(symlink("/dev/pts/999999", sim.link().c_str()), 0);

    ASSERT_TRUE(sim.start({"--no-reset", "--analog", "0=77"}));
    ASSERT_TRUE(sim.wait_linked()) << sim.output();
    const int fd = open_port(sim.link());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(ask(fd, "EA0\r\r", 4), "77\n\n");
    close(fd);
    EXPECT_EQ(sim.stop(SIGTERM), 0);
}

TEST(boardsim_process, refuses_to_replace_a_file_that_is_not_its_link)
{
    boardsim_process sim;
    { std::ofstream occupied(sim.link()); }
    std::vector<std::string> none;
    // It ends at once with an error: the "link" never becomes a symbolic link.
    sim.start(none);
    struct stat info{};
    ASSERT_EQ(lstat(sim.link().c_str(), &info), 0);
    EXPECT_FALSE(S_ISLNK(info.st_mode));
    EXPECT_EQ(sim.stop(0), 1);  // signal 0: only wait for the end
}

TEST(boardsim_process, streams_on_its_own_clock_and_paces_the_rate_its_host_set)
{
    boardsim_process sim;
    ASSERT_TRUE(sim.start({"--analog", "2=700", "--digital", "7=1", "--pace", "--no-reset"}));
    raw_line host(sim.link());
    ASSERT_TRUE(host.ok());
    // 49 bytes of identity: 51 ms at 9600 baud, well under 1 ms at 1000000.
    const auto identify = [&] {
        const auto start = clock_type::now();
        host.send("XI");
        EXPECT_EQ(host.read_for(5000, "\n"), "XI arduinodrv-board 3 tag,baud,stream,scan,keep\r\n");
        return seconds_since(start);
    };
    EXPECT_GE(identify(), 0.050);
    host.send("XB1000000a");
    EXPECT_EQ(host.read_for(5000, "a"), "1000000a");
    // The line runs at what its host sets: this end moves too.
    if (!set_descriptor_rate(host.fd(), 1000000))
        GTEST_SKIP() << "this system cannot give a line any rate (termios2 is missing under qemu-i386)";
    EXPECT_LT(identify(), 0.030);

    host.send("XS4,4,10000b");  // A2 and pin 7, 100 frames a second
    const std::string started = host.read_for(5000, "b");
    ASSERT_EQ(started.compare(0, 6, "10000b"), 0);
    stream_frame::sample_set expected{};
    expected.analog[2] = 700;
    expected.digital = 4;  // pin 7 is digital input 2
    stream_reader reader(4, 4, 10000, expected);
    reader.take(started.data() + 6, started.size() - 6);
    const std::string frames = host.read_for(500);
    reader.take(frames.data(), frames.size());
    host.send("XEc");
    const std::string end = host.read_for(5000, "c");
    reader.take(end.data(), end.size());
    const stream_tally &tally = reader.tally();
    EXPECT_GE(tally.frames, 20u);
    // A tick boardsim wakes for more than an interval late is skipped, as
    // the chip skips it: only on a machine too busy to run it.
    EXPECT_LE(tally.lost, tally.frames / 4);
    EXPECT_EQ(tally.bad, 0u);
    EXPECT_EQ(tally.wrong_time, 0u);
    EXPECT_EQ(tally.wrong_value, 0u);
    EXPECT_EQ(sim.stop(SIGTERM), 0);
}

TEST(boardsim_process, plays_a_classic_sketch_on_request)
{
    boardsim_process sim;
    ASSERT_TRUE(sim.start({"--analog", "0=99", "--classic", "--no-reset"}));
    raw_line host(sim.link());
    for (const char *extension : {"XI", "EA0k", "XB500000a", "XS1,0,100000b"})
        host.send(extension);
    host.send("EA0");
    EXPECT_EQ(host.read_for(5000, "\n"), "99\r\n");  // and nothing before
    EXPECT_EQ(sim.stop(SIGTERM), 0);
}

}  // namespace
