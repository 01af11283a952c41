#include "firmsim_process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <poll.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

long long now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

firmsim_process::firmsim_process(const std::string &program, const std::vector<std::string> &arguments,
                                 bool merge_stderr)
{
    int in[2], out[2];
    if (pipe(in) != 0)
        return;
    if (pipe(out) != 0) {
        close(in[0]);
        close(in[1]);
        return;
    }
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(program.c_str()));
    for (const std::string &argument : arguments)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        if (merge_stderr)
            dup2(out[1], STDERR_FILENO);
        for (int fd : {in[0], in[1], out[0], out[1]})
            close(fd);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    to_child_ = in[1];
    from_child_ = out[0];
    if (pid_ < 0)
        return;
    signal(SIGPIPE, SIG_IGN);
    slave_ = read_line(5000);
    if (!slave_.empty() && slave_[0] == '/')
        output_.clear();
    else
        slave_.clear();  // a message, not a path: it kept to output()
}

firmsim_process::~firmsim_process()
{
    stop();
}

std::string firmsim_process::read_line(int timeout_ms)
{
    const long long end = now_ms() + timeout_ms;
    for (;;) {
        const auto newline = pending_.find('\n');
        if (newline != std::string::npos) {
            std::string line = pending_.substr(0, newline);
            pending_.erase(0, newline + 1);
            output_ += line + "\n";
            return line;
        }
        const long long left = end - now_ms();
        if (from_child_ < 0 || left <= 0)
            return "";
        pollfd readable{from_child_, POLLIN, 0};
        if (poll(&readable, 1, static_cast<int>(left)) <= 0)
            continue;
        char bytes[4096];
        const ssize_t count = read(from_child_, bytes, sizeof bytes);
        if (count <= 0) {
            close(from_child_);
            from_child_ = -1;
            continue;
        }
        pending_.append(bytes, static_cast<size_t>(count));
    }
}

std::string firmsim_process::command(const std::string &line, int timeout_ms)
{
    const std::string text = line + "\n";
    if (to_child_ < 0 || write(to_child_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        return "";
    return read_line(timeout_ms);
}

std::map<std::string, std::string> report_fields(const std::string &line)
{
    std::map<std::string, std::string> fields;
    std::istringstream words(line);
    std::string word;
    words >> word;
    if (word != "report")
        return fields;
    while (words >> word) {
        const auto equals = word.find('=');
        if (equals != std::string::npos)
            fields[word.substr(0, equals)] = word.substr(equals + 1);
    }
    return fields;
}

std::map<std::string, std::string> firmsim_process::report()
{
    return report_fields(command("report"));
}

bool firmsim_process::wait_until(const std::function<bool(const std::string &)> &holds, const std::string &name,
                                 int timeout_ms)
{
    const long long end = now_ms() + timeout_ms;
    do {
        const auto fields = report();
        const auto field = fields.find(name);
        if (field != fields.end() && holds(field->second))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (now_ms() < end);
    return false;
}

bool firmsim_process::wait_for(const std::string &name, long value, int timeout_ms)
{
    return wait_until([value](const std::string &field) { return std::atol(field.c_str()) >= value; }, name,
                      timeout_ms);
}

bool firmsim_process::wait_for_field(const std::string &name, const std::string &value, int timeout_ms)
{
    return wait_until([&value](const std::string &field) { return field == value; }, name, timeout_ms);
}

int firmsim_process::stop(int timeout_ms)
{
    if (pid_ > 0)
        kill(pid_, SIGTERM);
    return wait_exit(timeout_ms);
}

int firmsim_process::wait_exit(int timeout_ms)
{
    if (pid_ <= 0)
        return -1;
    int status = 0;
    const long long end = now_ms() + timeout_ms;
    pid_t done = 0;
    while ((done = waitpid(pid_, &status, WNOHANG)) == 0 && now_ms() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (done == 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    // What it printed at exit.
    while (!read_line(200).empty()) {
    }
    output_ += pending_;
    pending_.clear();
    if (to_child_ >= 0)
        close(to_child_);
    to_child_ = -1;
    if (from_child_ >= 0)
        close(from_child_);
    from_child_ = -1;
    return done != 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
