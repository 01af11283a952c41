// What the benchmarks give the emulated board's inputs, and what the chip
// reads for them: a different voltage on each analog input and a level on
// each digital one that is not all alike, so that a value taken for another
// input's is seen.
#pragma once

#include "stream_frame.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

inline int input_millivolts(int input)
{
    return 500 + 800 * input;
}

inline bool input_level(int input)
{
    return input != 1;
}

// The chip's converter reads floor(mV x 1024 / 5000), at most 1023.
inline uint16_t input_reading(int input)
{
    return static_cast<uint16_t>(std::min(1023, input_millivolts(input) * 1024 / 5000));
}

// firmsim's options that set every input so.
inline std::vector<std::string> input_arguments()
{
    std::vector<std::string> arguments;
    for (int input = 0; input < stream_frame::analog_inputs; ++input)
        arguments.insert(arguments.end(),
                         {"--analog", std::to_string(input) + "=" + std::to_string(input_millivolts(input))});
    for (int input = 0; input < stream_frame::digital_inputs; ++input)
        arguments.insert(arguments.end(), {"--digital", std::to_string(stream_frame::digital_pins[input]) + "=" +
                                                            (input_level(input) ? "1" : "0")});
    return arguments;
}

// What a stream of every input reads.
inline stream_frame::sample_set input_samples()
{
    stream_frame::sample_set expected{};
    for (int input = 0; input < stream_frame::analog_inputs; ++input)
        expected.analog[input] = input_reading(input);
    for (int input = 0; input < stream_frame::digital_inputs; ++input)
        expected.digital = static_cast<uint8_t>(expected.digital | (input_level(input) << input));
    return expected;
}
