// The pace of a serial line, on readings of a clock given by hand.
#include <chrono>
#include <gtest/gtest.h>

#include "line_pace.h"

namespace {

TEST(LinePace, CharactersCrossOneAfterAnotherAtTheLinesRate)
{
    EXPECT_DOUBLE_EQ(character_seconds(9600), 10.0 / 9600);
    EXPECT_EQ(character_time(9600), std::chrono::nanoseconds(1'041'666));
    EXPECT_EQ(character_seconds(0), 0.0);
    EXPECT_EQ(character_time(-9600), std::chrono::nanoseconds(0));

    line_pace<double> line;
    EXPECT_FALSE(line.paced());
    EXPECT_EQ(line.give(5.0), 5.0) << "an unpaced line carries at once";

    line.set_character_time(1.0);
    // A burst: each after the one before.
    EXPECT_EQ(line.give(10.0), 11.0);
    EXPECT_EQ(line.give(10.0), 12.0);
    EXPECT_EQ(line.due(10.5), 13.0);
    EXPECT_EQ(line.give(10.5), 13.0);
    // After a quiet spell: one character time after it is given.
    EXPECT_EQ(line.give(20.0), 21.0);
}

TEST(LinePace, AWriterThatWokeLateCatchesUpOnlyALittle)
{
    line_pace<double> line;
    line.set_character_time(1.0);
    EXPECT_EQ(line.give(0.0), 1.0);
    // Three characters late: the line keeps its schedule.
    line.crossed(1.0, 4.0, 8);
    EXPECT_EQ(line.due(0.0), 2.0);
    // Ten late: the line was idle, the next one follows from now.
    line.crossed(2.0, 12.0, 8);
    EXPECT_EQ(line.due(0.0), 13.0);
}

}  // namespace
