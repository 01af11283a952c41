// A trace (ARDUINODRV_TRACE) as the tests compare it: its lines without
// their time, "<port> <event>[: <details>]", an answer's milliseconds as N.
#pragma once

#include <fstream>
#include <iterator>
#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <unistd.h>
#include <vector>

#include "protocol/trace_line.h"

// The events of `text`; every line must come from `library` in this process.
inline std::vector<std::string> trace_events(const std::string &text, const std::string &library)
{
    std::vector<std::string> events;
    const std::regex after(" after [0-9]+ ms");
    size_t at = 0;
    while (at < text.size()) {
        const size_t end = text.find('\n', at);
        const std::string line = text.substr(at, end - at);
        at = end == std::string::npos ? text.size() : end + 1;
        trace_line parsed;
        EXPECT_TRUE(parse_trace_line(line, &parsed)) << line;
        EXPECT_EQ(line.find(library + "[" + std::to_string(getpid()) + "] "), 0u) << line;
        const std::string event =
            parsed.port + " " + parsed.event + (parsed.details.empty() ? "" : ": ") + parsed.details;
        events.push_back(std::regex_replace(event, after, " after N ms"));
    }
    return events;
}

// The whole of a file ("" when it cannot be read).
inline std::string file_text(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
