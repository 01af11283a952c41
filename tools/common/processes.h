// Other processes and the files they hold, read from /proc: who holds a
// serial device, who holds a pseudo-terminal's master.
#pragma once

#include <set>
#include <string>
#include <vector>

struct held_file {
    long pid;
    int fd;
    std::string target;  // what /proc/PID/fd/FD leads to
};

// The descriptors of every other process that this user may look at.
// `unreadable` (if given) counts the processes whose descriptors are hidden
// from us (other users').
std::vector<held_file> files_of_other_processes(int *unreadable);

// The descriptors of one process (this one's own: getpid()); none when it
// is hidden or gone.
std::vector<held_file> files_of_process(long pid);

// Among `files`, the process that holds the master of pseudo-terminal
// `index` (/dev/pts/<index>): whoever plays the far end of a pty link. 0
// when none of them does.
long pty_master_holder(const std::vector<held_file> &files, int index);

// A field of /proc/PID/fdinfo/FD ("tty-index" of a pty master), "" if none.
std::string descriptor_field(long pid, int fd, const std::string &field);

// The program a process runs, as a user knows it: its name, or for an
// emulator or interpreter the program it runs ("host (under qemu-i386)").
std::string program_of(long pid);

// "pid 812 (host (under qemu-i386))"
std::string process_text(long pid);

// The descriptors open in this process, without the one that lists them.
std::set<int> open_descriptors();
