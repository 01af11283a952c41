// The driver against a board that runs the sketch's own command interpreter:
// what the library sends is what the sketch understands, and back.
#include <gtest/gtest.h>

#include "driver_session.h"

namespace {

DRIVER_TEST(SketchBoard, EveryKindOfChannelEndToEnd)
{
    sketch_pins pins;
    pins.analog[2] = 700;
    pins.analog[5] = 1023;
    pins.input_high[4] = true;
    board.answer_as_sketch(pins);

    EXPECT_EQ(ea(2), 700);
    EXPECT_DOUBLE_EQ(ead(5), 1023 * 5.0 / 1024.0);
    EXPECT_EQ(ea(10), 0);  // a channel the board lacks, answered at once
    EXPECT_EQ(eb(1), 1);   // pin 4
    EXPECT_EQ(eb(0), 0);   // pin 2

    sb(0, 1);
    sb(3, 0);
    sa(0, 255);
    sad(3, 2.5);
    sa(1, -7);
    // The outputs went without answer; an input request after them makes
    // sure the board has taken every line.
    EXPECT_EQ(ea(2), 700);
    const sketch_pins seen = board.pins();
    EXPECT_EQ(seen.output_level[10], 1);
    EXPECT_EQ(seen.output_level[13], 0);
    EXPECT_EQ(seen.pwm_duty[3], 255);
    EXPECT_EQ(seen.pwm_duty[9], 128);
    EXPECT_EQ(seen.pwm_duty[5], 0);  // clamped by the sketch
}

}  // namespace
