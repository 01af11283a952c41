#include "sample_checks.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr int32_t interval_us = 1000;
constexpr unsigned a0_a2 = 0x5, d0_d1 = 0x3;

stream_frame::sample_set expected()
{
    stream_frame::sample_set set{};
    set.analog[0] = 102;
    set.analog[2] = 430;
    set.digital = 0x1;
    return set;
}

// A right sample of number `sequence`, at the board time that number has.
ab_sample right(uint32_t sequence, int64_t first_time_us = 5000000)
{
    ab_sample sample{};
    sample.sequence = sequence;
    sample.board_time_us = first_time_us + int64_t{sequence} * interval_us;
    sample.analog_mask = a0_a2;
    sample.analog[0] = 102;
    sample.analog[2] = 430;
    sample.analog[1] = 999;  // outside the mask: not the stream's
    sample.digital = 0x1;
    return sample;
}

sample_tally check(const std::vector<std::vector<ab_sample>> &reads)
{
    sample_checks checks(a0_a2, d0_d1, interval_us, expected());
    for (const std::vector<ab_sample> &read : reads)
        checks.take(read.data(), read.size());
    return checks.tally();
}

}  // namespace

TEST(SampleChecks, SamplesThatFollowOnAcrossReadsAreRight)
{
    const sample_tally tally = check({{right(0), right(1)}, {}, {right(2), right(3), right(4)}});
    EXPECT_EQ(tally.samples, 5u);
    EXPECT_EQ(tally.missing + tally.off_interval + tally.wrong_values + tally.out_of_order, 0u);
}

TEST(SampleChecks, AGapIsMissingNumbersAndItsTimeMustSpanThem)
{
    // From 3 to 7: three numbers missing, and four intervals between the
    // two board times, as there must be.
    sample_tally tally = check({{right(2), right(3)}, {right(7), right(8)}});
    EXPECT_EQ(tally.missing, 3u);
    EXPECT_EQ(tally.off_interval, 0u);

    // A gap whose time is one interval only: the board's clock and its
    // numbers disagree.
    ab_sample after_gap = right(5);
    after_gap.board_time_us = right(3).board_time_us + interval_us;
    tally = check({{right(3), after_gap}});
    EXPECT_EQ(tally.missing, 1u);
    EXPECT_EQ(tally.off_interval, 1u);
}

TEST(SampleChecks, ASampleOffTheIntervalCountsWithBothNeighbours)
{
    ab_sample late = right(11);
    late.board_time_us += 4;
    const sample_tally tally = check({{right(10), late, right(12), right(13)}});
    EXPECT_EQ(tally.off_interval, 2u);
    EXPECT_EQ(tally.missing, 0u);
}

TEST(SampleChecks, WrongValuesCountEachInputOfTheMasksAlone)
{
    ab_sample a2_wrong = right(1);
    a2_wrong.analog[2] = 431;
    ab_sample both_wrong = right(2);
    both_wrong.analog[0] = 0;
    both_wrong.digital = 0x3;
    ab_sample outside_masks = right(3);
    outside_masks.analog[5] = 7;
    outside_masks.digital = 0x5;  // bit 2 is not the stream's
    const sample_tally tally = check({{right(0), a2_wrong, both_wrong, outside_masks}});
    EXPECT_EQ(tally.wrong_values, 3u);
    EXPECT_EQ(tally.wrong_samples, 2u);
}

TEST(SampleChecks, NumbersWrapAndANumberThatGoesBackIsSetAside)
{
    const int64_t start = 1000000000;
    ab_sample before_wrap = right(0, start);
    before_wrap.sequence = 0xFFFFFFFFu;
    ab_sample after_wrap = right(0, start + interval_us);
    ab_sample next = right(1, start + interval_us);
    sample_tally tally = check({{before_wrap, after_wrap, next}});
    EXPECT_EQ(tally.missing + tally.off_interval + tally.out_of_order, 0u);

    // An old number neither counts as a gap of four billion nor shifts the
    // next sample's step.
    tally = check({{right(40), right(41), right(7), right(42)}});
    EXPECT_EQ(tally.out_of_order, 1u);
    EXPECT_EQ(tally.missing, 0u);
    EXPECT_EQ(tally.off_interval, 0u);
    tally = check({{right(40), right(40)}});
    EXPECT_EQ(tally.out_of_order, 1u);
}
