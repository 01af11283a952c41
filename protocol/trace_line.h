// The trace's lines (ARDUINODRV_TRACE): what both libraries write, one line
// an event, for a person finding out why a host reads 0, and for the shell,
// which reads its own trace to tell a reading from a neutral 0.
//
//   <library>[<pid>] <seconds> <port> <event>[: <details>]
//
//   arduinodrv[4242] 2.013 /dev/ttyUSB0 send: "EA3\r\r"
//   arduinodrv[4242] 2.031 /dev/ttyUSB0 answer: "512\n" after 18 ms
//
// <library> is arduinodrv (the 71 exports) or arduinoboard (the board
// object); <seconds> count from the load, or from the board's ab_open, with
// milliseconds; <port> is the port's path as one word (escaped as below, a
// space too), "-" when there is none. Bytes of the line, an answer or a
// path are written between double quotes: printable ASCII as itself but
// for \" and \\, CR and LF as \r and \n, every other byte as \xNN (two
// lower-case hex digits, so 0x00 is \x00 and 0xFF \xff); a text cut short
// ends with ... after its closing quote.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The events, each the first word after the port.
namespace trace_event {
constexpr const char *probe = "probe";                  // the candidate devices that open, at load
constexpr const char *open = "open";                    // the port's open at load or ab_open, and how it went
constexpr const char *send = "send";                    // a command line written (or not all of it)
constexpr const char *no_port = "no-port";              // a request that found no port: nothing sent
constexpr const char *answer = "answer";                // the bytes of an answer, within its limit
constexpr const char *no_answer = "no-answer";          // nothing whole within the limit (and what came)
constexpr const char *not_a_reading = "not-a-reading";  // an answer that is not a reading: what was judged
constexpr const char *discard = "discard";              // bytes waiting before a request, discarded
constexpr const char *gone = "gone";                    // the device hung up or failed (unplugged)
constexpr const char *reopen = "reopen";                // a try to open the port again, and how it went
constexpr const char *close = "close";                  // the port closed (unload, ab_close)
}  // namespace trace_event

// The longest bytes a line shows of an answer or discarded input; the rest
// is counted, not shown.
constexpr size_t trace_bytes_shown = 256;

// `bytes` between double quotes, escaped as above; cut after `most` bytes.
std::string quoted_bytes(std::string_view bytes, size_t most = trace_bytes_shown);

// A send's details: the bytes, and what the device took of them when
// not all.
std::string sent_bytes(std::string_view bytes, size_t sent);

// A path as one word: escaped as above, a space as \x20, no quotes.
std::string path_word(std::string_view path, size_t most);

// Reads the quoted bytes at the start of `text` back: true, with the bytes
// and how many characters of `text` they took, when they are well formed.
bool unquote_bytes(std::string_view text, std::string *bytes, size_t *used);

struct trace_line {
    std::string library;
    std::string port;     // as written: escaped
    std::string event;
    std::string details;  // after ": ", or empty
};

// Splits a line (without its '\n') into its parts; false for one that does
// not have the layout above.
bool parse_trace_line(std::string_view line, trace_line *parsed);
