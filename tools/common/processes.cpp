#include "processes.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string read_proc_file(const std::string &path)
{
    std::string text;
    if (FILE *f = std::fopen(path.c_str(), "r")) {
        char buffer[4096];
        const size_t n = std::fread(buffer, 1, sizeof buffer, f);
        text.assign(buffer, n);
        std::fclose(f);
    }
    return text;
}

std::string base_name(const std::string &path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Runners whose own name says nothing: the program they run does.
bool is_runner(const std::string &name)
{
    for (const char *runner : {"qemu-", "python", "perl", "ruby", "node", "bash", "sh", "valgrind", "ld-linux", "box86"})
        if (name.starts_with(runner))
            return true;
    return false;
}

// Adds what each descriptor in the open /proc/PID/fd folder leads to, and
// closes the folder.
void add_descriptors(long pid, DIR *fds, const std::string &folder, std::vector<held_file> &files)
{
    while (const dirent *fd = readdir(fds)) {
        char *end = nullptr;
        const long number = std::strtol(fd->d_name, &end, 10);
        if (end == fd->d_name || *end != '\0')
            continue;
        char target[4096];
        const ssize_t n = readlink((folder + "/" + fd->d_name).c_str(), target, sizeof target - 1);
        if (n > 0)
            files.push_back({pid, static_cast<int>(number), std::string(target, static_cast<size_t>(n))});
    }
    closedir(fds);
}

}  // namespace

std::vector<held_file> files_of_process(long pid)
{
    std::vector<held_file> files;
    const std::string folder = "/proc/" + std::to_string(pid) + "/fd";
    if (DIR *fds = opendir(folder.c_str()))
        add_descriptors(pid, fds, folder, files);
    return files;
}

std::vector<held_file> files_of_other_processes(int *unreadable)
{
    std::vector<held_file> files;
    if (unreadable != nullptr)
        *unreadable = 0;
    DIR *proc = opendir("/proc");
    if (proc == nullptr)
        return files;
    const long self = static_cast<long>(getpid());
    while (const dirent *entry = readdir(proc)) {
        char *end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || pid == self)
            continue;
        const std::string folder = std::string("/proc/") + entry->d_name + "/fd";
        DIR *fds = opendir(folder.c_str());
        if (fds == nullptr) {
            if (errno == EACCES && unreadable != nullptr)
                ++*unreadable;
            continue;
        }
        add_descriptors(pid, fds, folder, files);
    }
    closedir(proc);
    return files;
}

long pty_master_holder(const std::vector<held_file> &files, int index)
{
    if (index < 0)
        return 0;
    // The master is /dev/ptmx (or devpts' own ptmx); which pty it is, only
    // its descriptor's information says.
    for (const held_file &file : files)
        if (file.target.ends_with("ptmx") && descriptor_field(file.pid, file.fd, "tty-index") == std::to_string(index))
            return file.pid;
    return 0;
}

std::string descriptor_field(long pid, int fd, const std::string &field)
{
    const std::string text =
        read_proc_file("/proc/" + std::to_string(pid) + "/fdinfo/" + std::to_string(fd));
    const std::string key = field + ":";
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        if (text.compare(at, key.size(), key) == 0) {
            const size_t value = text.find_first_not_of(" \t", at + key.size());
            return value < end ? text.substr(value, end - value) : "";
        }
        at = end + 1;
    }
    return "";
}

std::string program_of(long pid)
{
    const std::string folder = "/proc/" + std::to_string(pid);
    std::string name = read_proc_file(folder + "/comm");
    while (!name.empty() && name.back() == '\n')
        name.pop_back();
    if (!is_runner(name))
        return name;
    // The first word of the command line after the runner that is not an
    // option: the program it runs.
    const std::string line = read_proc_file(folder + "/cmdline");
    std::vector<std::string> words;
    for (size_t at = 0; at < line.size();) {
        size_t end = line.find('\0', at);
        if (end == std::string::npos)
            end = line.size();
        words.push_back(line.substr(at, end - at));
        at = end + 1;
    }
    for (size_t i = 1; i < words.size(); ++i) {
        struct stat info {};
        if (words[i].empty() || words[i][0] == '-' || stat(words[i].c_str(), &info) != 0 || !S_ISREG(info.st_mode))
            continue;
        return base_name(words[i]) + " (under " + name + ")";
    }
    return name;
}

std::string process_text(long pid)
{
    return "pid " + std::to_string(pid) + " (" + program_of(pid) + ")";
}

std::set<int> open_descriptors()
{
    std::set<int> fds;
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return fds;
    const int own = dirfd(dir);
    while (const dirent *entry = readdir(dir)) {
        char *end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end != entry->d_name && *end == '\0' && fd != own)
            fds.insert(static_cast<int>(fd));
    }
    closedir(dir);
    return fds;
}
