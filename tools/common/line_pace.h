// The pace of a serial line, for whatever plays a board on a pseudo-terminal
// (which by itself carries bytes at once): each character, with its start
// and stop bits, takes ten bit times, and characters cross one after another.
#pragma once

#include <algorithm>
#include <chrono>

constexpr int bits_per_character = 10;  // start bit, 8 data bits, stop bit

// The time one character takes at `baud`; zero for no line at all (0 or less).
constexpr double character_seconds(int baud)
{
    return baud > 0 ? static_cast<double>(bits_per_character) / baud : 0.0;
}
constexpr std::chrono::nanoseconds character_time(int baud)
{
    return std::chrono::nanoseconds(baud > 0 ? bits_per_character * 1'000'000'000LL / baud : 0);
}

// When the characters given to one direction of a line have crossed it.
// Time is a moment on the caller's clock: seconds as a double, or a
// std::chrono time point.
template <typename Time> class line_pace {
public:
    using span = decltype(Time() - Time());

    // Zero: no pace, a character has crossed as soon as it is given.
    void set_character_time(span character) { character_ = character; }
    bool paced() const { return character_ != span(); }

    // When a character given at `ready` has crossed: one character time
    // after the later of `ready` and the crossing of the one before.
    Time due(Time ready) const { return paced() ? std::max(ready, free_at_) + character_ : ready; }

    // Gives a character at `ready`; returns when it has crossed.
    Time give(Time ready)
    {
        free_at_ = due(ready);
        return free_at_;
    }

    // The character due at `due` crossed at `now`, the caller having woken
    // late: up to `catch_up` characters late the line keeps its schedule (the
    // next ones follow at once), later than that it counts as idle until now.
    void crossed(Time due, Time now, int catch_up) { free_at_ = now - due < catch_up * character_ ? due : now; }

private:
    span character_{};
    Time free_at_{};
};
