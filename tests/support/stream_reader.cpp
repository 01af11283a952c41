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
        const auto result = stream_frame::decode(start, static_cast<uint16_t>(left > 0xFFFF ? 0xFFFF : left), amask_,
                                                 dmask_, samples);
        if (result == stream_frame::scan::incomplete)
            break;
        if (result == stream_frame::scan::not_a_frame) {
            skip(pending_[at++]);
            continue;
        }
        frame(samples);
        at += stream_frame::frame_bytes(amask_, dmask_);
    }
    pending_.erase(0, at);
}

// An answer line is text ending in CR LF; anything else between frames is
// a damaged frame or noise, also when an answer follows it.
void stream_reader::skip(char byte)
{
    skipped_.push_back(byte);
    if (byte != '\n')
        return;
    const size_t text = skipped_.find_last_not_of("ABEISX=#,-0123456789 abcdefghijklmnopqrstuvwxyz\r\n");
    const size_t start = text == std::string::npos ? 0 : text + 1;
    const bool answer = skipped_.size() - start >= 3 && skipped_[skipped_.size() - 2] == '\r' &&
                        skipped_[start] >= 'A' && skipped_[start] <= 'Z';
    if (answer)
        tally_.lines.push_back(skipped_.substr(start));
    if (!answer || start > 0)
        ++tally_.bad;
    skipped_.clear();
}

void stream_reader::frame(const stream_frame::sample_set &samples)
{
    if (!skipped_.empty()) {
        ++tally_.bad;
        skipped_.clear();
    }
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
