// Runs firmsim as a child process and talks to it through its standard
// input and output: the commands of firmsim --help, one answer line each.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

class firmsim_process {
public:
    // Starts `program` with `arguments` and reads the terminal's path, the
    // first line it prints. failed() tells whether that worked. With
    // merge_stderr its messages come into output() too.
    firmsim_process(const std::string &program, const std::vector<std::string> &arguments,
                    bool merge_stderr = false);
    ~firmsim_process();
    firmsim_process(const firmsim_process &) = delete;
    firmsim_process &operator=(const firmsim_process &) = delete;

    bool failed() const { return slave_.empty(); }
    pid_t pid() const { return pid_; }
    const std::string &slave_path() const { return slave_; }

    // Sends one command and returns its answer line ("" when none came
    // within timeout_ms).
    std::string command(const std::string &line, int timeout_ms = 5000);

    // The report's fields by name; empty when it did not come.
    std::map<std::string, std::string> report();

    // Waits until the report's field `name`, read as a number, reaches at
    // least `value`; false after timeout_ms.
    bool wait_for(const std::string &name, long value, int timeout_ms);
    // Waits until the field reads exactly `value`.
    bool wait_for_field(const std::string &name, const std::string &value, int timeout_ms);

    // Waits for the end, after SIGTERM with stop(); returns the exit status
    // (-1 when killed by a signal or not ended within timeout_ms).
    int wait_exit(int timeout_ms);
    int stop(int timeout_ms = 5000);

    // Everything it printed after the path (answers included), once stopped.
    const std::string &output() const { return output_; }

private:
    std::string read_line(int timeout_ms);
    bool wait_until(const std::function<bool(const std::string &)> &holds, const std::string &name, int timeout_ms);

    pid_t pid_ = -1;
    int to_child_ = -1, from_child_ = -1;
    std::string slave_, pending_, output_;
};

// The fields of one report line.
std::map<std::string, std::string> report_fields(const std::string &line);
