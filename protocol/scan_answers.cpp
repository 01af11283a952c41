#include "scan_answers.h"

#include "line_protocol.h"

namespace {
// A digital answer: the sketch's bytes 0 and 1.
bool is_level_byte(char byte)
{
    return byte == '\0' || byte == '\1';
}

bool is_digit(char byte)
{
    return byte >= '0' && byte <= '9';
}

// Longer than any reading line: the rest of a flood is not kept.
constexpr size_t longest_kept_line = 32;
}  // namespace

scan_answers::scan_answers(const std::vector<answer_kind> &kinds)
{
    for (const answer_kind kind : kinds)
        answers_.push_back(scan_answer{kind, scan_answer::state::waiting, 0, std::string()});
}

void scan_answers::close_current(scan_answer::state got)
{
    scan_answer &answer = answers_[next_];
    answer.got = got;
    if (got == scan_answer::state::reading && answer.kind == answer_kind::line &&
        !is_analog_reading(answer.text, &answer.value))
        answer.got = scan_answer::state::not_a_reading;
    ++next_;
}

int scan_answers::take(char byte)
{
    while (!finished()) {
        scan_answer &answer = answers_[next_];
        const int index = static_cast<int>(next_);
        if (answer.kind == answer_kind::line) {
            if (is_line_end(byte)) {
                if (answer.text.empty())
                    return -1;  // the tail of the answer before
                close_current(scan_answer::state::reading);
                return index;
            }
            if (is_level_byte(byte)) {
                // The next (byte) answer began: this line is missing or cut.
                close_current(scan_answer::state::missing);
                continue;
            }
            if (answer.text.size() < longest_kept_line)
                answer.text.push_back(byte);
            return -1;
        }
        if (is_line_end(byte))
            return -1;
        if (is_digit(byte)) {
            // The next (line) answer began: this byte is missing.
            close_current(scan_answer::state::missing);
            continue;
        }
        answer.text.assign(1, byte);
        answer.value = byte;
        close_current(is_level_byte(byte) ? scan_answer::state::reading : scan_answer::state::not_a_reading);
        return index;
    }
    return -1;  // beyond the last answer: for the next drain
}

void scan_answers::give_up()
{
    while (!finished())
        close_current(scan_answer::state::missing);
}
