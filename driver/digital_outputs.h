#pragma once

#include <cstdint>
#include <string>

// The pin as one upper-case hexadecimal digit; empty outside 0 to 15.
std::string pin_code(int32_t pin);
