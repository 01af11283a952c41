// A board object's requests: the 71 exports' commands on the board's own
// exchange, with a status for each outcome and no pause beyond what the
// line needs.
#include <cerrno>

#include "board_object.h"
#include "posix/clock.h"
#include "protocol/board_channels.h"
#include "protocol/board_line.h"
#include "protocol/line_protocol.h"
#include "protocol/scan_answers.h"
#include "protocol/trace_line.h"

namespace {

board_result fail(ab_status status, const ab_board &board, const char *what)
{
    return board_result{status, board.path + ": " + what};
}

board_result no_port(ab_board &board)
{
    {
        std::lock_guard<std::mutex> state(board.state_lock);
        ++board.link.no_port;
    }
    const open_failure &failure = board.exchange.port().last_failure();
    if (failure.error == 0)
        return fail(AB_NO_PORT, board, "the device is gone (unplugged?)");
    return fail(status_of_open_failure(failure.error), board, failure.reason());
}

board_result gone(ab_board &board)
{
    {
        std::lock_guard<std::mutex> state(board.state_lock);
        ++board.link.no_port;
    }
    return fail(AB_NO_PORT, board, "the device went away");
}

}  // namespace

board_result ready(ab_board &board)
{
    if (board.closing)
        return board_result{AB_BAD_ARGUMENT, "the board was closed while the call waited for it"};
    if (board.stream)
        return board_result{AB_STREAMING, board.path + ": a stream is running (ab_stream_stop ends it)"};
    kept_port &port = board.exchange.port();
    if (!port.reopen())
        return no_port(board);
    if (port.opens() != board.seen_opens) {
        board.exchange.new_line();
        note_open(board);
        sleep_until_passed(board.restarted);
        start_sketch(board);
        if (!port.port().is_open())
            return no_port(board);
    }
    return board_result{};
}

namespace {

// Publishes, as a request ends, whether the device is still open: the port
// is the request's own while it runs.
struct connection_news {
    ab_board &board;
    ~connection_news()
    {
        const bool open = board.exchange.port().port().is_open();
        std::lock_guard<std::mutex> state(board.state_lock);
        board.link.connected = open ? 1 : 0;
    }
};

// Counts a request sent, and how it went.
board_result count(ab_board &board, board_result result, const answer *got = nullptr)
{
    std::lock_guard<std::mutex> state(board.state_lock);
    ++board.link.requests;
    if (result.status == AB_NO_ANSWER)
        ++board.link.no_answer;
    else if (result.status == AB_NOT_A_READING)
        ++board.link.not_a_reading;
    else if (result.status == AB_OK && got != nullptr)
        board.link.last_answer_ns = got->arrived_ns;
    else if (result.status == AB_NO_PORT)
        ++board.link.no_port;  // it went away during the request
    return result;
}

// Writes a command line whole. AB_OK once the device took all of it.
board_result send(ab_board &board, const std::string &line)
{
    const size_t sent = board.exchange.send_line(line);
    if (sent > 0 && !board.exchange.line_cut())
        return board_result{};
    if (!board.exchange.port().port().is_open())
        return fail(AB_NO_PORT, board, "the device went away while the command was written");
    return fail(AB_NO_ANSWER, board, "the device took no command within its time limit (a full line)");
}

// Why an answer is not one, in words a person reads: the bytes quoted as
// the trace quotes them, at most 24 of them.
std::string quoted(const std::string &bytes)
{
    return quoted_bytes(bytes, 24);
}

board_result no_answer(ab_board &board, const answer &got)
{
    if (got.outcome == answer_outcome::gone)
        return fail(AB_NO_PORT, board, "the device went away during the answer");
    return fail(AB_NO_ANSWER, board,
                ("no whole answer within " + std::to_string(board.options.timeout_ms) + " ms").c_str());
}

// The answer to a tagged request: the line that names it, whatever comes
// before (another request's answer however late, a cut one, noise).
answer read_tagged(line_exchange &exchange, const std::string &command, uint16_t tag, const deadline &d)
{
    answer result;
    answer_line line;
    std::string value;
    result.outcome = exchange.receive(d, [&](char byte) {
        if (!line.take(byte))
            return false;
        if (tagged_answer(line.text(), command, tag, &value))
            return true;
        line = answer_line();
        return false;
    });
    if (result.outcome == answer_outcome::answered) {
        result.arrived_ns = realtime_ns();
        result.arrived_monotonic_ns = monotonic_ns();
        result.line = value;
    }
    return result;
}

// An input's request: its command, and whether the classic answer is a
// line (an analog input) or one byte (a digital one).
struct input_request {
    std::string command;
    bool analog;
};

// One request that reads: settle the line, write, read the answer (tagged
// when the sketch can, else classic) and judge it.
board_result read_request(ab_board &board, const input_request &asked, ab_reading &reading)
{
    std::lock_guard<std::mutex> request(board.request_lock);
    const connection_news news{board};
    board_result result = ready(board);
    if (result.status != AB_OK)
        return result;
    line_exchange &exchange = board.exchange;
    const bool tagged = board.sketch.tags;
    const uint16_t tag = board.next_tag++;
    // A tagged answer cannot be taken for another's: what waits is
    // discarded, and no quiet line is waited for.
    exchange.settle(tagged ? 0 : quiet_line_ms, board.options.timeout_ms);
    if (!exchange.port().port().is_open())
        return gone(board);
    std::string line;
    if (tagged)
        line = command_line(tagged_command(asked.command, tag));
    else
        line = asked.analog ? answered_command_line(asked.command) : command_line(asked.command);
    const int64_t started_ns = monotonic_ns();
    result = send(board, line);
    if (result.status != AB_OK)
        return count(board, result);
    const deadline d = deadline_after(board.options.timeout_ms);
    answer got;
    if (tagged)
        got = read_tagged(exchange, asked.command, tag, d);
    else
        got = asked.analog ? exchange.read_line(d) : exchange.read_byte(d);
    if (got.outcome != answer_outcome::answered)
        return count(board, no_answer(board, got));
    // A tagged digital answer is the digit; a classic one the byte.
    int32_t value = 0;
    const bool right = asked.analog ? is_analog_reading(got.line, &value)
                       : tagged     ? is_digital_text(got.line, &value)
                                    : is_digital_reading(got.byte, &value);
    if (!right) {
        if (!tagged)
            exchange.doubt_answer();
        const std::string shown = tagged || asked.analog ? got.line : std::string(1, static_cast<char>(got.byte));
        exchange.answer_not_a_reading(shown);
        return count(board, fail(AB_NOT_A_READING, board, ("the answer " + quoted(shown) + " is not a reading").c_str()));
    }
    reading.raw = value;
    reading.volts = asked.analog ? value * analog_full_scale_volts / analog_reading_steps
                                 : value * analog_full_scale_volts;
    reading.time_ns = got.arrived_ns;
    reading.round_trip_ns = got.arrived_monotonic_ns - started_ns;
    return count(board, result, &got);
}

}  // namespace

void note_open(ab_board &board)
{
    board.sketch = sketch_identity{};
    board.seen_opens = board.exchange.port().opens();
    board.restarted = deadline_after(board.options.start_ms);
    std::lock_guard<std::mutex> state(board.state_lock);
    board.link.opens = board.seen_opens;
    board.link.opened_ns = realtime_ns();
    board.link.connected = 1;
    board.link.baud = driver_line.baud;  // every open starts at 9600
    board.link.sketch = 0;
    for (int32_t &duty : board.link.pwm)
        duty = 0;
    for (int32_t &level : board.link.digital)
        level = 0;
}

ab_status status_of_open_failure(int error)
{
    switch (error) {
    case EBUSY:
    case EWOULDBLOCK:
        return AB_PORT_BUSY;
    case EACCES:
    case EPERM:
    case EROFS:
        return AB_NO_PERMISSION;
    case ENOTTY:
    case EISDIR:
        return AB_NOT_A_PORT;
    default:
        return AB_NO_PORT;
    }
}

board_result read_analog(ab_board &board, int32_t channel, ab_reading &reading)
{
    return read_request(board, {analog_input_command(std::to_string(channel)), true}, reading);
}

board_result read_digital(ab_board &board, int32_t channel, ab_reading &reading)
{
    return read_request(board, {digital_input_command(digital_input_pins[channel]), false}, reading);
}

namespace {
// One request that sets an output: write its command line, read nothing.
// `held` is what the board then holds, for ab_link.
board_result write_request(ab_board &board, const std::string &line, int32_t &held, int32_t value)
{
    std::lock_guard<std::mutex> request(board.request_lock);
    const connection_news news{board};
    board_result result = ready(board);
    if (result.status != AB_OK)
        return result;
    result = send(board, line);
    if (result.status == AB_OK) {
        std::lock_guard<std::mutex> state(board.state_lock);
        held = value;
    }
    return count(board, result);
}
}  // namespace

board_result write_pwm(ab_board &board, int32_t channel, int32_t duty)
{
    return write_request(board, command_line(pwm_output_command(pwm_output_pins[channel], duty)),
                         board.link.pwm[channel], duty);
}

board_result write_digital(ab_board &board, int32_t channel, bool on)
{
    return write_request(board, command_line(digital_output_command(digital_output_pins[channel], on)),
                         board.link.digital[channel], on ? 1 : 0);
}

namespace {

// A scan's requests in the order they go out: analog and digital inputs
// alternate, and a digital request of pin 0 (answered, and ignored) parts
// the last two analog ones.
struct scan_place {
    answer_kind kind;
    int32_t channel;  // -1: the parting request
};
constexpr scan_place scan_order[] = {
    {answer_kind::line, 0}, {answer_kind::byte, 0}, {answer_kind::line, 1}, {answer_kind::byte, 1},
    {answer_kind::line, 2}, {answer_kind::byte, 2}, {answer_kind::line, 3}, {answer_kind::byte, 3},
    {answer_kind::line, 4}, {answer_kind::byte, -1}, {answer_kind::line, 5},
};
constexpr int scan_requests = analog_input_count + channels_of_each_kind;

ab_status status_of(const scan_answer &answer, bool gone)
{
    switch (answer.got) {
    case scan_answer::state::reading: return AB_OK;
    case scan_answer::state::not_a_reading: return AB_NOT_A_READING;
    default: return gone ? AB_NO_PORT : AB_NO_ANSWER;
    }
}

// The worse of two statuses, for the scan's own.
ab_status worse(ab_status a, ab_status b)
{
    for (const ab_status status : {AB_NO_PORT, AB_NO_ANSWER, AB_NOT_A_READING})
        if (a == status || b == status)
            return status;
    return a;
}

// A scan that asked nothing: every value has the scan's status.
board_result none_asked(ab_scan_result &result, board_result outcome)
{
    for (ab_status &status : result.analog_status)
        status = outcome.status;
    for (ab_status &status : result.digital_status)
        status = outcome.status;
    return outcome;
}

}  // namespace

board_result scan(ab_board &board, ab_scan_result &result)
{
    std::lock_guard<std::mutex> request(board.request_lock);
    const connection_news news{board};
    board_result outcome = ready(board);
    if (outcome.status != AB_OK)
        return none_asked(result, outcome);
    line_exchange &exchange = board.exchange;
    exchange.settle(quiet_line_ms, board.options.timeout_ms);
    if (!exchange.port().port().is_open())
        return none_asked(result, gone(board));

    std::string lines;
    std::vector<answer_kind> kinds;
    for (const scan_place &place : scan_order) {
        kinds.push_back(place.kind);
        lines += command_line(place.kind == answer_kind::line
                                  ? analog_input_command(std::to_string(place.channel))
                                  : digital_input_command(pin_of_channel(digital_input_pins, place.channel)));
    }
    const int64_t started_ns = monotonic_ns();
    outcome = send(board, lines);
    struct arrival {
        int64_t real_ns = 0, monotonic_ns = 0;
    } arrived[std::size(scan_order)];
    scan_answers answers(kinds);
    bool gone_away = false;
    if (outcome.status == AB_OK) {
        const answer_outcome got = exchange.receive(deadline_after(board.options.timeout_ms), [&](char byte) {
            const int index = answers.take(byte);
            if (index >= 0)
                arrived[index] = {realtime_ns(), monotonic_ns()};
            return answers.finished();
        });
        gone_away = got == answer_outcome::gone;
        answers.give_up();
    }
    std::string why;
    ab_status overall = AB_OK;
    uint64_t no_answer = 0, not_a_reading = 0;
    int64_t last_answer_ns = 0;
    for (size_t i = 0; i < std::size(scan_order); ++i) {
        const scan_place &place = scan_order[i];
        if (place.channel < 0)
            continue;
        const scan_answer &answer = answers.answers()[i];
        const ab_status status = outcome.status != AB_OK ? outcome.status : status_of(answer, gone_away);
        const bool analog = place.kind == answer_kind::line;
        ab_reading &reading = analog ? result.analog[place.channel] : result.digital[place.channel];
        (analog ? result.analog_status : result.digital_status)[place.channel] = status;
        overall = worse(overall, status);
        no_answer += status == AB_NO_ANSWER;
        not_a_reading += status == AB_NOT_A_READING;
        if (status == AB_NOT_A_READING)
            exchange.answer_not_a_reading(answer.text);
        if (status != AB_OK) {
            why += (why.empty() ? "" : "; ") + std::string(analog ? "analog input " : "digital input ") +
                   std::to_string(place.channel) + ": " +
                   (status == AB_NOT_A_READING ? "the answer " + quoted(answer.text) + " is not a reading"
                                               : std::string(ab_status_text(status)));
            continue;
        }
        reading.raw = answer.value;
        reading.volts = analog ? answer.value * analog_full_scale_volts / analog_reading_steps
                               : answer.value * analog_full_scale_volts;
        reading.time_ns = arrived[i].real_ns;
        reading.round_trip_ns = arrived[i].monotonic_ns - started_ns;
        last_answer_ns = reading.time_ns;
    }
    if (overall != AB_OK && outcome.status == AB_OK)
        exchange.doubt_answer();  // what is missing may still come
    std::lock_guard<std::mutex> state(board.state_lock);
    board.link.requests += scan_requests;
    board.link.no_answer += no_answer;
    board.link.not_a_reading += not_a_reading;
    if (last_answer_ns != 0)
        board.link.last_answer_ns = last_answer_ns;
    if (overall == AB_OK)
        return board_result{};
    return board_result{overall, board.path + ": " + why};
}
