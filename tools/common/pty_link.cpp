#include "pty_link.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "processes.h"

bool open_pty(pty_ends &ends, const termios *settings)
{
    int master = -1, slave = -1;
    // Not openpty's name buffer: it has no size.
    if (openpty(&master, &slave, nullptr, settings, nullptr) != 0)
        return false;
    char name[256];
    if (ptsname_r(master, name, sizeof name) != 0) {
        const int failure = errno;
        close(slave);
        close(master);
        errno = failure;
        return false;
    }
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    ends = {master, slave, name};
    return true;
}

int open_board_pty(std::string &slave_path)
{
    termios raw{};
    cfmakeraw(&raw);
    cfsetispeed(&raw, B9600);
    cfsetospeed(&raw, B9600);
    pty_ends ends;
    if (!open_pty(ends, &raw))
        return -1;
    slave_path = ends.slave_path;
    close(ends.slave);
    return ends.master;
}

namespace {

std::string link_target(const std::string &path)
{
    char target[4096];
    const ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
    if (length < 0)
        return "";
    return std::string(target, static_cast<size_t>(length));
}

}  // namespace

namespace {

// The pty number of a slave path, -1 for anything else.
int pty_index(const std::string &path)
{
    const std::string prefix = "/dev/pts/";
    if (!path.starts_with(prefix) || path.size() == prefix.size() ||
        path.find_first_not_of("0123456789", prefix.size()) != std::string::npos || path.size() > prefix.size() + 9)
        return -1;
    return std::stoi(path.substr(prefix.size()));
}

}  // namespace

std::string make_link(const std::string &link_path, const std::string &target)
{
    if (symlink(target.c_str(), link_path.c_str()) == 0)
        return "";
    if (errno != EEXIST)
        return std::strerror(errno);
    struct stat info{};
    if (lstat(link_path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode))
        return "it exists and is not a symbolic link (a real device?)";
    // A link left by an emulator that was killed leads to a pty that is gone,
    // or whose number a new pty (ours, perhaps) has taken since.
    const std::string old_target = link_target(link_path);
    const int index = pty_index(old_target);
    const bool gone = stat(link_path.c_str(), &info) != 0 && errno == ENOENT;
    if (!gone && index < 0)
        return "it exists and leads to " + old_target + ", which is not an emulator's terminal";
    if (!gone && old_target != target) {
        // Another process, not this one: whoever made a link to it is gone
        // when none holds it.
        if (const long holder = pty_master_holder(files_of_other_processes(nullptr), index))
            return "it leads to " + old_target + ", the terminal of " + process_text(holder) +
                   " (another emulator? end it, or choose another --link)";
    }
    unlink(link_path.c_str());
    if (symlink(target.c_str(), link_path.c_str()) != 0)
        return std::strerror(errno);
    return "";
}

void remove_link(const std::string &link_path, const std::string &target)
{
    if (!link_path.empty() && link_target(link_path) == target)
        unlink(link_path.c_str());
}
