// The shell's results and messages caught in memory for as long as a test
// holds this (a fixture inherits it), then sent back to stdout and stderr.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "shell.h"

class shell_output {
public:
    shell_output()
    {
        out_ = open_memstream(&out_text_, &out_size_);
        err_ = open_memstream(&err_text_, &err_size_);
        shell_out = out_;
        shell_err = err_;
    }
    ~shell_output()
    {
        shell_out = stdout;
        shell_err = stderr;
        std::fclose(out_);
        std::fclose(err_);
        std::free(out_text_);
        std::free(err_text_);
    }
    shell_output(const shell_output &) = delete;
    shell_output &operator=(const shell_output &) = delete;

    std::string out()
    {
        std::fflush(out_);
        return std::string(out_text_, out_size_);
    }
    std::string err()
    {
        std::fflush(err_);
        return std::string(err_text_, err_size_);
    }
    // Forgets what was caught so far.
    void clear()
    {
        for (FILE *stream : {out_, err_}) {
            std::fflush(stream);
            std::rewind(stream);
        }
        out_size_ = err_size_ = 0;
    }

private:
    FILE *out_ = nullptr;
    FILE *err_ = nullptr;
    char *out_text_ = nullptr;
    char *err_text_ = nullptr;
    size_t out_size_ = 0;
    size_t err_size_ = 0;
};

// The lines of a text, each without its '\n'.
inline std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        const size_t end = text.find('\n', at);
        lines.push_back(text.substr(at, end - at));
        at = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}
