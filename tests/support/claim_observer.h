// Whether a device is claimed, seen as a second program sees it: its open
// fails with EBUSY (a terminal's exclusive mode) or its lock (flock,
// LOCK_EX | LOCK_NB) is refused. As root the observer drops to nobody, so
// that the exclusive mode counts as it does for a user (each device is made
// openable for nobody); asking the kernel (TIOCGEXCL) instead fails under
// qemu-i386. The observer is a process forked at construction: make it before
// the library is loaded, since a fork of the loader after the load would
// leave the claim to the child, as a daemon's does.
#pragma once

#include <string>
#include <sys/types.h>

class claim_observer {
public:
    claim_observer();
    ~claim_observer();
    claim_observer(const claim_observer &) = delete;
    claim_observer &operator=(const claim_observer &) = delete;

    // True when a second program cannot have the device; false when its
    // open and its lock both succeed (and are given back at once).
    bool held_exclusively(const std::string &path);

private:
    [[noreturn]] void serve();

    int requests_[2] = {-1, -1}, replies_[2] = {-1, -1};
    pid_t pid_ = -1;
};
