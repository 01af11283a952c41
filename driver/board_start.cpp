// After each open, once the board has started: what its sketch can do, and
// the faster line when the options ask for one and the sketch can move.
#include "board_object.h"
#include "posix/clock.h"
#include "protocol/board_line.h"

namespace {

// How long the project's sketch may take to answer a question of its own;
// a classic sketch says nothing, and costs each open this long.
constexpr int32_t question_limit_ms = 250;
// After moving to a new rate the sketch goes back to 9600 unless it hears a
// line it understands within this long (board_protocol.h).
constexpr int32_t rate_fallback_ms = 1000;
// From the end of the sketch's answer to XB to its new rate: the answer's
// last byte on the wire, and the sketch's switch.
constexpr int32_t rate_switch_ms = 10;

// Sends `command` and reads lines until `wanted` takes one, for at most
// question_limit_ms.
template <typename taker> bool ask(ab_board &board, const std::string &command, taker wanted)
{
    line_exchange &exchange = board.exchange;
    exchange.settle(0, board.options.timeout_ms);
    if (exchange.send_line(command_line(command)) == 0 || exchange.line_cut())
        return false;
    answer_line line;
    return exchange.receive(deadline_after(question_limit_ms), [&](char byte) {
               if (!line.take(byte))
                   return false;
               if (wanted(line.text()))
                   return true;
               line = answer_line();
               return false;
           }) == answer_outcome::answered;
}

sketch_identity identify(ab_board &board)
{
    sketch_identity identity;
    ask(board, identify_command, [&](const std::string &line) { return parse_identity(line, &identity); });
    return identity;
}

// Both ends to `baud`, checked by a question at the new rate; back to 9600
// when the board does not answer there.
int32_t move_line(ab_board &board, int32_t baud)
{
    int32_t agreed = 0;
    if (!ask(board, rate_command(baud), [&](const std::string &line) { return rate_answer(line, &agreed); }) ||
        agreed != baud)
        return driver_line.baud;
    const deadline switched = deadline_after(rate_switch_ms);
    sleep_until_passed(switched);
    serial_port &port = board.exchange.port().port();
    if (port.set_rate(baud) && identify(board).version > 0)
        return baud;
    // The sketch goes back by itself after a silence at the new rate.
    port.set_rate(driver_line.baud);
    sleep_until_passed(deadline{switched.start_ms, rate_fallback_ms + question_limit_ms});
    board.sketch = identify(board);
    return driver_line.baud;
}

}  // namespace

void start_sketch(ab_board &board)
{
    board.sketch = identify(board);
    int32_t baud = driver_line.baud;
    if (board.options.baud > driver_line.baud && board.sketch.rates)
        baud = move_line(board, board.options.baud);
    std::lock_guard<std::mutex> state(board.state_lock);
    board.link.sketch = board.sketch.version;
    board.link.baud = baud;
}
