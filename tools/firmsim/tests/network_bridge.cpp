#include "network_bridge.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

long long now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void pause_ms(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace

std::string find_program(const std::string &name)
{
    const char *path = getenv("PATH");
    std::string folders = path != nullptr ? path : "";
    folders += ":/usr/sbin:/sbin:/usr/bin:/bin";
    std::istringstream list(folders);
    std::string folder;
    while (std::getline(list, folder, ':')) {
        if (folder.empty())
            continue;
        const std::string candidate = folder + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return "";
}

int free_loopback_port()
{
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;  // the kernel picks one that is free
    socklen_t size = sizeof address;
    int port = 0;
    if (bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr *>(&address), &size) == 0)
        port = ntohs(address.sin_port);
    close(s);
    return port;
}

bool loopback_port_listening(int port)
{
    // Lines of "sl local_address rem_address st ...", addresses in hex as
    // the kernel holds them: 127.0.0.1 is 0100007F, LISTEN is state 0A.
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, "0100007F:%04X", static_cast<unsigned>(port));
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (local == wanted && state == "0A")
            return true;
    }
    return false;
}

bool process_group::start(const std::vector<std::string> &argv, const std::string &log_path)
{
    stop();
    std::vector<char *> args;
    for (const std::string &argument : argv)
        args.push_back(const_cast<char *>(argument.c_str()));
    args.push_back(nullptr);
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ < 0)
        return false;
    if (pid_ == 0) {
        setpgid(0, 0);
        // A test killed on its timeout takes its servers with it.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(127);
        const int null = open("/dev/null", O_RDONLY);
        const int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (null < 0 || log < 0)
            _exit(127);
        dup2(null, STDIN_FILENO);
        dup2(log, STDOUT_FILENO);
        dup2(log, STDERR_FILENO);
        // Nothing of the test's own (a loaded library's port) goes with it.
        for (int fd = 3; fd < 1024; ++fd)
            close(fd);
        signal(SIGPIPE, SIG_DFL);
        execv(args[0], args.data());
        _exit(127);
    }
    setpgid(pid_, pid_);  // as the child does: no window in which stop() misses it
    return true;
}

bool process_group::running()
{
    return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0;
}

void process_group::stop(int timeout_ms)
{
    if (pid_ <= 0)
        return;
    const pid_t group = pid_;
    kill(-group, SIGTERM);
    const long long end = now_ms() + timeout_ms;
    pid_t done = 0;
    while ((done = waitpid(pid_, nullptr, WNOHANG)) == 0 && now_ms() < end)
        pause_ms(10);
    // The others of the group (socat under its loop) are not our children:
    // wait until they have gone as well.
    while (kill(-group, 0) == 0 && now_ms() < end)
        pause_ms(10);
    kill(-group, SIGKILL);
    if (done == 0)
        waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

std::string ser2net_config(const std::string &device, int port)
{
    // kickolduser: a connection the server still thinks alive never keeps
    // the host's next one out. chardelay off: each answer is forwarded as
    // it comes, not after a wait of two characters' time; nodelay: and
    // sent at once, not held by TCP for the host's delayed acknowledgement.
    std::ostringstream text;
    text << "connection: &board\n"
         << "  accepter: tcp(nodelay=true),127.0.0.1," << port << "\n"
         << "  connector: serialdev," << device << ",9600n81,local\n"
         << "  options:\n"
         << "    kickolduser: true\n"
         << "    chardelay: false\n";
    return text.str();
}

ser2net_server::ser2net_server(std::string program, std::string folder, std::string device, int port)
    : program_(std::move(program)), folder_(std::move(folder)), device_(std::move(device)), port_(port)
{
    // One log a run; its restarts append to it.
    std::ofstream{log()};
}

bool ser2net_server::start(int timeout_ms)
{
    std::ofstream(config_path()) << ser2net_config(device_, port_);
    // -n: in the foreground; -u: no lock file in /var/lock; -P: its pid file
    // here, not in /run.
    if (!process_.start({program_, "-n", "-u", "-c", config_path(), "-P", folder_ + "/ser2net.pid"}, log()))
        return false;
    const long long end = now_ms() + timeout_ms;
    while (now_ms() < end) {
        if (loopback_port_listening(port_))
            return true;
        if (!process_.running())
            return false;
        pause_ms(20);
    }
    return false;
}

socat_link::socat_link(std::string program, std::string link, int port, std::string log)
    : program_(std::move(program)), link_(std::move(link)), log_(std::move(log)), port_(port)
{
    std::ofstream{log_};
}

bool socat_link::start()
{
    // The server first: the link appears only once the connection is up, and
    // while the server is away socat tries again every 200 ms.
    const std::string server = "tcp:127.0.0.1:" + std::to_string(port_) + ",forever,interval=0.2";
    const std::string terminal = "pty,link=" + link_ + ",raw,echo=0";
    return process_.start({"/bin/sh", "-c", "while :; do \"$0\" \"$@\"; sleep 0.2; done", program_, "-d", server,
                           terminal},
                          log_);
}

void socat_link::stop()
{
    process_.stop();
    // socat removes its link when it ends, but not when it is killed.
    unlink(link_.c_str());
}

bool socat_link::wait_for_link(int timeout_ms) const
{
    const long long end = now_ms() + timeout_ms;
    struct stat info{};
    while (stat(link_.c_str(), &info) != 0) {
        if (now_ms() >= end)
            return false;
        pause_ms(20);
    }
    return true;
}
