// The line protocol between the host and the board's sketch, as far as the
// programs here need it: how a command goes out, how long its answer may
// take, and how the answer line is read from the bytes that come.
#pragma once

#include <cstdint>
#include <string>

// Every command goes out as one line ended by a CR ("EA3\r").
constexpr char command_end = '\r';

// The line of one command.
std::string command_line(const std::string &command);

// The line of a command answered by a line (an analog input): an empty line
// follows it, which the board ignores.
std::string answered_command_line(const std::string &command);

// How long an answer may take, from the start of its wait, in milliseconds.
constexpr int32_t answer_limit_ms = 1000;

// How long a command line may wait for room in a full device. A line the
// device has begun to take gets as long again for its rest.
constexpr int32_t command_write_limit_ms = 1000;

// A byte that ends an answer line. The board ends its lines with CR, LF or
// both; the port delivers each CR as LF.
constexpr bool is_line_end(char byte)
{
    return byte == '\r' || byte == '\n';
}

// One answer line, taken a byte at a time as the port delivers them: the
// bytes up to the first line end, zero bytes dropped. Line ends that come
// before the line's first byte end an earlier answer and are skipped.
class answer_line {
public:
    // Takes one received byte; true once the line has ended. Nothing is
    // taken after the end: what follows is for the next drain.
    bool take(char byte);

    bool ended() const { return ended_; }
    // A byte other than a skipped line end came (a zero byte counts).
    bool begun() const { return first_byte_ >= 0; }
    // That first byte (0 to 255), the whole answer of a digital input; -1
    // before it came.
    int32_t first_byte() const { return first_byte_; }
    // The line without its end.
    const std::string &text() const { return text_; }

private:
    std::string text_;
    int32_t first_byte_ = -1;
    bool ended_ = false;
};

// An analog answer that is a reading: decimal digits only, 0 to
// highest_analog_reading, spaces around allowed. False for anything else
// ("", "-5", "512abc", "2000").
bool is_analog_reading(const std::string &line, int32_t *value);

// A classic digital answer that is a reading: the bytes 0 and 1, which the
// sketch sends. Any other byte is not (a digit would be the start of some
// other answer's line).
bool is_digital_reading(int32_t byte, int32_t *level);

// The value of a tagged digital answer ("1" of "1k"): the digit "0" or "1".
bool is_digital_text(const std::string &value, int32_t *level);

// The project's sketch's extensions (board/arduinodrv_board/board_protocol.h
// tells each, board_wire.h what both ends keep). A classic sketch ignores
// every line below, so asking costs it nothing.

// "XI" asks the sketch what it is; the project's answers
// "XI arduinodrv-board <version> <features>", the features a comma-separated
// list. Versions before board_wire::protocol_version are an earlier
// release's sketch, which a host uses as a classic one.
constexpr const char *identify_command = "XI";
struct sketch_identity {
    int32_t version = 0;  // 0: not the project's sketch (or it did not answer)
    bool tags = false;    // answers that name their request
    bool rates = false;   // a faster line
    bool stream = false;  // samples on its own timer
    bool scan = false;    // every input in one answer
    bool keep = false;    // the uptime, and the host's silence rule
    // This host's extensions can be used with it.
    bool extended() const;
};
bool parse_identity(const std::string &line, sketch_identity *identity);

// A command with its tag: "EA3" and 'k' go out as "EA3k".
std::string tagged_command(const std::string &command, char tag);
// The extensions' commands, without their tag.
constexpr const char *scan_command = "XA";
constexpr const char *keep_command = "XK";
constexpr const char *stream_end_command = "XE";
std::string rate_command(int32_t baud);
std::string stream_start_command(unsigned analog_mask, unsigned digital_mask, int32_t interval_us);

// A tagged answer's value that is a whole decimal number, at most `highest`
// ("0" to "4294967295"): a rate, an interval, a count, an uptime.
bool natural_value(const std::string &value, int64_t highest, int64_t *number);
// The value of the answer to XA: six analog readings (0-1023) and the four
// digital levels.
bool scan_value(const std::string &value, int32_t analog[6], int32_t digital[4]);
