// What comes from a board, sorted: answers by their tags, classic answers,
// the identity, a stream's frames, and noise that never becomes an answer.
#include "protocol/board_input.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

// Each piece as words: "tagged k 512", "line 512", "byte \x01", "samples 3",
// "junk 2"; "framed" after a piece that came in a text frame.
std::string shown(const board_item &item)
{
    std::string text;
    switch (item.what) {
    case board_item::kind::tagged: text = std::string("tagged ") + item.tag + " " + item.text; break;
    case board_item::kind::line: text = "line " + item.text; break;
    case board_item::kind::identity: text = "identity " + item.text; break;
    case board_item::kind::byte: text = "byte " + std::to_string(static_cast<unsigned char>(item.text[0])); break;
    case board_item::kind::samples: text = "samples " + std::to_string(item.samples.sequence); break;
    case board_item::kind::foreign_samples: text = "foreign " + std::to_string(item.count); break;
    case board_item::kind::junk: text = "junk " + std::to_string(item.count); break;
    }
    return item.framed && item.what != board_item::kind::samples && item.what != board_item::kind::foreign_samples
               ? text + " framed"
               : text;
}

std::vector<std::string> pieces(board_input &input, const std::string &bytes)
{
    input.take(bytes.data(), bytes.size());
    std::vector<std::string> found;
    board_item item;
    while (input.next(item))
        found.push_back(shown(item));
    return found;
}

// The same bytes one at a time: pieces never depend on how bytes arrive.
std::vector<std::string> pieces_one_by_one(board_input &input, const std::string &bytes)
{
    std::vector<std::string> found;
    for (char byte : bytes)
        for (const std::string &piece : pieces(input, std::string(1, byte)))
            found.push_back(piece);
    return found;
}

std::string text_frame(const std::string &text)
{
    uint8_t frame[stream_frame::longest_text + 5];
    const uint8_t size = stream_frame::encode_text(frame, reinterpret_cast<const uint8_t *>(text.data()),
                                                   static_cast<uint8_t>(text.size()));
    return std::string(reinterpret_cast<const char *>(frame), size);
}

// A0 and pin 2's input: frames of 16 bytes.
std::string sample_frame(uint32_t sequence, uint16_t a0 = 13)
{
    stream_frame::sample_set samples{sequence, 1000 * sequence, {a0, 0, 0, 0, 0, 0}, 1};
    uint8_t frame[stream_frame::longest_frame];
    const uint8_t size = stream_frame::encode(frame, samples, 1, 1);
    return std::string(reinterpret_cast<const char *>(frame), size);
}

const std::string identity = "XI arduinodrv-board 3 tag,baud,stream,scan,keep\r\n";

TEST(BoardInput, PlainAnswersByTheirTagsAndClassicOnesByTheirEnds)
{
    const std::string bytes = "512k300lm1023,0,1,2,3,4,0101n" + identity + "512\r\n\x01" + std::string(1, '\0') + "7o";
    const std::vector<std::string> expected = {
        "tagged k 512", "tagged l 300", "tagged m ", "tagged n 1023,0,1,2,3,4,0101",
        "identity XI arduinodrv-board 3 tag,baud,stream,scan,keep", "line 512", "byte 1", "byte 0", "tagged o 7"};
    board_input whole, split;
    EXPECT_EQ(pieces(whole, bytes), expected);
    EXPECT_EQ(pieces_one_by_one(split, bytes), expected);
    EXPECT_EQ(whole.pending(), 0u);
}

TEST(BoardInput, NoiseBeforeAValueSpoilsItNeverShortensIt)
{
    board_input input;
    // "\xff" could be the damaged first digit of "512": no "12" is taken.
    EXPECT_EQ(pieces(input, "\xff" "12k300l"), (std::vector<std::string>{"junk 3", "tagged l 300"}));
    // A line of noise ends at its line end; what follows is read afresh.
    EXPECT_EQ(pieces(input, "3X3\r\n5k"), (std::vector<std::string>{"line 3X3", "tagged k 5"}));
    // A value longer than any answer is none.
    EXPECT_EQ(pieces(input, std::string(60, '1') + "k2l"), (std::vector<std::string>{"junk 60", "tagged l 2"}));
    // A board back from another rate: its junk has no line end, its
    // identity is read all the same.
    EXPECT_EQ(pieces(input, std::string(40, '\xf0') + identity),
              (std::vector<std::string>{"junk 40", "identity XI arduinodrv-board 3 tag,baud,stream,scan,keep"}));
    // A late classic byte parts what comes after, like a line end.
    EXPECT_EQ(pieces(input, "\x01" "300k"), (std::vector<std::string>{"byte 1", "tagged k 300"}));
    // The rest of an old answer never completes a new one.
    EXPECT_EQ(pieces(input, "51"), std::vector<std::string>{});
    input.forget_partial();
    EXPECT_EQ(pieces(input, "2\r\n"), std::vector<std::string>{"line 2"});
}

TEST(BoardInput, AClassicSketchsLettersArePartOfItsLine)
{
    board_input input;
    input.use_tags(false);
    EXPECT_EQ(pieces(input, "512abc\r\nk\n7\r\n"), (std::vector<std::string>{"line 512abc", "line k", "line 7"}));
}

TEST(BoardInput, AClassicDigitalAnswerIsTheNextByteButAnIdentityLine)
{
    board_input input;
    input.expect_classic_byte(true);
    EXPECT_EQ(pieces(input, "\r\n" + identity + "5\x01"),
              (std::vector<std::string>{"identity XI arduinodrv-board 3 tag,baud,stream,scan,keep", "byte 53", "byte 1"}));
    input.expect_classic_byte(true);
    EXPECT_EQ(pieces(input, "k"), std::vector<std::string>{"byte 107"});  // not a level: the request judges it
    EXPECT_EQ(pieces(input, "k"), std::vector<std::string>{"tagged k "});
}

TEST(BoardInput, DuringAStreamOnlyCheckedFramesCount)
{
    board_input input;
    input.expect_stream(1, 1);
    std::string damaged = sample_frame(2);
    damaged[8] ^= 0x20;
    // Plain bytes between frames are noise, however much they look like an
    // answer: bytes of a damaged frame with a CR and digits in them.
    const std::string bytes = sample_frame(0) + "512k\r\n" + sample_frame(1) + text_frame("300k") + damaged +
                              text_frame("7\r\n") + sample_frame(3, 1023);
    EXPECT_EQ(pieces_one_by_one(input, bytes),
              (std::vector<std::string>{"samples 0", "junk 6", "samples 1", "tagged k 300 framed", "junk 16",
                                        "line 7 framed", "samples 3"}));
    EXPECT_EQ(input.bad_frames(), 1u);

    // A stream ending: a board that stopped answers a repeated request plain.
    input.accept_plain_during_stream(true);
    EXPECT_EQ(pieces(input, sample_frame(4) + "9l"), (std::vector<std::string>{"samples 4", "tagged l 9"}));
    input.expect_no_stream();
    EXPECT_EQ(pieces(input, "5m"), std::vector<std::string>{"tagged m 5"});
}

TEST(BoardInput, AStreamThisHostDidNotStartIsSeenAndItsAnswersRead)
{
    board_input input;
    const std::string bytes = sample_frame(8) + text_frame(identity) + sample_frame(9) + text_frame("17a");
    EXPECT_EQ(pieces_one_by_one(input, bytes),
              (std::vector<std::string>{"foreign 16", "identity XI arduinodrv-board 3 tag,baud,stream,scan,keep framed",
                                        "foreign 16", "tagged a 17 framed"}));
    EXPECT_EQ(input.pending(), 0u);
}

// Random bytes, with frames and answers among them: nothing crashes, the
// bytes are all used, and during a stream no plain byte is ever an answer.
TEST(BoardInput, RandomBytesAreSortedWithoutEnd)
{
    std::mt19937 random(28);
    for (const bool streaming : {false, true}) {
        board_input input;
        if (streaming)
            input.expect_stream(1, 1);
        size_t tagged = 0;
        for (int round = 0; round < 20000; ++round) {
            std::string bytes;
            const uint32_t pick = random();
            if (pick % 7 == 0)
                bytes = sample_frame(pick);
            else if (pick % 7 == 1)
                bytes = "\xA5\x5B";
            for (uint32_t n = random() % 6; n > 0; --n)
                bytes.push_back(static_cast<char>(random() % 4 == 0 ? random() : "0123456789,kX\r\n\xA5"[random() % 16]));
            input.take(bytes.data(), bytes.size());
            board_item item;
            while (input.next(item)) {
                if (item.what == board_item::kind::tagged) {
                    ++tagged;
                    EXPECT_FALSE(streaming) << "a plain byte was taken for an answer during a stream";
                }
                EXPECT_LE(item.text.size(), 64u);
            }
            ASSERT_LT(input.pending(), 300u);
        }
        if (!streaming) {
            EXPECT_GT(tagged, 100u);
        }
    }
}

}  // namespace
