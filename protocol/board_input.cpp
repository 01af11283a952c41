#include "board_input.h"

#include "board_wire.h"

namespace {

// What is kept of a piece's text: more than any answer, enough for a message.
constexpr size_t longest_kept = 64;
// A value longer than any answer's is none.
constexpr size_t longest_value = 48;
// Consumed bytes are dropped from the front once this many.
constexpr size_t compact_after = 4096;

constexpr bool is_line_end(uint8_t byte)
{
    return byte == '\r' || byte == '\n';
}

constexpr bool is_value_byte(uint8_t byte)
{
    return (byte >= '0' && byte <= '9') || byte == ',';
}

}  // namespace

void board_input::tokens::emit(board_item::kind what, std::deque<board_item> &out, bool framed, char tag)
{
    board_item item;
    item.what = what;
    item.tag = tag;
    item.text = std::move(text_);
    item.count = what == board_item::kind::junk ? count_ : item.text.size();
    item.framed = framed;
    out.push_back(std::move(item));
    forget();
}

void board_input::tokens::to_junk(uint8_t byte)
{
    state_ = state::junk;
    count_ = text_.size() + 1;
    if (text_.size() < longest_kept)
        text_.push_back(static_cast<char>(byte));
}

void board_input::tokens::take(uint8_t byte, bool expect_byte, bool tags, bool *byte_taken,
                               std::deque<board_item> &out, bool framed)
{
    const bool tag = tags && board_wire::is_tag(static_cast<char>(byte));
    if (is_line_end(byte)) {
        // A line that ended without a tag: a classic answer, or something
        // that is none; only a classic request takes it, and judges it.
        if (state_ == state::value || state_ == state::junk)
            emit(board_item::kind::line, out, framed);
        else if (state_ == state::identity)
            emit(board_item::kind::identity, out, framed);
        return;
    }
    switch (state_) {
    case state::start:
        if (expect_byte && byte != 'X') {
            text_.assign(1, static_cast<char>(byte));
            emit(board_item::kind::byte, out, framed);
            *byte_taken = true;
        } else if (byte == 0 || byte == 1) {
            // A classic digital answer, late or not: it parts what comes
            // before from what comes after, as a line end does.
            text_.assign(1, static_cast<char>(byte));
            emit(board_item::kind::byte, out, framed);
        } else if (tag) {
            emit(board_item::kind::tagged, out, framed, static_cast<char>(byte));  // an output's confirmation
        } else if (is_value_byte(byte)) {
            state_ = state::value;
            text_.assign(1, static_cast<char>(byte));
        } else if (byte == 'X') {
            state_ = state::identity;
            text_.assign(1, 'X');
        } else {
            to_junk(byte);
        }
        return;
    case state::value:
        if (tag) {
            emit(board_item::kind::tagged, out, framed, static_cast<char>(byte));
        } else if (byte == 0) {
            // Dropped, as the classic answer line drops it.
        } else if (is_value_byte(byte) && text_.size() < longest_value) {
            text_.push_back(static_cast<char>(byte));
        } else {
            to_junk(byte);
        }
        return;
    case state::identity:
        if (byte >= 0x20 && byte < 0x7F && text_.size() < longest_kept)
            text_.push_back(static_cast<char>(byte));
        else if (byte != 0)
            to_junk(byte);
        return;
    case state::junk:
        // A tag ends junk, which never makes an answer: bytes before an
        // answer's value may be a damaged piece of it.
        if (tag) {
            emit(board_item::kind::junk, out, framed);
            return;
        }
        // So does the start of an identity line: a board that was at
        // another rate (its bytes junk, without a line end) says what it is
        // once it is back at this one.
        if (byte == 'X') {
            emit(board_item::kind::junk, out, framed);
            state_ = state::identity;
            text_.assign(1, 'X');
            return;
        }
        ++count_;
        if (text_.size() < longest_kept)
            text_.push_back(static_cast<char>(byte));
        return;
    }
}

void board_input::tokens::finish(std::deque<board_item> &out, bool framed)
{
    if (state_ == state::start)
        return;
    if (state_ != state::junk)
        count_ = text_.size();
    emit(board_item::kind::junk, out, framed);
}

void board_input::take(const char *bytes, size_t count)
{
    if (at_ >= compact_after || at_ == bytes_.size()) {
        bytes_.erase(0, at_);
        at_ = 0;
    }
    bytes_.append(bytes, count);
}

void board_input::expect_stream(uint8_t analog_mask, uint8_t digital_mask)
{
    streaming_ = true;
    analog_mask_ = analog_mask;
    digital_mask_ = digital_mask;
    plain_in_stream_ = false;
    plain_.forget();
}

void board_input::expect_no_stream()
{
    end_junk();
    streaming_ = false;
    plain_in_stream_ = false;
    plain_.forget();
}

void board_input::forget_partial()
{
    plain_.forget();
}

board_input::frame_scan board_input::try_frame(size_t at, size_t *whole)
{
    const auto *start = reinterpret_cast<const uint8_t *>(bytes_.data()) + at;
    const size_t left = bytes_.size() - at;
    const uint16_t available = static_cast<uint16_t>(left < 0xFFFF ? left : 0xFFFF);
    if (available < 2)
        return frame_scan::incomplete;

    if (start[1] == stream_frame::text_sync_second) {
        uint8_t length = 0;
        const stream_frame::scan found = stream_frame::decode_text(start, available, length);
        if (found == stream_frame::scan::incomplete)
            return frame_scan::incomplete;
        if (found == stream_frame::scan::not_a_frame)
            return frame_scan::none;
        // A frame holds whole answers: its text is read on its own.
        tokens framed;
        for (uint8_t i = 0; i < length; ++i) {
            bool unused = false;
            framed.take(start[stream_frame::payload_offset + i], false, tags_, &unused, ready_, true);
        }
        framed.finish(ready_, true);
        *whole = stream_frame::header_bytes + length + stream_frame::crc_bytes;
        return frame_scan::frame;
    }
    if (start[1] != stream_frame::sync_second)
        return frame_scan::none;

    if (streaming_) {
        board_item item;
        const stream_frame::scan found =
            stream_frame::decode(start, available, analog_mask_, digital_mask_, item.samples);
        if (found == stream_frame::scan::incomplete)
            return frame_scan::incomplete;
        const uint8_t size = stream_frame::frame_bytes(analog_mask_, digital_mask_);
        if (found == stream_frame::scan::frame) {
            item.what = board_item::kind::samples;
            item.framed = true;
            ready_.push_back(item);
            *whole = size;
            return frame_scan::frame;
        }
        // This stream's start and length whose check failed: a frame
        // damaged on the line (or noise that looks like a start: rare,
        // counted alike). It is skipped a byte at a time.
        if (available >= size && start[stream_frame::length_offset] == stream_frame::payload_bytes(analog_mask_, digital_mask_))
            ++bad_frames_;
    }
    uint8_t size = 0;
    const stream_frame::scan any = stream_frame::decode_any_samples(start, available, size);
    if (any == stream_frame::scan::incomplete)
        return streaming_ ? frame_scan::none : frame_scan::incomplete;
    if (any == stream_frame::scan::not_a_frame)
        return frame_scan::none;
    if (streaming_) {
        ++bad_frames_;  // whole and checked, but not of this stream's masks
    } else {
        board_item item;
        item.what = board_item::kind::foreign_samples;
        item.framed = true;
        item.count = size;
        ready_.push_back(item);
    }
    *whole = size;
    return frame_scan::frame;
}

void board_input::plain_byte(uint8_t byte)
{
    bool taken = false;
    plain_.take(byte, expect_byte_, tags_, &taken, ready_, false);
    if (taken)
        expect_byte_ = false;
}

void board_input::junk_byte(uint8_t byte)
{
    ++stream_junk_count_;
    if (stream_junk_.size() < longest_kept)
        stream_junk_.push_back(static_cast<char>(byte));
}

void board_input::end_junk()
{
    if (stream_junk_count_ == 0)
        return;
    board_item item;
    item.what = board_item::kind::junk;
    item.text = std::move(stream_junk_);
    item.count = stream_junk_count_;
    ready_.push_back(std::move(item));
    stream_junk_.clear();
    stream_junk_count_ = 0;
}

bool board_input::next(board_item &item)
{
    while (ready_.empty() && at_ < bytes_.size()) {
        const auto byte = static_cast<uint8_t>(bytes_[at_]);
        if (byte == stream_frame::sync_first) {
            size_t whole = 0;
            const size_t junk_before = stream_junk_count_;
            const frame_scan found = try_frame(at_, &whole);
            if (found == frame_scan::incomplete)
                break;
            if (found == frame_scan::frame) {
                // Junk before the frame comes before the frame's pieces.
                if (junk_before > 0) {
                    board_item junk;
                    junk.what = board_item::kind::junk;
                    junk.text = std::move(stream_junk_);
                    junk.count = stream_junk_count_;
                    ready_.push_front(std::move(junk));
                    stream_junk_.clear();
                    stream_junk_count_ = 0;
                }
                at_ += whole;
                continue;
            }
        }
        if (streaming_ && !plain_in_stream_)
            junk_byte(byte);
        else
            plain_byte(byte);
        ++at_;
    }
    if (ready_.empty())
        return false;
    item = std::move(ready_.front());
    ready_.pop_front();
    return true;
}
