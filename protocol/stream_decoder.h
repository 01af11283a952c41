// The host's side of a stream: finds the board's frames in the bytes that
// come, checks each, and gives back the samples in them. A frame whose check
// fails is counted and skipped, and the next one is found after whatever
// noise there is; a value is never taken from a frame that failed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct decoded_frame {
    uint32_t sequence = 0;
    uint32_t board_time_us = 0;  // the board's clock, wrapping after 2^32 us
    int32_t analog[6] = {};      // of the stream's analog inputs, in channel order
    uint8_t digital = 0;
};

class stream_decoder {
public:
    stream_decoder(unsigned analog_mask, unsigned digital_mask);

    // Takes received bytes; returns the frames they completed, in order.
    // Bytes that are no frame are kept in text() (an answer line that
    // follows the stream).
    std::vector<decoded_frame> take(const char *bytes, size_t count);

    // Frames found whose check failed.
    uint64_t bad() const { return bad_; }
    // What came besides frames, lately (the end of the stream's answer).
    const std::string &text() const { return text_; }

    // Bytes a frame of this stream takes on the line.
    size_t frame_size() const;

private:
    uint8_t analog_mask_, digital_mask_;
    std::string pending_;
    std::string text_;
    uint64_t bad_ = 0;
};
