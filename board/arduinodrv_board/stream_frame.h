// The stream's frames, byte for byte, and the shortest interval a stream may
// ask for: one home for the board (which encodes frames) and the host (which
// decodes them and refuses a shorter interval before it sends anything).
// board_protocol.h tells the commands around them. Compiled for the AVR too:
// C++11, no standard library, no heap.
//
// A sample frame:  0xA5 0x5A  L  payload (L bytes)  CRC (2 bytes, little-endian)
//   payload: sequence (uint32 LE), board time in us (uint32 LE), each analog
//   input of the stream's mask in ascending order (uint16 LE, 0..1023), then
//   one byte of digital levels when the digital mask is not 0 (bit n =
//   digital input n, only the mask's bits).
// A text frame:    0xA5 0x5B  L  text (L bytes, 1..longest_text)  CRC
//   while a stream runs, each answer the board sends is one: the bytes it
//   would send without a stream. So every byte on the line is in a checked
//   frame, and no byte of a damaged sample frame is read as an answer.
//   CRC: CRC-16/CCITT-FALSE (polynomial 0x1021, init 0xFFFF, not reflected,
//   no final xor) over L and the payload (or text).
#ifndef ARDUINODRV_STREAM_FRAME_H
#define ARDUINODRV_STREAM_FRAME_H

#include <stdint.h>

namespace stream_frame {

const uint8_t sync_first = 0xA5;
const uint8_t sync_second = 0x5A;
const uint8_t text_sync_second = 0x5B;
// The longest answer a text frame carries (the sketch's identity line).
const uint8_t longest_text = 56;

// What a stream can sample: analog inputs A0..A5 (mask bits 0..5) and the
// digital inputs 0..3 (mask bits 0..3), which are pins 2, 4, 7 and 8.
const uint8_t analog_inputs = 6;
const uint8_t digital_inputs = 4;
const uint8_t all_analog = (1 << analog_inputs) - 1;
const uint8_t all_digital = (1 << digital_inputs) - 1;
constexpr uint8_t digital_pins[digital_inputs] = {2, 4, 7, 8};

// Offsets in the frame.
const uint8_t length_offset = 2;
const uint8_t payload_offset = 3;
// Offsets in the payload.
const uint8_t sequence_offset = 0;
const uint8_t time_offset = 4;
const uint8_t values_offset = 8;

const uint8_t header_bytes = payload_offset;  // sync, sync, length
const uint8_t crc_bytes = 2;
const uint8_t longest_payload = values_offset + 2 * analog_inputs + 1;
const uint8_t longest_frame = header_bytes + longest_payload + crc_bytes;

// The intervals a stream may ask for, in microseconds, beside the shortest
// that its inputs and the line's rate allow (below). The longest keeps the
// board's 32-bit microsecond clock comparisons unambiguous.
const uint32_t longest_interval_us = 1000000000;

inline bool masks_valid(uint8_t amask, uint8_t dmask)
{
    return amask <= all_analog && dmask <= all_digital && (amask | dmask) != 0;
}

// The mask's bits are walked with a moving bit: the AVR shifts by a variable
// count one bit at a time.
inline uint8_t analog_count(uint8_t amask)
{
    uint8_t count = 0;
    for (uint8_t bit = 1; bit <= all_analog; bit = static_cast<uint8_t>(bit << 1))
        count = static_cast<uint8_t>(count + ((amask & bit) != 0));
    return count;
}

inline uint8_t payload_bytes(uint8_t amask, uint8_t dmask)
{
    return static_cast<uint8_t>(values_offset + 2 * analog_count(amask) + (dmask != 0 ? 1 : 0));
}

inline uint8_t frame_bytes(uint8_t amask, uint8_t dmask)
{
    return static_cast<uint8_t>(header_bytes + payload_bytes(amask, dmask) + crc_bytes);
}

// CRC-16/CCITT-FALSE, one byte at a time without a table (the board has
// neither the flash nor the time for a bitwise loop), in 8-bit steps that
// the AVR does in a few cycles: the check value of "123456789" is 0x29B1.
const uint16_t crc_init = 0xFFFF;

inline uint16_t crc_update(uint16_t crc, uint8_t byte)
{
    uint8_t x = static_cast<uint8_t>(static_cast<uint8_t>(crc >> 8) ^ byte);
    x = static_cast<uint8_t>(x ^ static_cast<uint8_t>(x >> 4));
    // (crc << 8) ^ (x << 12) ^ (x << 5) ^ x, a byte at a time.
    const uint8_t x_high = static_cast<uint8_t>(x << 4);
    const uint8_t x_low = static_cast<uint8_t>(x >> 3);
    const uint8_t high = static_cast<uint8_t>(static_cast<uint8_t>(crc) ^ x_high ^ x_low);
    const uint8_t low = static_cast<uint8_t>(static_cast<uint8_t>(x << 5) ^ x);
    return static_cast<uint16_t>((high << 8) | low);
}

inline uint16_t crc(const uint8_t *bytes, uint8_t count)
{
    uint16_t value = crc_init;
    for (uint8_t i = 0; i < count; ++i)
        value = crc_update(value, bytes[i]);
    return value;
}

inline void put_u16(uint8_t *at, uint16_t value)
{
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}

inline void put_u32(uint8_t *at, uint32_t value)
{
    put_u16(at, static_cast<uint16_t>(value));
    put_u16(at + 2, static_cast<uint16_t>(value >> 16));
}

inline uint16_t get_u16(const uint8_t *at)
{
    return static_cast<uint16_t>(at[0] | (at[1] << 8));
}

inline uint32_t get_u32(const uint8_t *at)
{
    return get_u16(at) | (static_cast<uint32_t>(get_u16(at + 2)) << 16);
}

// One sample set, as the board takes it and as a host reads it back.
struct sample_set {
    uint32_t sequence;
    uint32_t time_us;
    uint16_t analog[analog_inputs];  // by input number; inputs not in the mask are 0
    uint8_t digital;                 // bit n = digital input n; 0 without a digital mask
};

// Writes the frame of `samples` into `out` (room for longest_frame bytes);
// returns its length.
inline uint8_t encode(uint8_t *out, const sample_set &samples, uint8_t amask, uint8_t dmask)
{
    const uint8_t length = payload_bytes(amask, dmask);
    if (length > longest_payload)
        return 0;  // never: it keeps the compiler sure of the bounds
    out[0] = sync_first;
    out[1] = sync_second;
    out[length_offset] = length;
    uint8_t *payload = out + payload_offset;
    put_u32(payload + sequence_offset, samples.sequence);
    put_u32(payload + time_offset, samples.time_us);
    uint8_t *value = payload + values_offset;
    for (uint8_t input = 0, bit = 1; input < analog_inputs; ++input, bit = static_cast<uint8_t>(bit << 1)) {
        if (amask & bit) {
            put_u16(value, samples.analog[input]);
            value += 2;
        }
    }
    if (dmask != 0)
        *value = static_cast<uint8_t>(samples.digital & dmask);
    put_u16(payload + length, crc(out + length_offset, static_cast<uint8_t>(length + 1)));  // L and the payload
    return static_cast<uint8_t>(header_bytes + length + crc_bytes);
}

enum class scan : uint8_t {
    frame,        // a whole, valid frame of this stream: `samples` holds it
    incomplete,   // the bytes so far could begin one: wait for more
    not_a_frame,  // no frame begins at the first byte: skip it and look again
};

// Reads the frame that may begin at bytes[0] of a stream of these masks.
// A frame whose length byte, check value or values do not fit the stream
// is not one (noise that looks like a sync, or a frame damaged on the line).
inline scan decode(const uint8_t *bytes, uint16_t available, uint8_t amask, uint8_t dmask, sample_set &samples)
{
    const uint8_t expected_length = payload_bytes(amask, dmask);
    const uint8_t whole = frame_bytes(amask, dmask);
    if (available >= 1 && bytes[0] != sync_first)
        return scan::not_a_frame;
    if (available >= 2 && bytes[1] != sync_second)
        return scan::not_a_frame;
    if (available >= 3 && bytes[length_offset] != expected_length)
        return scan::not_a_frame;
    if (available < whole)
        return scan::incomplete;
    const uint8_t *payload = bytes + payload_offset;
    if (get_u16(payload + expected_length) != crc(bytes + length_offset, static_cast<uint8_t>(expected_length + 1)))
        return scan::not_a_frame;
    samples.sequence = get_u32(payload + sequence_offset);
    samples.time_us = get_u32(payload + time_offset);
    unsigned at = values_offset;
    for (uint8_t input = 0, bit = 1; input < analog_inputs; ++input, bit = static_cast<uint8_t>(bit << 1)) {
        samples.analog[input] = 0;
        if (amask & bit) {
            samples.analog[input] = get_u16(payload + at);
            if (samples.analog[input] > 1023)
                return scan::not_a_frame;
            at += 2;
        }
    }
    samples.digital = dmask != 0 ? payload[at] : 0;
    if ((samples.digital & ~dmask) != 0)
        return scan::not_a_frame;
    return scan::frame;
}

// Writes the text frame of `text` into `out` (room for longest_text + 5
// bytes); returns its length, 0 for a text that is empty or too long.
inline uint8_t encode_text(uint8_t *out, const uint8_t *text, uint8_t length)
{
    if (length == 0 || length > longest_text)
        return 0;
    out[0] = sync_first;
    out[1] = text_sync_second;
    out[length_offset] = length;
    for (uint8_t i = 0; i < length; ++i)
        out[payload_offset + i] = text[i];
    put_u16(out + payload_offset + length, crc(out + length_offset, static_cast<uint8_t>(length + 1)));
    return static_cast<uint8_t>(header_bytes + length + crc_bytes);
}

// Reads the text frame that may begin at bytes[0]: with scan::frame, its
// text is at bytes + payload_offset, `length` bytes, and the frame takes
// header_bytes + length + crc_bytes.
inline scan decode_text(const uint8_t *bytes, uint16_t available, uint8_t &length)
{
    if (available >= 1 && bytes[0] != sync_first)
        return scan::not_a_frame;
    if (available >= 2 && bytes[1] != text_sync_second)
        return scan::not_a_frame;
    if (available >= 3 && (bytes[length_offset] == 0 || bytes[length_offset] > longest_text))
        return scan::not_a_frame;
    if (available < 3 || available < static_cast<uint16_t>(header_bytes + bytes[length_offset] + crc_bytes))
        return scan::incomplete;
    const uint8_t l = bytes[length_offset];
    if (get_u16(bytes + payload_offset + l) != crc(bytes + length_offset, static_cast<uint8_t>(l + 1)))
        return scan::not_a_frame;
    length = l;
    return scan::frame;
}

// A sample frame of whatever masks (a stream the host did not start, still
// running): its sync, a length some masks give, and its check value. With
// scan::frame, `whole` is the bytes it takes.
inline scan decode_any_samples(const uint8_t *bytes, uint16_t available, uint8_t &whole)
{
    if (available >= 1 && bytes[0] != sync_first)
        return scan::not_a_frame;
    if (available >= 2 && bytes[1] != sync_second)
        return scan::not_a_frame;
    if (available >= 3 && (bytes[length_offset] <= values_offset || bytes[length_offset] > longest_payload))
        return scan::not_a_frame;
    if (available < 3 || available < static_cast<uint16_t>(header_bytes + bytes[length_offset] + crc_bytes))
        return scan::incomplete;
    const uint8_t l = bytes[length_offset];
    if (get_u16(bytes + payload_offset + l) != crc(bytes + length_offset, static_cast<uint8_t>(l + 1)))
        return scan::not_a_frame;
    whole = static_cast<uint8_t>(header_bytes + l + crc_bytes);
    return scan::frame;
}

// The shortest interval, in microseconds, at which the board keeps a stream
// of these inputs at this line rate without losing frames; 0xFFFFFFFF for
// masks no stream may have or a rate of 0. The longer of two times:
// - the line's: the frame's bits (10 a byte) at the rate, and a quarter more
//   for the answers to requests made during the stream;
// - the chip's: each conversion, then the tick's own work and each byte's.
//   Measured on the sketch's firmware (firmsim, 16 MHz): a conversion with
//   its call 111 us (13 ADC clocks at 125 kHz are 104), to which the chip
//   adds up to one ADC clock (8 us) to start it; the tick's own work (the
//   clock, the room in the buffer, the digital inputs, the loop, and the
//   interrupts sending the last frame when ticks come fast) 60-120 us; a
//   byte's encoding, check value and buffering 3 us. One input at 1000000
//   baud takes about 285 us a tick on the chip, six about 900 us: six inputs
//   at 1 kHz need 500000 baud or more.
const uint32_t conversion_us = 125;
const uint32_t tick_us = 130;
const uint32_t frame_byte_us = 4;

inline uint32_t shortest_interval_us(uint8_t amask, uint8_t dmask, uint32_t baud)
{
    if (!masks_valid(amask, dmask) || baud == 0)
        return 0xFFFFFFFF;
    const uint32_t bytes = frame_bytes(amask, dmask);
    const uint32_t line_us = (bytes * 10 * 1000000 + baud - 1) / baud;
    const uint32_t line_with_room = line_us + (line_us + 3) / 4;
    const uint32_t chip_us = analog_count(amask) * conversion_us + tick_us + bytes * frame_byte_us;
    return line_with_room > chip_us ? line_with_room : chip_us;
}

}  // namespace stream_frame

#endif
