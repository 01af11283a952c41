#include "line_editor.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#if ARDUINODRV_SHELL_LIBEDIT
#include <histedit.h>
#endif

namespace {

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

#if ARDUINODRV_SHELL_LIBEDIT

bool editing_possible()
{
    if (isatty(STDIN_FILENO) == 0 || isatty(STDOUT_FILENO) == 0)
        return false;
    const char *term = std::getenv("TERM");
    return term == nullptr || std::strcmp(term, "dumb") != 0;
}

constexpr int history_size = 200;

const char *current_prompt = "";
const char *prompt_of(EditLine *) { return current_prompt; }

volatile sig_atomic_t interrupted = 0;
void note_interrupt(int) { interrupted = 1; }

// The editor and its history: libedit (emacs keys, arrows, Home, End,
// history; ~/.editrc read as other libedit programs read it). Made on the
// first edited line, kept for the shell's life.
struct editor {
    EditLine *line = nullptr;
    History *history = nullptr;
    editor()
    {
        line = el_init("arduinodrv-shell", stdin, stdout, stderr);
        history = history_init();
        if (line == nullptr || history == nullptr)
            return;
        HistEvent event;
        ::history(history, &event, H_SETSIZE, history_size);
        ::history(history, &event, H_SETUNIQUE, 1);
        el_set(line, EL_EDITOR, "emacs");
        el_set(line, EL_PROMPT, prompt_of);
        el_set(line, EL_HIST, ::history, history);
        el_source(line, nullptr);
    }
    bool usable() const { return line != nullptr && history != nullptr; }
};

// Ctrl-C drops the line being typed and asks again, as other shells do,
// instead of ending the shell.
bool read_edited_line(const char *prompt, std::string *result)
{
    static editor edit;
    if (!edit.usable())
        return read_plain_line(result);
    current_prompt = prompt;
    struct sigaction action {}, previous {};
    action.sa_handler = note_interrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &previous);
    const char *got = nullptr;
    int count = 0;
    for (;;) {
        interrupted = 0;
        got = el_gets(edit.line, &count);
        if (got != nullptr || !interrupted)
            break;
        std::fputs("^C\n", stdout);
        el_reset(edit.line);
    }
    sigaction(SIGINT, &previous, nullptr);
    if (got == nullptr || count <= 0) {
        std::fputs("\n", stdout);
        return false;  // end of input (Ctrl-D on an empty line)
    }
    *result = got;
    if (!result->empty() && result->back() == '\n')
        result->pop_back();
    if (!result->empty()) {
        HistEvent event;
        ::history(edit.history, &event, H_ENTER, result->c_str());
    }
    return true;
}

#endif

}  // namespace

bool read_command_line(const char *prompt, std::string *line)
{
#if ARDUINODRV_SHELL_LIBEDIT
    if (editing_possible())
        return read_edited_line(prompt, line);
#endif
    if (isatty(STDIN_FILENO) != 0) {
        std::fputs(prompt, stdout);
        std::fflush(stdout);
    }
    return read_plain_line(line);
}
