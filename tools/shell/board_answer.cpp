#include "board_answer.h"

#include <dlfcn.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "protocol/board_channels.h"
#include "protocol/line_protocol.h"

std::string shown(const std::string &bytes)
{
    std::string text;
    for (const unsigned char c : bytes.substr(0, 24)) {
        if (c == '\n' || c == '\r')
            text += "\\n";
        else if (c < 0x20 || c >= 0x7f)
            text += '?';
        else
            text += static_cast<char>(c);
    }
    return "\"" + text + (bytes.size() > 24 ? "..." : "") + "\"";
}

// The tap. The shell defines read and write itself (exported from the
// program, so the loaded library's calls come here) and passes every call
// on. While a call of an export runs, the library touches no descriptor
// above 2 but its port (it never puts a port on 0 to 2), so the bytes read
// from those after the last write there are the answer to its command. A
// fixed buffer: an answer is short, and a board that floods must not make
// the shell grow.
namespace {

bool tapping = false;
char tapped[64];
size_t tapped_count = 0;

template <typename F>
F next_definition(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" ssize_t read(int fd, void *buffer, size_t count)
{
    using read_function = ssize_t (*)(int, void *, size_t);
    static const read_function next = next_definition<read_function>("read");
    const ssize_t got = next != nullptr ? next(fd, buffer, count) : syscall(SYS_read, fd, buffer, count);
    if (tapping && fd > 2 && got > 0) {
        const char *bytes = static_cast<const char *>(buffer);
        for (ssize_t i = 0; i < got && tapped_count < sizeof tapped; ++i)
            tapped[tapped_count++] = bytes[i];
    }
    return got;
}

extern "C" ssize_t write(int fd, const void *buffer, size_t count)
{
    using write_function = ssize_t (*)(int, const void *, size_t);
    static const write_function next = next_definition<write_function>("write");
    if (tapping && fd > 2)
        tapped_count = 0;  // what was read before the command is no answer to it
    return next != nullptr ? next(fd, buffer, count) : syscall(SYS_write, fd, buffer, count);
}

void answer_tap_begin()
{
    tapped_count = 0;
    tapping = true;
}

void answer_tap_end() { tapping = false; }

namespace {

// Read as the library reads it, by the protocol's own answer-line rules.
answer_line tapped_answer()
{
    answer_line answer;
    for (size_t i = 0; i < tapped_count && !answer.take(tapped[i]); ++i) {
    }
    return answer;
}

}  // namespace

std::string tapped_answer_line() { return tapped_answer().text(); }

int tapped_answer_byte() { return tapped_answer().first_byte(); }
