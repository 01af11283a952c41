// Doubles that no channel number can hold, each with the whole number a
// double form must make of it (int_from_double: narrowed to a float,
// rounded half away from zero, INT_MIN for what no int holds).
#pragma once

#include <climits>
#include <cmath>
#include <limits>
#include <vector>

struct double_case {
    double value;
    int whole;
};

inline std::vector<double_case> hostile_doubles()
{
    constexpr double inf = std::numeric_limits<double>::infinity();
    return {
        {std::nan(""), INT_MIN},
        {-std::nan(""), INT_MIN},
        {inf, INT_MIN},
        {-inf, INT_MIN},
        {1e300, INT_MIN},
        {-1e300, INT_MIN},
        {1e10, INT_MIN},
        {4294967296.0, INT_MIN},
        {2147483647.0, INT_MIN},  // becomes 2^31 once narrowed to a float
        {-0.0, 0},
        {std::numeric_limits<double>::denorm_min(), 0},
        {-std::numeric_limits<double>::denorm_min(), 0},
        {std::numeric_limits<double>::min(), 0},
        {-std::numeric_limits<double>::min(), 0},
        {0.49999999, 1},  // narrowed to 0.5 first
        {2.4999999, 3},
        {2.5, 3},
        {-0.5, -1},
        {-0.49, 0},
        {3.49, 3},
        {5.5, 6},
    };
}
