// What a serial line is set to when its port opens, and the terminal
// settings that make it so.
#pragma once

#include <cstdint>
#include <termios.h>

enum class stop_bits : uint8_t { one, two };
enum class handshake : uint8_t { none, rts_cts, xon_xoff };

struct line_settings {
    int32_t baud;       // one of the rates of the table in line_settings.cpp
    int32_t data_bits;  // 5 to 8
    stop_bits stop = stop_bits::one;
    handshake flow = handshake::none;
    // Each CR received is delivered as LF (the original's line, for text
    // answers); off, every byte arrives as it was sent.
    bool cr_as_lf = true;
};

// Fills `settings` for the line, from a record all zero: raw (no line
// editing, echo, signal characters or output processing), with one exception
// on input unless the line says otherwise: each CR received is delivered as
// LF (ICRNL). Never parity.
// False, leaving `settings` unspecified, when the line has a rate, a number
// of data bits, stop bits or a handshake that cannot be set.
bool terminal_settings_for(const line_settings &line, termios *settings);
