// The answers to a scan: classic commands written back to back, answered in
// their order. Line answers (analog inputs: digits and a line end) and byte
// answers (digital inputs: the bytes 0 and 1) alternate, so an answer that is
// missing or cut shows where the next one of the other kind begins, and
// spoils only its own value instead of shifting the rest onto the wrong
// requests. (Two missing in a row can still shift: the classic answers carry
// no request number.)
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class answer_kind { line, byte };

struct scan_answer {
    enum class state { waiting, reading, not_a_reading, missing };
    answer_kind kind;
    state got = state::waiting;
    int32_t value = 0;  // the reading, when got is reading
    std::string text;   // what came, for a message
};

class scan_answers {
public:
    explicit scan_answers(const std::vector<answer_kind> &kinds);

    // Takes one received byte. Returns the index of the answer it completed,
    // with a reading or with something else, or -1. An answer it showed to
    // be missing is marked so on the way.
    int take(char byte);

    // Once every answer is in (or known missing).
    bool finished() const { return next_ == answers_.size(); }
    const std::vector<scan_answer> &answers() const { return answers_; }

    // The answers still waiting (at the time limit) are missing.
    void give_up();

private:
    void close_current(scan_answer::state got);
    std::vector<scan_answer> answers_;
    size_t next_ = 0;
};
