// The shell as a program: a script through a pipe against a build of the
// library that finds no device, so every input reads 0 and texts are exact.
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "fake_board.h"
#include "shell_output.h"
#include "trace_events.h"

namespace {

struct run_result {
    int status = -1;
    std::string out;
    std::string err;
};

void drain(int fd, std::string *into, bool *open)
{
    char buffer[4096];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0)
        into->append(buffer, static_cast<size_t>(n));
    else if (n == 0 || errno != EINTR)
        *open = false;
}

// Runs the shell (through the 32-bit runner where there is one) with `input`
// on its standard input; killed after a minute.
run_result run_shell(const std::vector<std::string> &args, const std::string &input)
{
    std::vector<std::string> argv;
    if (std::strlen(SHELL_RUNNER) > 0)
        argv.push_back(SHELL_RUNNER);
    argv.push_back(SHELL_PROGRAM);
    argv.insert(argv.end(), args.begin(), args.end());

    int in[2], out[2], err[2];
    if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0)
        return {};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
            close(fd);
        setenv("LC_ALL", "C.UTF-8", 1);
        std::vector<char *> c_argv;
        for (std::string &a : argv)
            c_argv.push_back(a.data());
        c_argv.push_back(nullptr);
        execv(c_argv[0], c_argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    signal(SIGPIPE, SIG_IGN);
    (void)!write(in[1], input.data(), input.size());
    close(in[1]);

    run_result result;
    bool out_open = true, err_open = true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while ((out_open || err_open) && std::chrono::steady_clock::now() < deadline) {
        pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
        if (poll(fds, 2, 500) <= 0)
            continue;
        if (out_open && (fds[0].revents & (POLLIN | POLLHUP)))
            drain(out[0], &result.out, &out_open);
        if (err_open && (fds[1].revents & (POLLIN | POLLHUP)))
            drain(err[0], &result.err, &err_open);
    }
    if (out_open || err_open)
        kill(pid, SIGKILL);
    close(out[0]);
    close(err[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

const std::vector<std::string> no_device = {"--library", NO_DEVICE_LIBRARY};

TEST(Session, AScriptThroughAPipeGivesExactResults)
{
    const std::string script =
        "# the texts\n"
        "titre\n"
        "stdtitre\n"
        "ctitre\n"
        "detail\n"
        "cdetail\n"
        "nea 2\n"
        "nead 2\n"
        "neadouble 2.5\n"
        "nebdouble -0.5\n"
        "cneb 3\n"
        "nsa 0\n"
        "stdnsb 3\n"
        "\n"
        "# outputs and their read-back\n"
        "sb 0 1\n"
        "rsb 0\n"
        "csa 0 255\n"
        "crsa 0\n"
        "sad 1 2.5\n"
        "rsad 1\n"
        "sbdouble 2 0.6\n"
        "stdrsbdouble 2\n"
        "stdsad 0 1.0\n"
        "# inputs, with nobody to answer\n"
        "ead 3\n"
        "eb 0\n"
        "record rsb 0 --every 50ms --count 2\n"
        "watch rsad 1 --every 10ms --count 2\n"
        "quit\n"
        "nea 0\n";
    const run_result r = run_shell(no_device, script);
    // The inputs' zeros are the library's, but not readings: said once, and
    // in the exit status.
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.err, "no board: the library could not open " NO_DEVICE_FOLDER "/ttyUSB0, so inputs read 0 and "
                     "outputs go nowhere (`check` tells why)\n");
    const std::string expected_head =
        "Arduino en \n"
        "Arduino\n"
        "Arduino\n"
        "Pilote pour Arduino en , par Tervalique, le 15 ao\xC3\xBBt 2012\n"
        "Arduino 2009, par Tervalique, le 23 f\xC3\xA9vrier 2011\n"
        "EA2\n"
        "EA2 (V)\n"
        "EA3 (V)\n"
        "\n"
        "EB3 br8\n"
        "SA 0..255 (PWM) br3\n"
        "SB3 br 13 (diode)\n"
        "1\n"
        "1\n"
        "127\n"
        "255\n"
        "64\n"
        "2.5\n"
        "1\n"
        "1\n"
        "dans stdsad\n"
        "25\n"
        "0\n"
        "0\n"
        "time_s,rsb 0\n";
    ASSERT_EQ(r.out.substr(0, expected_head.size()), expected_head) << r.out;
    // Two CSV rows and two plain watch lines; quit ends the script.
    const std::string tail = r.out.substr(expected_head.size());
    const std::vector<std::string> lines = lines_of(tail);
    ASSERT_EQ(lines.size(), 4u) << tail;
    EXPECT_TRUE(lines[0].starts_with("0.0") && lines[0].ends_with(",1")) << lines[0];
    EXPECT_TRUE(lines[1].ends_with(",1")) << lines[1];
    EXPECT_TRUE(lines[2].ends_with(" 2.5")) << lines[2];
    EXPECT_TRUE(lines[3].ends_with(" 2.5")) << lines[3];
}

TEST(Session, AFailedCommandIsReportedAndTheScriptGoesOn)
{
    const run_result r = run_shell(no_device, "rsb 5\nsb 0\nbogus 1\nead x\nnea 1\nwatch rsb 0\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "0\nEA1\n");
    EXPECT_NE(r.err.find("sb takes 2 arguments, got 1"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("unknown command or export \"bogus\""), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("ead: channel must be a whole number"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("watch: give --count N"), std::string::npos) << r.err;
}

TEST(Session, CommandsFromTheCommandLine)
{
    run_result r = run_shell({"--library", NO_DEVICE_LIBRARY, "nsad", "1"}, "");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "SA1 0..5V(PWM) br5\n");

    // As a line of the prompt: one load for all of them.
    r = run_shell({"--library", NO_DEVICE_LIBRARY, "nea 0; rsb 1", ";", "nsa", "2"}, "");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "EA0\t0\tSA 0..255(PWM) br6\n");

    r = run_shell({"--library", NO_DEVICE_LIBRARY, "sb 0 1"}, "");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "1\n");
    EXPECT_NE(r.err.find("no board: "), std::string::npos) << r.err;

    r = run_shell({"--library", NO_DEVICE_LIBRARY, "ea"}, "");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");

    r = run_shell({"--frobnicate"}, "");
    EXPECT_EQ(r.status, 2);

    r = run_shell({"--library", "/nonexistent/libarduinodrv.so", "titre"}, "");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot load the library /nonexistent/libarduinodrv.so"), std::string::npos) << r.err;
}

TEST(Session, PortOptionGivesTheLibraryAnyPathAndRefusesWhatIsNoDevice)
{
    // The build opens NO_DEVICE_FOLDER/ttyUSB0, which does not exist: --port
    // takes the library to the board on another name.
    fake_board board(NO_DEVICE_FOLDER, "board-by-id");
    board.respond_with([](const std::string &line) {
        return line == "EA2" ? board_reply{"412\r\n"} : board_reply{};
    });
    run_result r = run_shell({"--library", NO_DEVICE_LIBRARY, "--port", board.link_path(), "ea 2"}, "");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "412\n");

    const std::string folder = NO_DEVICE_FOLDER;
    const std::string file = folder + "/plain-file";
    FILE *f = std::fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    const std::pair<std::string, std::string> refused[] = {
        {folder, "it is a folder, not a serial device"},
        {file, "it is a regular file, not a serial device"},
        {folder + "/ttyUSB9", "no such device"},
        {folder + "/ttyUSB0\n", "the path holds a control character"},
    };
    for (const auto &[path, why] : refused) {
        r = run_shell({"--library", NO_DEVICE_LIBRARY, "--port", path, "ea 2"}, "");
        EXPECT_EQ(r.status, 1) << path;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.find("arduinodrv-shell: --port " + path + ": " + why), 0u) << r.err;
    }
    unlink(file.c_str());
}

TEST(Session, ARequestWithoutAnswerIsNotShownAsAReading)
{
    fake_board silent(NO_DEVICE_FOLDER, "ttyUSB0");
    const run_result r = run_shell(no_device, "ea 1; ead 2; nea 0\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "0\t0\tEA0\n");
    EXPECT_EQ(r.err, "no answer from the board within the library's limit of 1000 ms (ea): its 0 is not a "
                     "reading (`check` tells why)\n");
}

// The shell learns from the library's trace whether an answer came: one at
// the end of the library's window is a reading, never called missing.
TEST(Session, AReadingLateInItsWindowIsNotCalledMissing)
{
    fake_board board(NO_DEVICE_FOLDER, "late-board");
    board.respond_with([](const std::string &line) {
        return line == "EA2" ? board_reply{"412\r\n", 990} : board_reply{};
    });
    const run_result r = run_shell({"--library", NO_DEVICE_LIBRARY, "--port", board.link_path(), "ea 2"}, "");
    if (r.out == "412\n") {
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
    } else {  // the machine was slower than the window: then it is missing
        EXPECT_EQ(r.out, "0\n");
        EXPECT_NE(r.err.find("no answer from the board"), std::string::npos) << r.err;
    }
}

// A trace the user asked for gets the library's lines, though the shell
// reads them too.
TEST(Session, TheUsersTraceStillGetsEveryLine)
{
    const std::string trace = std::string(NO_DEVICE_FOLDER) + "/shell.trace";
    unlink(trace.c_str());
    setenv("ARDUINODRV_TRACE", trace.c_str(), 1);
    const run_result r = run_shell(no_device, "sb 0 1\n");
    unsetenv("ARDUINODRV_TRACE");
    EXPECT_EQ(r.out, "1\n");
    EXPECT_NE(r.err.find("no board: "), std::string::npos) << r.err;
    const std::string text = file_text(trace);
    EXPECT_NE(text.find(" open: not opened: No such file or directory"), std::string::npos) << text;
    EXPECT_NE(text.find(" no-port: \"SBA1\\r\" not sent\n"), std::string::npos) << text;
}

TEST(Session, AnAnswerThatIsNotAReadingIsSaidSo)
{
    // Something on the line that is not the sketch: words for an analog
    // reading, a letter for a digital one. The library gives 0 and 1; only
    // EA1's answer is a reading.
    fake_board board(NO_DEVICE_FOLDER, "not-the-sketch");
    board.respond_with([](const std::string &line) {
        if (line == "EA1")
            return board_reply{"512\r\n"};
        if (line == "EA0")
            return board_reply{"hello\r\n"};
        return line.starts_with("EB") ? board_reply{"g"} : board_reply{};
    });
    const run_result r =
        run_shell({"--library", NO_DEVICE_LIBRARY, "--port", board.link_path()}, "ea 1\nead 0; eb 0; ea 0; eb 1\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "512\n0\t1\t0\t1\n");
    EXPECT_EQ(r.err,
              "ead: the board answered \"hello\", not a reading (0 to 1023): its 0 is not a reading (`check` "
              "tells why)\n"
              "eb: the board answered the byte 0x67, not a level (0x00 or 0x01): its 1 is not a reading (`check` "
              "tells why)\n");
}

TEST(Session, HelpListsAllSeventyOneExports)
{
    const run_result r = run_shell({"help"}, "");
    EXPECT_EQ(r.status, 0);
    size_t export_lines = 0;
    for (size_t at = 0; (at = r.out.find(" -> ", at)) != std::string::npos; ++at)
        ++export_lines;
    EXPECT_EQ(export_lines, 71u) << r.out;
    EXPECT_NE(r.out.find("stdcall"), std::string::npos);
    EXPECT_NE(r.out.find("cdecl"), std::string::npos);
}

}  // namespace
