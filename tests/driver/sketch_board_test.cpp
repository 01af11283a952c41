// The driver against a board that runs the sketch's own command interpreter:
// what the library sends is what the sketch understands, and back.
#include <gtest/gtest.h>

#include "child.h"
#include "driver_loader.h"
#include "fake_board.h"

namespace {

TEST(SketchBoard, EveryKindOfChannelEndToEnd)
{
    const child_result child = run_in_child([] {
        fake_board board(TEST_DEVICE_FOLDER, "ttyUSB0");
        sketch_pins pins;
        pins.analog[2] = 700;
        pins.analog[5] = 1023;
        pins.input_high[4] = true;
        board.answer_as_sketch(pins);
        loaded_driver driver(TEST_LIBRARY_USB0);

        EXPECT_EQ(GET_EXPORT(driver, ea)(2), 700);
        EXPECT_DOUBLE_EQ(GET_EXPORT(driver, ead)(5), 1023 * 5.0 / 1024.0);
        EXPECT_EQ(GET_EXPORT(driver, ea)(10), 0);  // a channel the board lacks, answered at once
        EXPECT_EQ(GET_EXPORT(driver, eb)(1), 1);   // pin 4
        EXPECT_EQ(GET_EXPORT(driver, eb)(0), 0);   // pin 2

        GET_EXPORT(driver, sb)(0, 1);
        GET_EXPORT(driver, sb)(3, 0);
        GET_EXPORT(driver, sa)(0, 255);
        GET_EXPORT(driver, sad)(3, 2.5);
        GET_EXPORT(driver, sa)(1, -7);
        // The outputs went without answer; an input request after them makes
        // sure the board has taken every line.
        EXPECT_EQ(GET_EXPORT(driver, ea)(2), 700);
        const sketch_pins seen = board.pins();
        EXPECT_EQ(seen.output_level[10], 1);
        EXPECT_EQ(seen.output_level[13], 0);
        EXPECT_EQ(seen.pwm_duty[3], 255);
        EXPECT_EQ(seen.pwm_duty[9], 128);
        EXPECT_EQ(seen.pwm_duty[5], 0);  // clamped by the sketch
    });
    EXPECT_EQ(child.exit_code, 0);
}

}  // namespace
