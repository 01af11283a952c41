// Deadlines on fixed clock readings, apart from the real clock.
#include <climits>
#include <gtest/gtest.h>

#include "posix/deadline.h"

namespace {

TEST(Deadline, ExactlyTheLimitGoesOnOneMorePasses)
{
    const deadline d{500, 1000};
    EXPECT_EQ(elapsed_at(d, 500), 0);
    EXPECT_EQ(ms_left_at(d, 500), 1000);
    EXPECT_FALSE(deadline_passed_at(d, 1499));
    EXPECT_EQ(ms_left_at(d, 1499), 1);
    EXPECT_FALSE(deadline_passed_at(d, 1500));
    EXPECT_EQ(ms_left_at(d, 1500), 0);
    EXPECT_TRUE(deadline_passed_at(d, 1501));
    EXPECT_EQ(ms_left_at(d, 1501), 0);
    EXPECT_EQ(ms_left_at(d, 100000), 0);
}

TEST(Deadline, SpansTheWrapOfTheClock)
{
    const deadline d{INT32_MAX - 10, 100};
    EXPECT_EQ(elapsed_at(d, INT32_MIN), 11);
    EXPECT_EQ(ms_left_at(d, INT32_MIN + 89), 0);
    EXPECT_FALSE(deadline_passed_at(d, INT32_MIN + 89));
    EXPECT_TRUE(deadline_passed_at(d, INT32_MIN + 90));

    const deadline at_minus_one{-1, 5};
    EXPECT_EQ(elapsed_at(at_minus_one, 4), 5);
    EXPECT_TRUE(deadline_passed_at(at_minus_one, 5));
}

TEST(Deadline, NoLimitOrANegativeOneHasPassedAfterItsStart)
{
    const deadline none{7, 0};
    EXPECT_FALSE(deadline_passed_at(none, 7));
    EXPECT_TRUE(deadline_passed_at(none, 8));
    const deadline negative{7, -5};
    EXPECT_TRUE(deadline_passed_at(negative, 7));
    EXPECT_EQ(ms_left_at(negative, 7), 0);
}

TEST(Deadline, TheLongestLimitCountsPastHalfTheClock)
{
    const deadline d{0, INT32_MAX};
    EXPECT_FALSE(deadline_passed_at(d, INT32_MAX));
    EXPECT_TRUE(deadline_passed_at(d, INT32_MIN));
    EXPECT_EQ(ms_left_at(d, 1), INT32_MAX - 1);
}

}  // namespace
