// A terminal as a person's is: a new pseudo-terminal whose session `script`
// (util-linux) starts, its leader running `sleep` on it. Everything written
// on the terminal comes out of script, so what a program wrote there can be
// read back. Made by forking: make it before a library is loaded, whose load
// notes its process's forks.
#pragma once

#include <string>
#include <sys/types.h>

class someones_terminal {
public:
    // The session's leader runs `leader` (a program like sleep, by its path
    // or name; a link to sleep gives the leader that link's name).
    // Throws std::runtime_error when script does not start.
    explicit someones_terminal(const std::string &leader = "sleep");
    ~someones_terminal();  // ends script; the session ends with its terminal
    someones_terminal(const someones_terminal &) = delete;
    someones_terminal &operator=(const someones_terminal &) = delete;

    const std::string &path() const { return path_; }

    // What was written on the terminal since it started.
    std::string written();

private:
    int read_output(int timeout_ms);
    void stop();

    pid_t pid_ = -1;
    int output_ = -1;
    std::string path_;
    std::string seen_;         // script's output so far
    size_t start_length_ = 0;  // of its first line, the terminal's name
};
