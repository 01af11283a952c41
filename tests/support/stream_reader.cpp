#include "stream_reader.h"

stream_reader::stream_reader(uint8_t amask, uint8_t dmask, uint32_t interval_us,
                             const stream_frame::sample_set &expected)
    : amask_(amask), dmask_(dmask), interval_us_(interval_us), expected_(expected)
{
}

void stream_reader::take(const char *bytes, size_t count)
{
    pending_.append(bytes, count);
    size_t at = 0;
    for (;;) {
        stream_frame::sample_set samples{};
        const auto *start = reinterpret_cast<const uint8_t *>(pending_.data()) + at;
        const size_t left = pending_.size() - at;
        const auto available = static_cast<uint16_t>(left > 0xFFFF ? 0xFFFF : left);
        uint8_t length = 0;
        const auto text = stream_frame::decode_text(start, available, length);
        if (text == stream_frame::scan::frame) {
            end_skipped();
            tally_.lines.emplace_back(reinterpret_cast<const char *>(start) + stream_frame::payload_offset, length);
            at += stream_frame::header_bytes + length + stream_frame::crc_bytes;
            continue;
        }
        const auto result = stream_frame::decode(start, available, amask_, dmask_, samples);
        if (result == stream_frame::scan::incomplete || (left > 1 && text == stream_frame::scan::incomplete))
            break;
        if (result == stream_frame::scan::not_a_frame) {
            skipping_ = true;  // a damaged frame or noise: one bad run however its bytes fall
            ++at;
            continue;
        }
        end_skipped();
        frame(samples);
        at += stream_frame::frame_bytes(amask_, dmask_);
    }
    pending_.erase(0, at);
}

void stream_reader::end_skipped()
{
    if (skipping_)
        ++tally_.bad;
    skipping_ = false;
}

void stream_reader::frame(const stream_frame::sample_set &samples)
{
    if (tally_.frames == 0) {
        tally_.first_sequence = samples.sequence;
    } else {
        const uint32_t step = samples.sequence - last_.sequence;
        if (step == 0 || step > 0x80000000)
            ++tally_.wrong_time;  // a sequence that went back: never a later frame
        else
            tally_.lost += step - 1;
        if (samples.time_us - last_.time_us != step * interval_us_)
            ++tally_.wrong_time;
    }
    bool right = samples.digital == (expected_.digital & dmask_);
    for (int input = 0; input < stream_frame::analog_inputs; ++input)
        right = right && (((amask_ >> input) & 1) == 0 || samples.analog[input] == expected_.analog[input]);
    tally_.wrong_value += !right;
    ++tally_.frames;
    tally_.last_sequence = samples.sequence;
    last_ = samples;
}
