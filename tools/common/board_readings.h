// What the board reads on an analog input: a raw value of its 10-bit
// converter, 0 to 1023. The emulator makes readings in this range, the
// shell's check takes only such a reading as the board's answer.
#pragma once

constexpr int highest_board_reading = 1023;
