// A board on another machine, as users reach it with Debian's ser2net and
// socat, here with both ends on this machine and the loopback address only:
// ser2net serves a serial device on a TCP port, and socat makes a local
// pseudo-terminal link to that port which the library opens.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

// The path of a program on PATH or in the system folders (ser2net lives in
// /usr/sbin, outside an ordinary user's PATH); "" when it is not installed.
std::string find_program(const std::string &name);

// A TCP port on 127.0.0.1 that nothing uses at the moment (0 if none).
int free_loopback_port();

// Whether something listens on 127.0.0.1:port. Read from /proc/net/tcp, not
// by connecting: each connection to ser2net opens, and so restarts, the board.
bool loopback_port_listening(int port);

// A program run in a process group of its own, its output in a log file;
// stop() ends the whole group, so a shell loop goes with the program it runs.
// The group also ends when the process that started it dies.
class process_group {
public:
    process_group() = default;
    ~process_group() { stop(); }
    process_group(const process_group &) = delete;
    process_group &operator=(const process_group &) = delete;

    bool start(const std::vector<std::string> &argv, const std::string &log_path);
    bool running();
    // SIGTERM to the group, SIGKILL to what is left after timeout_ms.
    void stop(int timeout_ms = 3000);

private:
    pid_t pid_ = -1;
};

// ser2net serving `device` (9600 8N1, modem lines ignored) on 127.0.0.1:port;
// its configuration file and log are written into `folder`.
class ser2net_server {
public:
    ser2net_server(std::string program, std::string folder, std::string device, int port);

    // Starts it and waits until it listens; false (see log()) if it did not.
    bool start(int timeout_ms = 5000);
    void stop() { process_.stop(); }

    std::string config_path() const { return folder_ + "/ser2net.yaml"; }
    std::string log() const { return folder_ + "/ser2net.log"; }

private:
    std::string program_, folder_, device_;
    int port_;
    process_group process_;
};

// socat making `link` a pseudo-terminal joined to 127.0.0.1:port, in a loop:
// it waits for the server, and when the connection ends (the server stopped)
// the link goes and socat starts over, as a user's loop on the host would.
class socat_link {
public:
    socat_link(std::string program, std::string link, int port, std::string log);

    bool start();
    void stop();
    // Waits until the link exists (socat makes it once it has connected).
    bool wait_for_link(int timeout_ms) const;
    const std::string &log() const { return log_; }

private:
    std::string program_, link_, log_;
    int port_;
    process_group process_;
};

// The ser2net configuration for `device` on 127.0.0.1:port.
std::string ser2net_config(const std::string &device, int port);
