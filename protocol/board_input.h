// What comes from a board, sorted: the host's side of the line protocol for
// a reader that owns the line. It takes the bytes as they arrive and gives
// back, in order, what each piece is: an answer to a tagged request, a
// classic answer line or byte, the sketch's identity, a stream's sample
// frame, or bytes that are none of these. It keeps no time and judges
// nothing by when bytes came; what a piece answers is for the reader to say.
//
// Outside a stream the project's sketch answers in plain text: a tagged
// answer is its value and its tag ("512k"; board_wire.h), a classic analog
// answer a line ("512" CR LF), a classic digital answer one byte (0x00 or
// 0x01). While a stream runs every byte is in a checked frame
// (stream_frame.h): sample frames, and text frames holding the answers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "stream_frame.h"

struct board_item {
    enum class kind : uint8_t {
        tagged,           // "<value><tag>": tag and text (the value, perhaps empty)
        line,             // a line that ended without a tag: text (a classic analog answer, or not)
        identity,         // a line that begins with 'X' (the sketch's identity): text
        byte,             // a classic digital answer's byte: text holds it
        samples,          // a sample frame of the stream expected: samples
        foreign_samples,  // a whole sample frame of other masks (a stream this host did not start)
        junk,             // bytes that are none of the above: the first of them in text, count
    };
    kind what = kind::junk;
    char tag = 0;
    std::string text;
    size_t count = 0;  // junk: how many bytes
    bool framed = false;  // it came in a text frame
    stream_frame::sample_set samples{};
};

class board_input {
public:
    // Takes received bytes; next() gives what they hold.
    void take(const char *bytes, size_t count);

    // The next whole piece, in order; false once the rest is incomplete.
    // The expectations below apply to what next() has not yet given.
    bool next(board_item &item);

    // Sample frames of these masks from now on, and every answer framed:
    // plain bytes are junk (bytes of a damaged frame never make an answer).
    void expect_stream(uint8_t analog_mask, uint8_t digital_mask);
    // No stream: answers in plain text (and in text frames, which a board
    // streaming for someone else sends).
    void expect_no_stream();
    // While a stream ends: its frames, and plain answers too (the board
    // that already stopped answers a repeated request unframed).
    void accept_plain_during_stream(bool accept) { plain_in_stream_ = accept; }
    // The next plain byte that is no line end (and begins no identity line)
    // is a classic digital answer.
    void expect_classic_byte(bool expect) { expect_byte_ = expect; }
    // Whether a letter a..z ends a tagged answer: with the project's sketch
    // (the default). A classic sketch's answers have no tags, and a letter
    // is part of its line ("512abc" is a line that is no reading).
    void use_tags(bool use) { tags_ = use; }
    // Drops a plain answer begun and not ended (before a classic request:
    // the rest of an old answer must not complete the new one's).
    void forget_partial();

    // Sample frames of the stream expected whose check failed.
    uint64_t bad_frames() const { return bad_frames_; }
    // Bytes taken that next() has not yet given.
    size_t pending() const { return bytes_.size() - at_; }

private:
    // The plain text's pieces: tagged answers, lines, identity lines,
    // classic bytes and junk.
    class tokens {
    public:
        // One byte; a piece it completes goes to `out`.
        void take(uint8_t byte, bool expect_byte, bool tags, bool *byte_taken, std::deque<board_item> &out,
                  bool framed);
        // Ends what is begun as junk (a frame's text that stopped short).
        void finish(std::deque<board_item> &out, bool framed);
        void forget() { state_ = state::start; text_.clear(); count_ = 0; }

    private:
        enum class state : uint8_t { start, value, identity, junk };
        void emit(board_item::kind what, std::deque<board_item> &out, bool framed, char tag = 0);
        void to_junk(uint8_t byte);
        state state_ = state::start;
        std::string text_;
        size_t count_ = 0;
    };

    enum class frame_scan { frame, incomplete, none };
    frame_scan try_frame(size_t at, size_t *whole);
    void plain_byte(uint8_t byte);
    void junk_byte(uint8_t byte);
    void end_junk();

    std::string bytes_;
    size_t at_ = 0;
    std::deque<board_item> ready_;
    tokens plain_;
    bool streaming_ = false;
    uint8_t analog_mask_ = 0, digital_mask_ = 0;
    bool plain_in_stream_ = false;
    bool expect_byte_ = false;
    bool tags_ = true;
    // Junk between frames during a stream, gathered into one piece (given
    // once a frame follows it).
    std::string stream_junk_;
    size_t stream_junk_count_ = 0;
    uint64_t bad_frames_ = 0;
};
