#include "stream_decoder.h"

#include "stream_frame.h"

namespace {
// Kept of what is no frame: enough for an answer line.
constexpr size_t longest_text = 64;
}  // namespace

stream_decoder::stream_decoder(unsigned analog_mask, unsigned digital_mask)
    : analog_mask_(static_cast<uint8_t>(analog_mask)), digital_mask_(static_cast<uint8_t>(digital_mask))
{
}

size_t stream_decoder::frame_size() const
{
    return stream_frame::frame_bytes(analog_mask_, digital_mask_);
}

std::vector<decoded_frame> stream_decoder::take(const char *bytes, size_t count)
{
    std::vector<decoded_frame> frames;
    pending_.append(bytes, count);
    const size_t whole = frame_size();
    const uint8_t length = stream_frame::payload_bytes(analog_mask_, digital_mask_);
    size_t at = 0;
    while (at < pending_.size()) {
        const uint8_t *start = reinterpret_cast<const uint8_t *>(pending_.data()) + at;
        const size_t available = pending_.size() - at;
        stream_frame::sample_set samples{};
        const stream_frame::scan found = stream_frame::decode(
            start, static_cast<uint16_t>(available < 0xFFFF ? available : 0xFFFF), analog_mask_, digital_mask_, samples);
        if (found == stream_frame::scan::incomplete)
            break;  // the rest is on its way
        if (found == stream_frame::scan::frame) {
            decoded_frame frame;
            frame.sequence = samples.sequence;
            frame.board_time_us = samples.time_us;
            for (int input = 0; input < stream_frame::analog_inputs; ++input)
                frame.analog[input] = samples.analog[input];
            frame.digital = samples.digital;
            frames.push_back(frame);
            at += whole;
            continue;
        }
        // A frame's start and length whose check failed: a frame damaged on
        // the line (or data that looks like a start: rare, counted alike).
        if (available >= whole && start[0] == stream_frame::sync_first && start[1] == stream_frame::sync_second &&
            start[stream_frame::length_offset] == length)
            ++bad_;
        if (text_.size() >= longest_text)
            text_.erase(0, text_.size() - longest_text / 2);
        text_.push_back(pending_[at]);
        ++at;
    }
    pending_.erase(0, at);
    return frames;
}
