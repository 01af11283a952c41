// What both ends of the line keep beside the classic commands: the
// extended protocol's version, the rates a line may move to, the rule that
// brings a board back to 9600 when its host goes quiet, and the tags that
// name a request. One home for the sketch (board_protocol.cpp) and the host
// (protocol/, driver/). Compiled for the AVR too: C++11, no standard
// library.
#ifndef ARDUINODRV_BOARD_WIRE_H
#define ARDUINODRV_BOARD_WIRE_H

#include <stdint.h>

namespace board_wire {

// The extended protocol's version, told by the identity ("XI ..."). A host
// uses the extensions of this version and later; an earlier project's sketch
// is used as a classic one.
const uint8_t protocol_version = 3;

// Every start, of the board and of the host's port, is at this rate.
const uint32_t classic_rate = 9600;
// The rates a line may move to, fastest first: 16 MHz divides each exactly.
const uint8_t fast_rate_count = 3;
const uint32_t fast_rates[fast_rate_count] = {1000000, 500000, 250000};

inline bool is_line_rate(uint32_t baud)
{
    if (baud == classic_rate)
        return true;
    for (uint8_t i = 0; i < fast_rate_count; ++i)
        if (baud == fast_rates[i])
            return true;
    return false;
}

// The host's silence: at a rate other than classic_rate, or while a stream
// runs, a board that has understood no line for this long ends the stream
// and goes back to classic_rate by itself. So whatever went wrong between
// the two ends (a lost answer, a host that died or stopped), both are back
// at 9600 with no stream this long after the host's last line; a host keeps
// the line by sending at least twice as often.
const uint32_t host_silence_ms = 2000;

// A request's tag: one lower-case letter after the command, echoed as the
// last byte of its answer ("EA3k" is answered "512k"). The host uses them in
// turn, so an answer is never taken for another request's however late it
// comes.
const char first_tag = 'a';
const char last_tag = 'z';
const uint8_t tag_count = last_tag - first_tag + 1;

inline bool is_tag(char c)
{
    return c >= first_tag && c <= last_tag;
}

}  // namespace board_wire

#endif
