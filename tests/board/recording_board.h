// A board for the interpreter's tests: the test sets its inputs, its clock
// and the room in its serial buffer; it records the outputs, the answers and
// the line's moves.
#pragma once

#include "board_protocol.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

class recording_board : public board_io {
public:
    uint16_t analog[8] = {};
    bool digital[20] = {};
    uint32_t now_us = 0;
    uint16_t room = 63;   // what the sketch's 64-byte buffer holds when empty
    std::string sent;     // answer bytes
    std::string actions;  // "pwm 3=255;", "out 10=1;", "read 2;", "rate 250000 after 16;" ...

    uint16_t read_analog(uint8_t channel) override
    {
        actions += "analog " + std::to_string(channel) + ";";
        return analog[channel];
    }
    bool read_digital(uint8_t pin) override
    {
        actions += "read " + std::to_string(pin) + ";";
        return digital[pin];
    }
    void write_pwm(uint8_t pin, uint8_t duty) override
    {
        actions += "pwm " + std::to_string(pin) + "=" + std::to_string(duty) + ";";
    }
    void write_digital(uint8_t pin, bool high) override
    {
        actions += "out " + std::to_string(pin) + "=" + (high ? "1" : "0") + ";";
    }
    void send(uint8_t byte) override { sent.push_back(static_cast<char>(byte)); }
    uint32_t clock_us() override { return now_us; }
    // When the line moved: after how many of the bytes sent.
    void set_line_rate(uint32_t baud) override
    {
        actions += "rate " + std::to_string(baud) + " after " + std::to_string(sent.size()) + ";";
    }
    uint16_t send_room() override { return room; }
};

// Feeds the bytes; returns the outcomes of the lines they completed:
// A answered, S set, I ignored, D dropped.
inline std::string feed_lines(command_interpreter &interpreter, const std::string &bytes)
{
    std::string outcomes;
    for (char c : bytes) {
        switch (interpreter.feed(static_cast<uint8_t>(c))) {
        case line_outcome::none: break;
        case line_outcome::answered: outcomes += "A"; break;
        case line_outcome::applied: outcomes += "S"; break;
        case line_outcome::ignored: outcomes += "I"; break;
        case line_outcome::dropped: outcomes += "D"; break;
        }
    }
    return outcomes;
}

// A classic interpreter on `board` (inputs A3 = 512, pin 2 high): every
// extension, well formed, is ignored and does nothing, even on its clock;
// the driver's commands answer as ever.
inline void expect_classic(recording_board &board, command_interpreter &interpreter)
{
    board.analog[3] = 512;
    board.digital[2] = true;
    EXPECT_FALSE(interpreter.extended());
    EXPECT_EQ(feed_lines(interpreter, "XI\rEA3k\rEB2a\rSA3255b\rSBA1c\rXAd\rXKe\rXB250000f\rXS1,0,100000g\rXEh\r"),
              "IIIIIIIIII");
    board.now_us = 10000000;
    interpreter.poll();
    uint32_t due = 0;
    EXPECT_FALSE(interpreter.next_due(due));
    EXPECT_EQ(board.sent, "");
    EXPECT_EQ(board.actions, "");
    EXPECT_EQ(feed_lines(interpreter, "EA3\r\rEB2\rSA3255\r"), "AAS");
    EXPECT_EQ(board.sent, std::string("512\r\n\x01", 6));
}
