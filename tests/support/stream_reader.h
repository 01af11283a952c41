// Reads a stream as a host must: every frame checked, sequence gaps counted
// as lost, bytes that are no frame skipped up to the next one and counted as
// a bad frame, the answers between frames (each in a text frame) kept
// apart. For the tests and benchmarks of the boards that stream (the fake
// board, boardsim, firmsim), which count what the board sent.
#pragma once

#include "stream_frame.h"

#include <cstdint>
#include <string>
#include <vector>

struct stream_tally {
    uint64_t frames = 0;       // whole, valid frames
    uint64_t lost = 0;         // sequence numbers missing between them
    uint64_t bad = 0;          // runs of bytes that were no frame
    uint64_t wrong_time = 0;   // frames whose board time is not the interval after the last
    uint64_t wrong_value = 0;  // frames whose inputs are not what the board was given
    uint32_t first_sequence = 0, last_sequence = 0;
    std::vector<std::string> lines;  // the answers that came between frames, as the text frames held them
};

class stream_reader {
public:
    // expected: what each analog input and the digital inputs must read.
    stream_reader(uint8_t amask, uint8_t dmask, uint32_t interval_us, const stream_frame::sample_set &expected);

    void take(const char *bytes, size_t count);
    const stream_tally &tally() const { return tally_; }

private:
    void frame(const stream_frame::sample_set &samples);
    void end_skipped();

    uint8_t amask_, dmask_;
    uint32_t interval_us_;
    stream_frame::sample_set expected_;
    std::string pending_;  // bytes not yet read as a frame
    bool skipping_ = false;  // bytes since the last frame were none
    stream_tally tally_;
    stream_frame::sample_set last_{};
};
