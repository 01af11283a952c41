// The board's answers as the shell judges them: what a reading is, how an
// answer is shown in a message, and the answer the library read in a call.
// The library turns an answer that is not a number into 0, as it does a
// missing one, so the shell looks at the bytes themselves: while a call
// runs, it keeps what the library reads from its port (see board_answer.cpp).
#pragma once

#include <string>

// The bytes for a message: quoted, line ends as \n, other control and
// non-ASCII bytes as ?, cut after 24.
std::string shown(const std::string &bytes);

// Starts keeping what the library reads from its port, after each command it
// writes there; ends with answer_tap_end.
void answer_tap_begin();
void answer_tap_end();

// What the last tapped call read after its last command: the answer line up
// to its first line end (line ends before it skipped, zero bytes dropped, as
// the library takes it), or the first answer byte. Empty (and -1) when no
// answer came.
std::string tapped_answer_line();
int tapped_answer_byte();
