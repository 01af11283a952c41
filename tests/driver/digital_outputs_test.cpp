// Digital outputs against a fake board: the exact bytes on the wire and the
// read-back table.
#include <climits>
#include <gtest/gtest.h>

#include "driver_session.h"

namespace {

DRIVER_TEST(DigitalOutputs, WireBytesAndReadBack)
{
    for (int channel = 0; channel <= 8; ++channel)
        EXPECT_EQ(rsb(channel), 0) << "channel " << channel;

    struct {
        int channel, value;
        const char *wire;
    } const cases[] = {
        {0, 1, "SBA1\r"}, {3, 0, "SBD0\r"}, {2, 2, "SBC0\r"},
        {1, -1, "SBB0\r"}, {5, 1, "SB01\r"},
    };
    for (const auto &c : cases) {
        board.clear_received();
        EXPECT_EQ(sb(c.channel, c.value), c.value);
        ASSERT_TRUE(board.wait_received(5, 2000));
        EXPECT_EQ(board.received(), c.wire);
        EXPECT_EQ(rsb(c.channel), c.value);
    }

    // Channels without an entry: the line still goes out (pin code 0),
    // nothing is stored, and the read-back gives 0.
    for (int channel : {-1, 9, INT_MIN, INT_MAX}) {
        board.clear_received();
        EXPECT_EQ(sb(channel, 1), 1);
        ASSERT_TRUE(board.wait_received(5, 2000));
        EXPECT_EQ(board.received(), "SB01\r");
        EXPECT_EQ(rsb(channel), 0);
    }
    EXPECT_EQ(rsb(0), 1);
    EXPECT_EQ(rsb(2), 2);
}

}  // namespace
