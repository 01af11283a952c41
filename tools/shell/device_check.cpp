#include "device_check.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "export_call.h"
#include "serial/clock.h"
#include "serial/serial_port.h"
#include "shell.h"

namespace {

// As the library: 9600 baud, 8 data bits, one stop bit, no parity, no flow control.
constexpr int32_t board_baud = 9600;
// Opening the port resets the board; its sketch starts this much later.
constexpr int32_t board_start_ms = 2000;
// The library's answer limit, and how long we go on listening past it to
// tell a slow board from a silent one.
constexpr int64_t answer_limit_ms = 1000;
constexpr int64_t listen_ms = 3000;

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

bool is_serial_name(const std::string &name)
{
    for (const char *prefix : {"ttyUSB", "ttyACM"}) {
        const size_t n = std::strlen(prefix);
        if (name.size() > n && name.compare(0, n, prefix) == 0 &&
            name.find_first_not_of("0123456789", n) == std::string::npos)
            return true;
    }
    return false;
}

std::string folder_of(const std::string &path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string name_of(const std::string &path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::vector<std::string> serial_devices_in(const std::string &folder)
{
    std::vector<std::string> found;
    DIR *dir = opendir(folder.c_str());
    if (dir == nullptr)
        return found;
    while (const dirent *entry = readdir(dir))
        if (is_serial_name(entry->d_name))
            found.push_back((folder == "/" ? "" : folder) + "/" + entry->d_name);
    closedir(dir);
    return found;
}

std::string read_small_file(const std::string &path)
{
    std::string text;
    if (FILE *f = std::fopen(path.c_str(), "r")) {
        char buffer[256];
        const size_t n = std::fread(buffer, 1, sizeof buffer, f);
        text.assign(buffer, n);
        std::fclose(f);
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == '\0'))
        text.pop_back();
    return text;
}

struct holder {
    long pid;
    std::string command;
};

// Processes with a descriptor on the device, found through /proc/*/fd.
// `unreadable` counts the processes whose descriptors we may not look at.
std::vector<holder> device_holders(const std::string &device, int *unreadable)
{
    std::vector<holder> holders;
    *unreadable = 0;
    char *real = realpath(device.c_str(), nullptr);
    if (real == nullptr)
        return holders;
    const std::string target = real;
    std::free(real);
    DIR *proc = opendir("/proc");
    if (proc == nullptr)
        return holders;
    const long self = static_cast<long>(getpid());
    while (const dirent *entry = readdir(proc)) {
        char *end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || pid == self)
            continue;
        const std::string fd_folder = std::string("/proc/") + entry->d_name + "/fd";
        DIR *fds = opendir(fd_folder.c_str());
        if (fds == nullptr) {
            if (errno == EACCES)
                ++*unreadable;
            continue;
        }
        bool holds = false;
        while (const dirent *fd = readdir(fds)) {
            if (fd->d_name[0] == '.')
                continue;
            char link[4096];
            const std::string fd_path = fd_folder + "/" + fd->d_name;
            const ssize_t n = readlink(fd_path.c_str(), link, sizeof link - 1);
            if (n > 0 && target.compare(0, std::string::npos, link, static_cast<size_t>(n)) == 0) {
                holds = true;
                break;
            }
        }
        closedir(fds);
        if (holds)
            holders.push_back({pid, read_small_file(std::string("/proc/") + entry->d_name + "/comm")});
    }
    closedir(proc);
    return holders;
}

std::string holders_text(const std::vector<holder> &holders)
{
    std::string text;
    for (const holder &h : holders)
        text += (text.empty() ? "" : ", ") + std::string("pid ") + std::to_string(h.pid) + " (" + h.command + ")";
    return text;
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

// Looks for the device and its neighbours; false (after the verdict) when
// there is nothing to open.
bool device_present(const std::string &device, struct stat *info)
{
    struct stat link_info {};
    if (lstat(device.c_str(), &link_info) != 0) {
        report("device", device + " does not exist");
        const std::vector<std::string> others = serial_devices_in(folder_of(device));
        if (!others.empty()) {
            std::string list;
            for (const std::string &o : others)
                list += (list.empty() ? "" : " ") + o;
            report("found", list);
            return verdict(false, "the board seems to be " + others.front() + ", but this library build opens " +
                                      device + ": use the build for that device, or link it: sudo ln -s " +
                                      others.front() + " " + device);
        }
        return verdict(false, "plug the board in (`dmesg | tail` shows the device it gets); without a board, "
                              "start the emulator: boardsim --link " + device);
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
    if (!S_ISCHR(info->st_mode))
        report("warning", device + " is not a character device");
    return true;
}

struct answer {
    std::string line;
    bool complete = false;
    int64_t after_ms = 0;
};

// Sends what the library sends for analog input 0 and listens for a line.
answer ask_board(int32_t port)
{
    char byte;
    while (port_bytes_waiting(port) > 0)
        if (read_port(port, &byte, 1) != 1)
            break;
    write_port_text(port, "EA0\r");
    const int32_t start = elapsed_ms();
    answer got;
    while (ms_since(start) <= listen_ms) {
        if (port_bytes_waiting(port) > 0 && read_port(port, &byte, 1) == 1) {
            if (byte == '\r' || byte == '\n') {
                if (!got.line.empty()) {
                    got.complete = true;
                    break;
                }
            } else if (byte != '\0') {
                got.line += byte;
            }
            continue;
        }
        delay_ms(1);
    }
    got.after_ms = ms_since(start);
    return got;
}

bool is_reading(const std::string &line, long *value)
{
    size_t i = line.find_first_not_of(" \t");
    if (i == std::string::npos)
        return false;
    char *end = nullptr;
    *value = std::strtol(line.c_str() + i, &end, 10);
    return end != line.c_str() + i;
}

}  // namespace

std::string default_check_device(const std::string &library)
{
    const std::string folder = name_of(folder_of(library));
    return is_serial_name(folder) ? "/dev/" + folder : "/dev/ttyUSB0";
}

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
    if (device.empty())
        device = default_check_device(library_path());
    std::fprintf(shell_out, "check %s\n", device.c_str());

    struct stat info {};
    if (!device_present(device, &info))
        return false;
    if (access(device.c_str(), R_OK | W_OK) != 0) {
        if (errno == EACCES)
            return permission_denied(device, info);
        report("access", std::strerror(errno));
    } else {
        report("permission", "this user may read and write it");
    }

    int unreadable = 0;
    const std::vector<holder> holders = device_holders(device, &unreadable);
    std::string others = holders.empty() ? "no other process has it open" : "open in " + holders_text(holders);
    if (unreadable > 0)
        others += " (" + std::to_string(unreadable) + " processes of other users not looked at)";
    report("users", others);
    if (library_loaded())
        report("note", "this shell's library has its port open too");

    static bool port_table_ready = false;
    if (!port_table_ready) {
        init_port_table();
        port_table_ready = true;
    }
    errno = 0;
    const int32_t port = open_port(-1, device.c_str(), board_baud, 0, 8, 1.0f, 0, 1024, 1024);
    if (port == 0) {
        const int why = errno;
        report("open", std::string("failed: ") + (why != 0 ? std::strerror(why) : "line settings refused"));
        if (why == EBUSY && !holders.empty())
            return verdict(false, "close the program that holds it: " + holders_text(holders));
        if (why == EBUSY)
            return verdict(false, "another program holds the port exclusively: close it");
        return verdict(false, "unplug the board and plug it in again; then run check again");
    }
    report("open", "9600 baud 8N1, raw");
    if (wait_for_board) {
        report("waiting", "2 s for the board to start (opening the port resets it)");
        delay_ms(board_start_ms);
    }
    const answer got = ask_board(port);
    close_port(port);

    long reading = 0;
    if (got.complete && got.after_ms <= answer_limit_ms) {
        if (!is_reading(got.line, &reading)) {
            report("answer", "\"" + got.line + "\" after " + std::to_string(got.after_ms) + " ms: not a number");
            return verdict(false, "something answers, but not our sketch: flash board/ onto it (README)");
        }
        report("answer", "\"" + got.line + "\" after " + std::to_string(got.after_ms) + " ms (limit " +
                             std::to_string(answer_limit_ms) + " ms): EA0 = " +
                             real_text(static_cast<double>(reading) * 5.0 / 1024.0) + " V");
        return verdict(true, "the board answers; the library will work with " + device);
    }
    if (got.complete) {
        report("answer", "\"" + got.line + "\" after " + std::to_string(got.after_ms) +
                             " ms: later than the library waits (" + std::to_string(answer_limit_ms) + " ms)");
        return verdict(false, "the board answers too slowly: check that its sketch is ours and runs at 9600 baud");
    }
    if (!got.line.empty()) {
        report("answer", "bytes but no line end within " + std::to_string(listen_ms) + " ms: \"" + got.line + "\"");
        return verdict(false, "wrong speed or wrong sketch: flash board/ (9600 baud) onto the board");
    }
    report("answer", "none within " + std::to_string(listen_ms) + " ms");
    if (!holders.empty())
        return verdict(false, "stop " + holders_text(holders) + ": it has the port open and may take the answers");
    if (!wait_for_board)
        return verdict(false, "try again without --no-wait: the board may still have been starting");
    return verdict(false, "flash the sketch in board/ onto the board (README), then unplug and plug it in");
}
