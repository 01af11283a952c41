#include "file_text.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool read_file_text(const std::string &path, size_t limit, std::string *text, std::string *error)
{
    text->clear();
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *error = std::strerror(errno);
        return false;
    }
    struct stat info {};
    bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    if (!ok)
        *error = S_ISREG(info.st_mode) ? std::strerror(errno) : "not a regular file";
    char buffer[4096];
    while (ok) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ok = false;
            *error = std::strerror(errno);
        } else if (n == 0) {
            break;
        } else if (text->size() + static_cast<size_t>(n) > limit) {
            ok = false;
            *error = "larger than " + std::to_string(limit) + " bytes";
        } else {
            text->append(buffer, static_cast<size_t>(n));
        }
    }
    close(fd);
    if (!ok)
        text->clear();
    return ok;
}

std::string trimmed(std::string_view text)
{
    constexpr std::string_view whitespace = " \t\r\n\v\f";
    const size_t first = text.find_first_not_of(whitespace);
    if (first == std::string_view::npos)
        return "";
    return std::string(text.substr(first, text.find_last_not_of(whitespace) - first + 1));
}
