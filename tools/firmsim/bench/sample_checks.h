// What a program reading a board's stream through ab_stream_read can check
// of the samples it gets: that their numbers follow one another, that the
// board's times are exactly the interval apart, and that each value is its
// input's own. The link's counts (ab_link) tell what the library saw; these
// tell what reached the program.
#pragma once

#include "arduinoboard.h"
#include "stream_frame.h"

#include <cstddef>
#include <cstdint>

struct sample_tally {
    uint64_t samples = 0;
    uint64_t missing = 0;       // numbers skipped between samples read (lost on the line or dropped)
    uint64_t out_of_order = 0;  // samples whose number is not after the last one's
    uint64_t off_interval = 0;  // samples whose board time is not the interval per number after the last one's
    uint64_t wrong_values = 0;  // values (an analog input's, or the digital levels) not their input's own
    uint64_t wrong_samples = 0; // samples holding any such value
};

class sample_checks {
public:
    // expected: what each input of the masks must read.
    sample_checks(unsigned analog_mask, unsigned digital_mask, int32_t interval_us,
                  const stream_frame::sample_set &expected);

    // The samples of one ab_stream_read, in the order they came.
    void take(const ab_sample *samples, size_t count);
    const sample_tally &tally() const { return tally_; }

private:
    unsigned analog_mask_, digital_mask_;
    int64_t interval_us_;
    stream_frame::sample_set expected_;
    sample_tally tally_;
    bool first_ = true;
    uint32_t last_sequence_ = 0;
    int64_t last_time_us_ = 0;
};
