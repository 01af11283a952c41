#include "device_check.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "board_answer.h"
#include "protocol/board_channels.h"
#include "export_call.h"
#include "library_port.h"
#include "posix/clock.h"
#include "processes.h"
#include "protocol/board_line.h"
#include "protocol/line_protocol.h"
#include "serial/pseudo_terminal.h"
#include "serial/serial_port.h"
#include "shell.h"

namespace {

// How long we go on listening past the library's limit, to tell a slow
// board from a silent one.
constexpr int32_t listen_ms = 3000;
// After the answer line, how long more bytes would show a sender that is
// not the board: the sketch sends its line and then nothing.
constexpr int32_t after_answer_ms = 200;
// The longest answer of the sketch is "1023" and its line end; a sender
// that sends far more is not the board.
constexpr size_t longest_answer = 64;

std::string limit_text()
{
    return "the library's limit of " + std::to_string(answer_limit_ms) + " ms";
}

void report(const char *what, const std::string &text)
{
    std::fprintf(shell_out, "  %-12s %s\n", what, text.c_str());
    std::fflush(shell_out);
}

bool verdict(bool ok, const std::string &text)
{
    std::fprintf(shell_out, "%s %s\n", ok ? "result:" : "most likely fix:", text.c_str());
    std::fflush(shell_out);
    return ok;
}

std::string real_path_of(const std::string &path)
{
    char *real = realpath(path.c_str(), nullptr);
    if (real == nullptr)
        return path;
    std::string text = real;
    std::free(real);
    return text;
}

bool same_device(const std::string &a, const std::string &b)
{
    return a == b || real_path_of(a) == real_path_of(b);
}

std::string joined(const std::vector<std::string> &items, const char *separator)
{
    std::string text;
    for (const std::string &item : items)
        text += (text.empty() ? "" : separator) + item;
    return text;
}

std::vector<std::string> candidates_present_in(const std::string &folder)
{
    std::vector<std::string> found;
    struct stat info {};
    for (const std::string &path : candidate_paths(folder == "/" ? "" : folder.c_str()))
        if (lstat(path.c_str(), &info) == 0)
            found.push_back(path);
    return found;
}

// The terminal drivers of the kernel (/proc/tty/drivers): whether a device
// number belongs to a terminal, serial line or pseudo-terminal. True when it
// cannot be told, so that only what is surely not a line is refused.
bool is_terminal_device(dev_t device)
{
    FILE *f = std::fopen("/proc/tty/drivers", "r");
    if (f == nullptr)
        return true;
    bool found = false;
    char line[256];
    while (!found && std::fgets(line, sizeof line, f) != nullptr) {
        char name[64], node[128], minors[64];
        unsigned major_number = 0;
        if (std::sscanf(line, "%63s %127s %u %63s", name, node, &major_number, minors) != 4 ||
            major_number != major(device))
            continue;
        unsigned low = 0, high = 0;
        const int n = std::sscanf(minors, "%u-%u", &low, &high);
        if (n == 1)
            high = low;
        found = n >= 1 && minor(device) >= low && minor(device) <= high;
    }
    std::fclose(f);
    return found;
}

bool user_listed_in(const group *g, const char *user)
{
    if (g == nullptr || user == nullptr)
        return false;
    for (char **member = g->gr_mem; *member != nullptr; ++member)
        if (std::strcmp(*member, user) == 0)
            return true;
    const passwd *pw = getpwnam(user);
    return pw != nullptr && pw->pw_gid == g->gr_gid;
}

bool permission_denied(const std::string &device, const struct stat &info)
{
    const group *g = getgrgid(info.st_gid);
    const std::string group_name = g != nullptr ? g->gr_name : std::to_string(info.st_gid);
    const passwd *pw = getpwuid(getuid());
    const char *user = pw != nullptr ? pw->pw_name : nullptr;
    report("permission", "denied: " + device + " belongs to group " + group_name + " (mode " +
                             std::to_string((info.st_mode >> 6) & 7) + std::to_string((info.st_mode >> 3) & 7) +
                             std::to_string(info.st_mode & 7) + ")");
    if (user_listed_in(g, user))
        return verdict(false, "you are in group " + group_name +
                                  " but this login predates it: log out and in again (or run `newgrp " +
                                  group_name + "`)");
    return verdict(false, "sudo usermod -aG " + group_name + " $USER, then log out and in again");
}

// Looks at what the path is; false (after the verdict) when it cannot be
// the board's serial line. `link_to` is where an emulator's link would help.
bool device_is_a_line(const std::string &device, const std::string &link_to, struct stat *info)
{
    struct stat link_info {};
    if (lstat(device.c_str(), &link_info) != 0) {
        report("device", device + " does not exist");
        const std::vector<std::string> others = candidates_present_in(folder_of(device));
        if (!others.empty()) {
            report("found", joined(others, " "));
            return verdict(false, "the board seems to be " + others.front() + ": check that device, or link it: "
                                  "sudo ln -s " + others.front() + " " + device);
        }
        return verdict(false, "plug the board in (`dmesg | tail` shows the device it gets); without a board, "
                              "start the emulator: boardsim --link " + link_to);
    }
    if (S_ISLNK(link_info.st_mode)) {
        char target[4096];
        const ssize_t n = readlink(device.c_str(), target, sizeof target - 1);
        const std::string to = n > 0 ? std::string(target, static_cast<size_t>(n)) : "?";
        if (stat(device.c_str(), info) != 0) {
            report("device", device + " is a link to " + to + ", which does not exist");
            return verdict(false, "the link is stale: start again whatever made it (boardsim?), or remove it");
        }
        report("device", device + " -> " + to);
    } else {
        *info = link_info;
        report("device", device + " exists");
    }
    if (S_ISDIR(info->st_mode)) {
        report("kind", device + " is a folder, not a device");
        const std::vector<std::string> inside = candidates_present_in(device);
        if (!inside.empty())
            return verdict(false, "name the device itself: check " + inside.front());
        return verdict(false, "name the board's device, e.g. check /dev/ttyUSB0 (`dmesg | tail` shows the one "
                              "it gets when plugged in)");
    }
    if (S_ISREG(info->st_mode)) {
        report("kind", device + " is a regular file, not a device");
        if (!is_candidate_family_name(name_of(device)))
            return verdict(false, "name the board's serial device, e.g. /dev/ttyUSB0 or /dev/ttyACM0");
        return verdict(false, "something wrote to " + device + " while no board was there: remove the file "
                              "(sudo rm " + device + "), then plug the board in");
    }
    if (!S_ISCHR(info->st_mode)) {
        report("kind", device + " is not a character device (a pipe, socket or disk)");
        return verdict(false, "name the board's serial device, e.g. /dev/ttyUSB0 or /dev/ttyACM0");
    }
    if (!is_terminal_device(info->st_rdev)) {
        report("kind", device + " is a character device (" + std::to_string(major(info->st_rdev)) + ":" +
                           std::to_string(minor(info->st_rdev)) + ") but not a serial line");
        return verdict(false, "name the board's serial device, e.g. /dev/ttyUSB0 or /dev/ttyACM0 (`dmesg | "
                              "tail` shows the one it gets when plugged in)");
    }
    return true;
}

// Which build opens the device: the one given, one beside it, or none.
struct build_match {
    std::string library_port;  // what the chosen build opens ("" unknown)
    bool chosen_opens_it = false;
    std::string other_build;   // a build beside it that opens the device
    std::vector<std::string> ports_beside;
};

build_match match_build(const std::string &library, const std::string &device)
{
    build_match match;
    match.library_port = port_of_library(library);
    match.chosen_opens_it = !match.library_port.empty() && same_device(match.library_port, device);
    if (match.chosen_opens_it) {
        report("library", library + " opens it");
        return match;
    }
    for (const build_port &build : builds_beside(library)) {
        if (!build.port.empty())
            match.ports_beside.push_back(build.port);
        if (match.other_build.empty() && !build.port.empty() && same_device(build.port, device))
            match.other_build = build.library;
    }
    if (access(library.c_str(), F_OK) != 0)
        report("library", library + " does not exist");
    else
        report("library", library + " opens " + (match.library_port.empty() ? "?" : match.library_port) +
                              ", not " + device);
    if (!match.other_build.empty())
        report("", "the build that opens " + device + " is " + match.other_build);
    else
        report("", "no build of the library opens " + device +
                       (match.ports_beside.empty() ? "" : " (they open " + joined(match.ports_beside, ", ") + ")"));
    return match;
}

// What would make the library find a board that answers on `device`.
std::string build_advice(const build_match &match, const std::string &device)
{
    if (!match.other_build.empty())
        return "the board answers on " + device + ": load the build that opens it, --library " + match.other_build;
    return "the board answers on " + device + ", which no build opens by itself: give it to the library, "
           "arduinodrv-shell --port " + device + " (a host: " + port_variable + "=" + device + ")";
}

// A pseudo-terminal: a link, whose other end a program holds (the master)
// and passes on to a board (socat to ser2net's port), or plays one (an
// emulator, a user's own program).
struct pty_link {
    bool is_link = false;
    long other_end = 0;  // the process holding the master; 0 when not found
};

// The files the other processes hold, read once for the link and its users.
struct other_processes {
    int unreadable = 0;  // processes of other users, not looked at
    std::vector<held_file> files;
};

// Says whether the device is a pseudo-terminal link, and who holds its other
// end: another process, or this one (a board the shell's own program plays).
pty_link link_of(const std::string &device, const struct stat &info, const other_processes &others)
{
    pty_link link;
    link.is_link = is_pseudo_terminal(info.st_rdev);
    if (!link.is_link)
        return link;
    const int index = pseudo_terminal_index(info.st_rdev);
    const int unreadable = others.unreadable;
    link.other_end = pty_master_holder(others.files, index);
    if (link.other_end == 0)
        link.other_end = pty_master_holder(files_of_process(getpid()), index);
    if (link.other_end != 0)
        report("kind", device + " is a pseudo-terminal link: " + process_text(link.other_end) +
                           " holds its other end");
    else if (unreadable > 0)
        report("kind", device + " is a pseudo-terminal link; the program at its other end is not among the "
                                "processes this user may look at");
    else
        report("kind", device + " is a pseudo-terminal link; the program at its other end cannot be told");
    return link;
}

std::string other_end_text(const pty_link &link)
{
    return link.other_end != 0 ? process_text(link.other_end) : "the program at its other end";
}

// The other processes that hold the device open; none may, for the board's
// answers go to whoever reads first. A link's other end is no such user:
// it reads the master, and holds the slave too only to keep the line up
// (socat does).
bool device_is_free(const std::string &device, const pty_link &link, const other_processes &others)
{
    const int unreadable = others.unreadable;
    const std::string target = real_path_of(device);
    std::vector<std::string> holders;
    bool other_end_holds_it = false;
    for (const held_file &file : others.files) {
        if (file.target != target)
            continue;
        if (link.other_end != 0 && file.pid == link.other_end) {
            other_end_holds_it = true;
            continue;
        }
        const std::string holder = process_text(file.pid);
        if (holders.empty() || holders.back() != holder)
            holders.push_back(holder);
    }
    if (!holders.empty()) {
        report("users", "in use by " + joined(holders, ", "));
        return verdict(false, "the board is in use by another program: end " + joined(holders, ", ") +
                                  " (or let it close the port), then check again");
    }
    std::string text = other_end_holds_it ? "only the link's other end has it open" : "no other process has it open";
    if (unreadable > 0)
        text += " (" + std::to_string(unreadable) + " processes of other users not looked at)";
    report("users", text);
    if (library_loaded()) {
        report("note", "this shell's library has loaded and holds its port");
        return verdict(false, "run check first, before any request, or in a shell of its own");
    }
    return true;
}

struct answer {
    std::string bytes;       // everything received, line ends as the line delivers them
    std::string line;        // the first line, without its end
    int64_t line_after_ms = -1;  // when its end came; -1 when none did
};

// Sends what the library sends for analog input 0 and listens: for the
// line, then a little longer for anything that follows it.
answer ask_board(serial_port &port)
{
    char buffer[256];
    // What waited before the question is not its answer.
    const deadline drain = deadline_after(100);
    while (port.bytes_waiting() > 0 && !deadline_passed(drain) && port.read(buffer, sizeof buffer) > 0) {
    }
    answer got;
    const deadline listen = deadline_after(listen_ms);
    const std::string question = command_line("EA0");
    if (port.write_some(question.data(), question.size(), listen) == 0)
        return got;
    answer_line line;
    deadline end = listen;
    while (got.bytes.size() <= longest_answer && port.wait_readable(end)) {
        const int32_t n = port.read(buffer, sizeof buffer);
        for (int32_t i = 0; i < n; ++i) {
            got.bytes += buffer[i];
            if (!line.ended() && line.take(buffer[i])) {
                got.line_after_ms = elapsed_at(listen, elapsed_ms());
                end = deadline_after(after_answer_ms);
            }
        }
        if (n == 0)
            break;  // readable but nothing to read: the device hung up
    }
    got.line = line.text();
    return got;
}

// What the board sent beyond its one answer line: anything but line ends.
bool more_than_one_line(const answer &got)
{
    const size_t end = got.bytes.find_first_of("\r\n", got.bytes.find_first_not_of("\r\n"));
    return end != std::string::npos && got.bytes.find_first_not_of(std::string("\r\n\0", 3), end) != std::string::npos;
}

bool judge_answer(const answer &got, bool waited, const build_match &match, const std::string &device,
                  const pty_link &link)
{
    const std::string after = got.line_after_ms >= 0 ? " after " + std::to_string(got.line_after_ms) + " ms" : "";
    if (got.bytes.find_first_not_of(std::string("\r\n\0", 3)) == std::string::npos) {
        report("answer", "none within " + limit_text() + ", nor in the " +
                             std::to_string(listen_ms - answer_limit_ms) + " ms after it");
        if (!waited)
            return verdict(false, "try again without --no-wait: the board may still have been starting");
        if (link.is_link)
            return verdict(false, "nothing answers through the link: check what " + other_end_text(link) +
                                      " joins it to (a board on another machine: ser2net there, and the board's "
                                      "device in its configuration) and that the board runs the sketch in board/ "
                                      "(README)");
        return verdict(false, "flash the sketch in board/ onto the board (README), then unplug and plug it in");
    }
    if (got.line_after_ms < 0) {
        report("answer", shown(got.bytes) + " without a line end: not one reading line");
        return verdict(false, "something sends, but not the board's sketch (or at another speed than 9600 "
                              "baud): flash board/ onto the board (README)");
    }
    if (more_than_one_line(got)) {
        report("answer", shown(got.bytes) + ": more than the one reading line the library takes");
        return verdict(false, "something sends, but not the board's sketch: flash board/ onto the board (README)");
    }
    int32_t reading = 0;
    if (!is_analog_reading(got.line, &reading)) {
        report("answer", shown(got.line) + after + ": not a reading (0 to " + std::to_string(highest_analog_reading) + ")");
        return verdict(false, "something answers, but not the board's sketch: flash board/ onto it (README)");
    }
    if (got.line_after_ms > answer_limit_ms) {
        report("answer", shown(got.line) + after + ", beyond " + limit_text());
        return verdict(false, "the board answers too slowly: check that its sketch is ours and runs at 9600 baud");
    }
    report("answer", shown(got.line) + after + ", within " + limit_text() + ": EA0 = " +
                         real_text(static_cast<double>(reading) * 5.0 / 1024.0) + " V");
    if (!match.chosen_opens_it)
        return verdict(false, build_advice(match, device));
    return verdict(true, "the board answers; the library " + library_path() + " will work with " + device);
}

}  // namespace

bool check_command(const std::vector<std::string> &words)
{
    std::string device;
    bool wait_for_board = true;
    for (const std::string &word : words) {
        if (word == "--no-wait") {
            wait_for_board = false;
        } else if (word.starts_with("--") || !device.empty()) {
            std::fprintf(shell_err, "check: usage: check [DEVICE] [--no-wait]\n");
            return false;
        } else {
            device = word;
        }
    }
    const std::string &library = library_path();
    if (device.empty()) {
        device = port_of_library(library);
        if (device.empty())
            device = candidate_paths("/dev").front();
    }
    std::fprintf(shell_out, "check %s\n", device.c_str());

    // Which build opens it matters first for a board's name (a missing
    // /tmp/x/ttyUSB0 is no use to any build), else once it is a line at all.
    const bool board_name = is_candidate_family_name(name_of(device));
    build_match match;
    if (board_name)
        match = match_build(library, device);
    const std::string link_to =
        match.chosen_opens_it || match.library_port.empty() || !match.other_build.empty() ? device
                                                                                          : match.library_port;
    struct stat info {};
    if (!device_is_a_line(device, link_to, &info))
        return false;
    other_processes others;
    others.files = files_of_other_processes(&others.unreadable);
    const pty_link link = link_of(device, info, others);
    if (!board_name)
        match = match_build(library, device);
    if (access(device.c_str(), R_OK | W_OK) != 0) {
        if (errno == EACCES)
            return permission_denied(device, info);
        report("access", std::strerror(errno));
    } else {
        report("permission", "this user may read and write it");
    }
    if (!device_is_free(device, link, others))
        return false;

    // Claimed as the library claims it, so that a host holding the board
    // (one whose process this user may not see, too) refuses us as it would
    // refuse the library, and our question never mixes with its answers.
    opened_port opened = serial_port::open(device.c_str(), driver_line, open_options{.exclusive = true});
    if (!opened.ok()) {
        report("open", std::string("failed: ") + opened.failure.reason());
        if (opened.failure.error == EBUSY)
            return verdict(false, "the board is in use by another program (it holds the port for itself): end "
                                  "the other host program, then check again");
        if (link.is_link)
            return verdict(false, "make the link again (start again whatever made it: socat, boardsim), then "
                                  "check again");
        return verdict(false, "unplug the board and plug it in again; then run check again");
    }
    report("open", "as the library does: 9600 baud, 8 data bits, 1 stop bit, no parity, raw");
    if (wait_for_board) {
        // Through a link, the board restarts when the far side opens its
        // device (ser2net, for each connection), not at this open.
        if (link.is_link)
            report("waiting", std::to_string(board_start_ms / 1000) + " s for the board to start, as the library "
                              "waits after its open");
        else
            report("waiting", std::to_string(board_start_ms / 1000) + " s for the board to start (opening the "
                              "port restarts it)");
        sleep_until_passed(deadline_after(board_start_ms));
    }
    const answer got = ask_board(opened.port);
    opened.port.close();
    return judge_answer(got, wait_for_board, match, device, link);
}
