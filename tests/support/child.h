// Runs part of a test in a forked child: the library's load routine runs once
// per process, so every case that needs fresh driver state gets its own child.
#pragma once

#include <functional>
#include <string>

struct child_result {
    int exit_code = -1;  // -1 when the child was killed by a signal or timed out
    int signal = 0;
    std::string out;     // what the child wrote to its standard output
};

// Runs `body` in a child and waits at most timeout_ms. GoogleTest assertions
// may be used inside: the child exits 1 when any of them failed, 0 otherwise.
// Threads do not survive fork: make fake boards inside the body, before the
// library is loaded there. With capture_stdout the child's descriptor 1 goes to a pipe read into `out`.
child_result run_in_child(const std::function<void()> &body, int timeout_ms = 30000,
                          bool capture_stdout = false);
