// A stream the board times (board_stream.cpp): its inputs and interval, the
// ring of samples the board's reader fills from the frames it finds, and
// every count of what was lost on the way. Used with the board's line lock
// held.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "arduinoboard.h"
#include "stream_frame.h"

class board_stream {
public:
    board_stream(unsigned analog_mask, unsigned digital_mask, int32_t interval_us, int32_t started_ms);

    uint8_t analog_mask() const { return analog_mask_; }
    uint8_t digital_mask() const { return digital_mask_; }
    int32_t interval_us() const { return interval_us_; }

    // What the link's counters gain.
    struct counts {
        uint64_t lost = 0, bad = 0, dropped = 0;
    };

    // A frame the reader found, and when it arrived.
    counts keep(const stream_frame::sample_set &frame, int64_t arrived_ns, int32_t now_ms);

    // The board said the stream ended, having numbered `frames`: those never
    // received after the last one are lost.
    counts confirm_end(uint32_t frames);

    // The stream ended (`status`, AB_OK when the program stopped it):
    // what is in the ring stays readable, then the status is told once.
    void end(ab_status status, const std::string &why);
    bool running() const { return !ended_; }
    // The program asked for the end; frames still count until it comes.
    bool stopping = false;
    // Ended at the program's word (its stop was confirmed, or not).
    bool stopped() const { return ended_ && stopping; }

    // Up to `max` samples, the oldest first.
    size_t take(ab_sample *samples, size_t max);
    size_t held() const { return held_; }
    // Once the ring is empty after the end: the end's status the first time
    // (why in `why`), then AB_NOT_STREAMING.
    ab_status end_status(std::string *why);
    // Samples nobody will read (a new stream replaces this one): counted
    // as dropped.
    uint64_t discard();

    // Milliseconds since the last frame (or the start).
    int64_t silent_ms(int32_t now_ms) const;
    // How long the board may stay silent before the stream counts as
    // stopped: 3 intervals and 100 ms.
    int64_t silence_limit_ms() const;

private:
    uint8_t analog_mask_, digital_mask_;
    int32_t interval_us_;
    std::vector<ab_sample> ring_;
    size_t first_ = 0, held_ = 0;
    bool ended_ = false, end_told_ = false;
    ab_status end_status_ = AB_OK;
    std::string end_why_;
    int32_t last_frame_ms_;
    bool first_frame_ = true;
    uint32_t next_sequence_ = 0;
    uint32_t last_time_us_ = 0;
    int64_t board_time_us_ = 0;  // the last frame's, beyond its 32 bits
};
