// Whether a terminal is some session's controlling terminal: a person's
// shell, a console, a getty. Such a terminal is never a board; opening it as
// one would set someone's screen to raw 9600 baud, write commands on it and
// read keystrokes as readings (a board's old link that now leads to a new
// terminal with the same pty number).
#pragma once

// The terminal open on `fd` is a session's controlling terminal. The kernel
// tells this only for the caller's own terminal, so any other is looked for
// among the processes: one read of /proc/<pid>/stat per process the caller
// may see, until one has it as its terminal. A process hidden from the caller
// (/proc mounted with hidepid) is not seen.
bool is_session_terminal(int fd);
