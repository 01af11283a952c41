#include "pty_link.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

int open_board_pty(std::string &slave_path)
{
    termios raw{};
    cfmakeraw(&raw);
    cfsetispeed(&raw, B9600);
    cfsetospeed(&raw, B9600);
    int master = -1, slave = -1;
    char name[256] = {0};
    if (openpty(&master, &slave, name, &raw, nullptr) != 0)
        return -1;
    slave_path = name;
    close(slave);
    const int flags = fcntl(master, F_GETFL);
    fcntl(master, F_SETFL, flags | O_NONBLOCK);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    return master;
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

std::string make_link(const std::string &link_path, const std::string &target)
{
    if (symlink(target.c_str(), link_path.c_str()) == 0)
        return "";
    if (errno != EEXIST)
        return std::strerror(errno);
    struct stat info{};
    const bool is_link = lstat(link_path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
    const bool dangling = is_link && stat(link_path.c_str(), &info) != 0 && errno == ENOENT;
    if (!dangling)
        return is_link ? "it exists and leads to " + link_target(link_path) + " (another emulator?)"
                       : "it exists and is not a symbolic link (a real device?)";
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
