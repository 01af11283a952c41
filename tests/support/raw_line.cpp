#include "raw_line.h"

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

raw_line::raw_line(const std::string &path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC))
{
    termios raw{};
    tcgetattr(fd_, &raw);
    cfmakeraw(&raw);
    cfsetispeed(&raw, B9600);
    cfsetospeed(&raw, B9600);
    tcsetattr(fd_, TCSANOW, &raw);
}

raw_line::~raw_line()
{
    if (fd_ >= 0)
        close(fd_);
}

bool raw_line::send(const std::string &line)
{
    const std::string bytes = line + "\r";
    return write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

size_t raw_line::read_some(char *buffer, size_t size, int timeout_ms)
{
    pollfd readable{fd_, POLLIN, 0};
    if (poll(&readable, 1, timeout_ms) <= 0)
        return 0;
    const ssize_t count = read(fd_, buffer, size);
    return count > 0 ? static_cast<size_t>(count) : 0;
}

std::string raw_line::read_for(int timeout_ms, const std::string &until)
{
    using clock = std::chrono::steady_clock;
    std::string got;
    const auto end = clock::now() + std::chrono::milliseconds(timeout_ms);
    while (clock::now() < end && (until.empty() || got.find(until) == std::string::npos)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - clock::now()).count();
        char bytes[512];
        got.append(bytes, read_some(bytes, sizeof bytes, static_cast<int>(std::max<long long>(left, 0))));
    }
    return got;
}
