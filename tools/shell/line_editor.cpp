#include "line_editor.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <termios.h>
#include <unistd.h>

#include "posix/console.h"

namespace {

constexpr size_t history_size = 200;
std::deque<std::string> history;

bool editing_possible()
{
    if (isatty(STDIN_FILENO) == 0 || isatty(STDOUT_FILENO) == 0)
        return false;
    const char *term = std::getenv("TERM");
    return term == nullptr || std::strcmp(term, "dumb") != 0;
}

bool read_plain_line(std::string *line)
{
    line->clear();
    int ch;
    while ((ch = std::getchar()) != EOF) {
        if (ch == '\n')
            return true;
        *line += static_cast<char>(ch);
    }
    return !line->empty();
}

// Every key as it is typed, unechoed, control keys included: the editor
// draws the line itself.
void raw_keys(termios &settings)
{
    settings.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO | ISIG | IEXTEN));
    settings.c_iflag &= static_cast<tcflag_t>(~(IXON | ICRNL));
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
}

int read_key()
{
    unsigned char byte;
    for (;;) {
        const ssize_t n = read(STDIN_FILENO, &byte, 1);
        if (n == 1)
            return byte;
        if (n == 0)
            return -1;
        if (errno != EINTR)
            return -1;
    }
}

// Counts the characters of a UTF-8 text for cursor movement (a byte
// 0x80-0xBF continues a character).
size_t columns(const std::string &text, size_t bytes)
{
    size_t n = 0;
    for (size_t i = 0; i < bytes && i < text.size(); ++i)
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80)
            ++n;
    return n;
}

void redraw(const char *prompt, const std::string &line, size_t cursor)
{
    std::string out = "\r\033[K";
    out += prompt;
    out += line;
    const size_t back = columns(line, line.size()) - columns(line, cursor);
    if (back > 0)
        out += "\033[" + std::to_string(back) + "D";
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
}

size_t step_left(const std::string &line, size_t cursor)
{
    while (cursor > 0) {
        --cursor;
        if ((static_cast<unsigned char>(line[cursor]) & 0xC0) != 0x80)
            break;
    }
    return cursor;
}

size_t step_right(const std::string &line, size_t cursor)
{
    if (cursor < line.size())
        ++cursor;
    while (cursor < line.size() && (static_cast<unsigned char>(line[cursor]) & 0xC0) == 0x80)
        ++cursor;
    return cursor;
}

bool read_edited_line(const char *prompt, std::string *result)
{
    terminal_mode raw(raw_keys);
    if (!raw.enter())
        return read_plain_line(result);
    std::string line;
    size_t cursor = 0;
    size_t recalled = history.size();  // history.size() = the line being typed
    std::string typed;
    redraw(prompt, line, cursor);
    for (;;) {
        const int key = read_key();
        if (key < 0 || (key == 4 && line.empty())) {  // end of input, Ctrl-D
            std::fputs("\n", stdout);
            return false;
        }
        switch (key) {
        case '\r':
        case '\n':
            std::fputs("\r\n", stdout);
            std::fflush(stdout);
            if (!line.empty() && (history.empty() || history.back() != line)) {
                history.push_back(line);
                if (history.size() > history_size)
                    history.pop_front();
            }
            *result = line;
            return true;
        case 3:  // Ctrl-C: drop the line
            std::fputs("^C\r\n", stdout);
            line.clear();
            cursor = 0;
            recalled = history.size();
            break;
        case 127:
        case 8: {  // Backspace
            const size_t from = step_left(line, cursor);
            line.erase(from, cursor - from);
            cursor = from;
            break;
        }
        case 4: {  // Ctrl-D on text: delete under the cursor
            const size_t to = step_right(line, cursor);
            line.erase(cursor, to - cursor);
            break;
        }
        case 1: cursor = 0; break;              // Ctrl-A
        case 5: cursor = line.size(); break;    // Ctrl-E
        case 2: cursor = step_left(line, cursor); break;   // Ctrl-B
        case 6: cursor = step_right(line, cursor); break;  // Ctrl-F
        case 11: line.erase(cursor); break;     // Ctrl-K
        case 21: line.erase(0, cursor); cursor = 0; break;  // Ctrl-U
        case 27: {  // escape sequences: arrows, Home, End, Delete
            const int first = read_key();
            if (first != '[' && first != 'O')
                break;
            int code = read_key();
            int number = 0;
            while (code >= '0' && code <= '9') {
                number = number * 10 + (code - '0');
                code = read_key();
            }
            if (code == 'D') {
                cursor = step_left(line, cursor);
            } else if (code == 'C') {
                cursor = step_right(line, cursor);
            } else if (code == 'H' || (code == '~' && (number == 1 || number == 7))) {
                cursor = 0;
            } else if (code == 'F' || (code == '~' && (number == 4 || number == 8))) {
                cursor = line.size();
            } else if (code == '~' && number == 3) {
                const size_t to = step_right(line, cursor);
                line.erase(cursor, to - cursor);
            } else if ((code == 'A' && recalled > 0) || (code == 'B' && recalled < history.size())) {
                if (recalled == history.size())
                    typed = line;
                if (code == 'A')
                    --recalled;
                else
                    ++recalled;
                line = recalled == history.size() ? typed : history[recalled];
                cursor = line.size();
            }
            break;
        }
        default:
            if (key >= 32) {
                line.insert(cursor, 1, static_cast<char>(key));
                ++cursor;
            }
            break;
        }
        redraw(prompt, line, cursor);
    }
}

}  // namespace

bool read_command_line(const char *prompt, std::string *line)
{
    if (!editing_possible()) {
        if (isatty(STDIN_FILENO) != 0) {
            std::fputs(prompt, stdout);
            std::fflush(stdout);
        }
        return read_plain_line(line);
    }
    return read_edited_line(prompt, line);
}
