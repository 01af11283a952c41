#include "session_terminal.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace {

// A process's directory in /proc: a name of digits only.
bool is_process_name(const char *name)
{
    if (*name == '\0')
        return false;
    for (; *name != '\0'; ++name)
        if (*name < '0' || *name > '9')
            return false;
    return true;
}

// A device number in the kernel's 32-bit encoding (minor bits 0-7 and 20-31,
// major bits 8-19), which glibc's major() and minor() read.
void split_device(uint32_t encoded, unsigned int *major_number, unsigned int *minor_number)
{
    const dev_t device = encoded;
    *major_number = major(device);
    *minor_number = minor(device);
}

// The controlling terminal of the process whose /proc/<pid>/stat is `line`:
// field 7 (tty_nr), counted after the last ')', since the command name before
// it may hold spaces and parentheses. False when the line does not have it.
bool terminal_of(const char *line, size_t length, unsigned int *major_number, unsigned int *minor_number)
{
    const char *end_of_name = static_cast<const char *>(memrchr(line, ')', length));
    if (end_of_name == nullptr)
        return false;
    // state, ppid, pgrp, session, then tty_nr.
    const char *at = end_of_name + 1;
    const char *const end = line + length;
    for (int field = 3; field <= 7; ++field) {
        while (at < end && *at == ' ')
            ++at;
        const char *const start = at;
        while (at < end && *at != ' ')
            ++at;
        if (at == start || at == end)
            return false;
        if (field == 7) {
            char *parsed_end = nullptr;
            const long long tty_nr = std::strtoll(start, &parsed_end, 10);
            if (parsed_end != at)
                return false;
            split_device(static_cast<uint32_t>(tty_nr), major_number, minor_number);
        }
    }
    return true;
}

// Whether process `pid` (its name in /proc) has the terminal as its own.
bool has_terminal(int proc, const char *pid, unsigned int major_number, unsigned int minor_number)
{
    char path[32];
    if (std::strlen(pid) > sizeof path - sizeof "/stat")
        return false;
    std::strcpy(path, pid);
    std::strcat(path, "/stat");
    const int fd = openat(proc, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;  // gone since, or hidden
    // What comes before tty_nr: the pid, a command name of at most 64 bytes
    // (a kernel worker's) and four short fields.
    char line[512];
    size_t length = 0;
    while (length < sizeof line) {
        const ssize_t got = read(fd, line + length, sizeof line - length);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        length += static_cast<size_t>(got);
    }
    close(fd);
    unsigned int found_major = 0, found_minor = 0;
    return terminal_of(line, length, &found_major, &found_minor) && found_major == major_number &&
           found_minor == minor_number;
}

}  // namespace

bool is_session_terminal(int fd)
{
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode))
        return false;
    // The caller's own terminal is the one the kernel tells of.
    if (tcgetsid(fd) != -1)
        return true;
    // The terminal behind the node: /dev/console and /dev/tty0 lead to the
    // console in use, whose number the sessions have. Where the kernel does
    // not tell (an emulator; a pty slave, for which it gives 0), the node's
    // own number.
    unsigned int major_number = major(info.st_rdev), minor_number = minor(info.st_rdev);
    unsigned int behind = 0;
    if (ioctl(fd, TIOCGDEV, &behind) == 0 && behind != 0)
        split_device(behind, &major_number, &minor_number);
    const int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc < 0)
        return false;
    DIR *const processes = fdopendir(proc);
    if (processes == nullptr) {
        close(proc);
        return false;
    }
    bool found = false;
    while (!found) {
        const dirent *entry = readdir(processes);
        if (entry == nullptr)
            break;
        found = is_process_name(entry->d_name) && has_terminal(proc, entry->d_name, major_number, minor_number);
    }
    closedir(processes);
    return found;
}
