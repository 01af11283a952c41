// The host's end of an emulated board's line, speaking the sketch's protocol
// straight on the terminal (raw_line: a stream's frames are binary): its
// questions, a move to a faster line and the stream's bytes.
#pragma once

#include "raw_line.h"

#include <cstdint>
#include <string>

class board_line {
public:
    // Opens the terminal raw at 9600 baud; ok() tells whether it did.
    explicit board_line(const std::string &path) : line_(path) {}

    bool ok() const { return line_.ok(); }
    int fd() const { return line_.fd(); }

    // Writes the line and its CR.
    bool send(const std::string &line) { return line_.send(line); }
    // Sends `command` and waits for the answer line that starts with
    // `prefix`, skipping anything else; the answer without its CR LF, or ""
    // after timeout_ms.
    std::string ask(const std::string &command, const std::string &prefix, int timeout_ms = 2000);
    // Sends `command` with the next tag and waits for its answer, the
    // value before that tag ("512" of "512k"); "(none)" after timeout_ms.
    std::string request(const std::string &command, int timeout_ms = 2000);
    // Asks XI until the sketch answers (it is starting); false after timeout_ms.
    bool wait_for_sketch(int timeout_ms);
    // XB, then this end to the new rate, then XI at it: true when the board
    // answered there.
    bool move_to(uint32_t baud);
    // Reads what came within timeout_ms (at most `size` bytes); 0 for nothing.
    size_t read_some(char *buffer, size_t size, int timeout_ms) { return line_.read_some(buffer, size, timeout_ms); }
    // What came after the last answer ask() returned (a stream's first
    // frames); given once.
    std::string take_rest();

private:
    raw_line line_;
    std::string pending_;
    char next_tag_ = 'a';
};
