#include "library_port.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "protocol/board_line.h"

namespace {

constexpr const char *library_file_name = "libarduinodrv.so";
// A build is a few hundred kilobytes; anything far larger is not one.
constexpr long largest_library = 64L * 1024 * 1024;

std::string read_whole_file(const std::string &path)
{
    std::string bytes;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        return bytes;
    char buffer[65536];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0 && static_cast<long>(bytes.size()) < largest_library)
        bytes.append(buffer, n);
    std::fclose(f);
    return bytes;
}

// The absolute paths ending in a port name among the file's texts: the
// build's port path, kept whole by the build.
std::vector<std::string> port_paths_in(const std::string &bytes)
{
    std::vector<std::string> found;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\0', start);
        if (end == std::string::npos)
            end = bytes.size();
        if (end - start > 1 && end - start < 4096 && bytes[start] == '/') {
            const std::string text = bytes.substr(start, end - start);
            if (is_candidate_family_name(name_of(text)) && std::find(found.begin(), found.end(), text) == found.end())
                found.push_back(text);
        }
        start = end + 1;
    }
    return found;
}

}  // namespace

std::string name_of(const std::string &path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string folder_of(const std::string &path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string port_of_build(const std::string &library_file)
{
    const std::vector<std::string> paths = port_paths_in(read_whole_file(library_file));
    if (paths.size() == 1)
        return paths.front();
    const std::string folder = name_of(folder_of(library_file));
    return is_candidate_family_name(folder) ? "/dev/" + folder : "";
}

std::string port_of_library(const std::string &library_file)
{
    const char *chosen = std::getenv(port_variable);
    if (chosen != nullptr && chosen[0] != '\0')
        return chosen;
    return port_of_build(library_file);
}

std::string port_path_problem(const std::string &path)
{
    if (path.empty())
        return "an empty path names no device";
    // The library refuses these two rather than open some other device.
    if (path.size() >= PATH_MAX)
        return "the path is longer than PATH_MAX (" + std::to_string(PATH_MAX) + " bytes)";
    if (std::any_of(path.begin(), path.end(), [](char ch) { return static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F; }))
        return "the path holds a control character (a newline at its end?)";
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return "no such device (it does not exist; `arduinodrv-shell ports` lists the serial devices)";
        return std::strerror(errno);
    }
    if (S_ISDIR(info.st_mode))
        return "it is a folder, not a serial device";
    if (S_ISREG(info.st_mode))
        return "it is a regular file, not a serial device";
    if (!S_ISCHR(info.st_mode) && !S_ISFIFO(info.st_mode))
        return "it is not a serial device";
    return "";
}

std::vector<build_port> builds_beside(const std::string &library_file)
{
    std::vector<build_port> builds;
    const std::string parent = folder_of(folder_of(library_file));
    DIR *dir = opendir(parent.c_str());
    if (dir == nullptr)
        return builds;
    while (const dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        const std::string library = (parent == "/" ? "" : parent) + "/" + entry->d_name + "/" + library_file_name;
        if (access(library.c_str(), R_OK) == 0)
            builds.push_back({library, port_of_build(library)});
    }
    closedir(dir);
    std::sort(builds.begin(), builds.end(),
              [](const build_port &a, const build_port &b) { return a.library < b.library; });
    return builds;
}
