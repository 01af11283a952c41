// The shell's commands: calls of exports by name, help, record, watch, check,
// ports.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "export_call.h"
#include "result_text.h"

// Where results go (stdout) and messages go (stderr); tests redirect them.
extern FILE *shell_out;
extern FILE *shell_err;
extern text_encoding shell_encoding;
// Standard input is a terminal: the prompt, notes while loading.
extern bool shell_interactive;

// Runs one line of commands. True when all succeeded (a blank line or a
// comment succeeds); false after a message on shell_err.
bool run_line(const std::string &line);
// One command; its result stays open for more on the same line until
// end_result_line.
bool run_words(const std::vector<std::string> &words);
void end_result_line();

// Set by quit and exit.
bool shell_quit_requested();

// An export with its checked arguments and its address, ready to call.
struct prepared_call {
    const export_info *info = nullptr;
    call_arguments arguments;
    void *address = nullptr;
};

// Looks up words[0] as an export and checks words[1..] as its arguments;
// only then resolves the address (loading the library). False, with a
// message, when any step fails: nothing has been called then.
bool prepare_call(const std::vector<std::string> &words, prepared_call *call);

// Calls it, after flushing our output so that anything the library prints
// lands in order. When the result cannot be the board's (the library has no
// port, the answer did not come in time or is not a reading, as the
// library's trace says) it says so on shell_err, once per run for each
// cause.
call_result perform_call(const prepared_call &call);

// False once a result was shown that is not the board's: the exit status
// tells a script so.
bool all_results_from_board();
// Starts over as a new run would: each warning may come once more.
void reset_result_warnings();

// False (after a message) when a topic names no export or command.
bool print_help(const std::vector<std::string> &topics);
