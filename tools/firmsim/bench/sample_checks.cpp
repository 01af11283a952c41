#include "sample_checks.h"

sample_checks::sample_checks(unsigned analog_mask, unsigned digital_mask, int32_t interval_us,
                             const stream_frame::sample_set &expected)
    : analog_mask_(analog_mask), digital_mask_(digital_mask), interval_us_(interval_us), expected_(expected)
{
}

void sample_checks::take(const ab_sample *samples, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        const ab_sample &sample = samples[i];
        ++tally_.samples;
        uint64_t wrong = 0;
        for (int input = 0; input < stream_frame::analog_inputs; ++input)
            wrong += (analog_mask_ >> input & 1) != 0 && sample.analog[input] != expected_.analog[input];
        wrong += digital_mask_ != 0 && (sample.digital & digital_mask_) != (expected_.digital & digital_mask_);
        tally_.wrong_values += wrong;
        tally_.wrong_samples += wrong != 0;
        // The board's numbers are 32 bits: the step wraps with them, and one
        // of half their range or more goes back. A sample that goes back is
        // no place to measure the next one's step from.
        const uint32_t step = sample.sequence - last_sequence_;
        if (!first_ && (step == 0 || step >= 0x80000000u)) {
            ++tally_.out_of_order;
            continue;
        }
        if (!first_) {
            tally_.missing += step - 1;
            tally_.off_interval += sample.board_time_us - last_time_us_ != int64_t{step} * interval_us_;
        }
        first_ = false;
        last_sequence_ = sample.sequence;
        last_time_us_ = sample.board_time_us;
    }
}
