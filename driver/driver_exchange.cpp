#include "driver_exchange.h"

#include "posix/clock.h"
#include "posix/deadline.h"
#include "text_convert.h"

constinit line_exchange driver_exchange;

namespace {
constexpr int32_t pause_before_drain_ms = 9;
constexpr int32_t pause_after_write_ms = 1;
constexpr int32_t drain_limit_ms = 1000;
}  // namespace

int32_t send_command(const std::string &command)
{
    return static_cast<int32_t>(driver_exchange.send_line(command_line(command)));
}

int32_t exchange_byte(const std::string &command)
{
    driver_exchange.drain(drain_limit_ms);
    if (send_command(command) == 0)
        return no_answer_byte;  // nothing went out, so no answer can come
    // At 9600 baud the command alone takes about 4 ms on the wire: the answer
    // byte is waited for, within the same limit as an analog answer.
    const answer got = driver_exchange.read_byte(deadline_after(answer_limit_ms));
    if (got.outcome != answer_outcome::answered)
        return no_answer_byte;
    // eb takes any byte but zero for a 1: only the sketch's 0 and 1 are levels.
    if (driver_exchange.trace() != nullptr && got.byte != 0 && got.byte != 1)
        driver_exchange.answer_not_a_reading(std::string(1, static_cast<char>(got.byte)));
    return got.byte;
}

std::string exchange_command(const std::string &command)
{
    delay_ms(pause_before_drain_ms);
    driver_exchange.drain(drain_limit_ms);
    driver_exchange.send_line(answered_command_line(command));
    delay_ms(pause_after_write_ms);
    const deadline d = deadline_after(answer_limit_ms);
    const answer got = driver_exchange.read_line(d);
    if (got.outcome == answer_outcome::answered) {
        // ea and ead turn words into 0 (or into the number they begin with).
        if (int32_t reading; driver_exchange.trace() != nullptr && !is_analog_reading(got.line, &reading))
            driver_exchange.answer_not_a_reading(got.line);
        return trim_spaces(got.line);
    }
    // No port, or a device gone: the request still takes its whole limit, so
    // a host polling an unplugged board is paced as by a silent one.
    sleep_until_passed(d);
    return std::string();
}
