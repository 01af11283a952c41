// The driver's end of a board's terminal for tests that speak the sketch's
// protocol themselves: raw both ways (a CR stays a CR, a stream's frames stay
// binary), lines sent with their CR, what comes read for a while.
#pragma once

#include <string>

class raw_line {
public:
    explicit raw_line(const std::string &path);
    ~raw_line();
    raw_line(const raw_line &) = delete;
    raw_line &operator=(const raw_line &) = delete;

    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    // Writes the line and its CR.
    bool send(const std::string &line);
    // What arrives within timeout_ms, or until `until` is in it.
    std::string read_for(int timeout_ms, const std::string &until = "");
    // What one read gives within timeout_ms (at most `size` bytes); 0 for
    // nothing.
    size_t read_some(char *buffer, size_t size, int timeout_ms);

private:
    int fd_;
};
