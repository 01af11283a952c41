// Every input in one exchange. The project's sketch answers one tagged
// request with all ten values, so no late or missing answer can move a
// value onto another input. A classic sketch gets the classic commands back
// to back, answered in their order; its line is first quiet after any
// failure.
#include "board_object.h"
#include "posix/clock.h"
#include "protocol/board_channels.h"
#include "protocol/line_protocol.h"
#include "protocol/trace_line.h"

namespace {

// A classic scan's requests in the order they go out: analog and digital
// inputs alternate, and a digital request of pin 0 (answered, and ignored)
// parts the last two analog ones, so an answer that is missing or cut
// spoils its own value alone.
struct scan_place {
    answer_kind kind;
    int32_t channel;  // -1: the parting request
};
constexpr scan_place scan_order[] = {
    {answer_kind::line, 0}, {answer_kind::byte, 0}, {answer_kind::line, 1}, {answer_kind::byte, 1},
    {answer_kind::line, 2}, {answer_kind::byte, 2}, {answer_kind::line, 3}, {answer_kind::byte, 3},
    {answer_kind::line, 4}, {answer_kind::byte, -1}, {answer_kind::line, 5},
};
// The requests a classic scan counts: one per input (the parting one is
// not one).
constexpr uint64_t classic_scan_requests = AB_ANALOG_INPUTS + AB_DIGITAL_INPUTS;

// The worse of two statuses, for the scan's own.
ab_status worse(ab_status a, ab_status b)
{
    for (const ab_status status : {AB_NO_PORT, AB_NO_ANSWER, AB_NOT_A_READING})
        if (a == status || b == status)
            return status;
    return a;
}

void set_reading(ab_reading &reading, int32_t value, bool analog, int64_t real_ns, int64_t round_trip_ns)
{
    reading.raw = value;
    reading.volts = analog ? value * analog_full_scale_volts / analog_reading_steps : value * analog_full_scale_volts;
    reading.time_ns = real_ns;
    reading.round_trip_ns = round_trip_ns;
}

void every_status(ab_scan_result &result, ab_status status)
{
    for (ab_status &each : result.analog_status)
        each = status;
    for (ab_status &each : result.digital_status)
        each = status;
}

board_result tagged_scan(ab_board &board, std::unique_lock<std::mutex> &lock, ab_scan_result &result)
{
    lock.unlock();
    awaited_answer answer;
    const int64_t started_ns = monotonic_ns();
    const exchange_outcome outcome = exchange(board, scan_command, answer, board.options.timeout_ms);
    lock.lock();
    ++board.link.requests;
    int32_t analog[AB_ANALOG_INPUTS], digital[AB_DIGITAL_INPUTS];
    ab_status status = AB_OK;
    std::string why;
    if (outcome == exchange_outcome::gone) {
        status = AB_NO_PORT;
        why = "the device went away";
        ++board.link.no_port;
    } else if (outcome != exchange_outcome::answered) {
        status = AB_NO_ANSWER;
        why = "no whole answer within " + std::to_string(board.options.timeout_ms) + " ms";
        ++board.link.no_answer;
    } else if (!scan_value(answer.item.text, analog, digital)) {
        status = AB_NOT_A_READING;
        why = "the answer " + quoted_bytes(answer.item.text, 48) + " is not a reading of every input";
        ++board.link.not_a_reading;
    }
    every_status(result, status);
    if (status != AB_OK)
        return {status, board.path + ": " + why};
    const int64_t round_trip = answer.arrived_monotonic_ns - started_ns;
    for (int channel = 0; channel < AB_ANALOG_INPUTS; ++channel)
        set_reading(result.analog[channel], analog[channel], true, answer.arrived_ns, round_trip);
    for (int channel = 0; channel < AB_DIGITAL_INPUTS; ++channel)
        set_reading(result.digital[channel], digital[channel], false, answer.arrived_ns, round_trip);
    board.link.last_answer_ns = answer.arrived_ns;
    return {};
}

board_result classic_scan(ab_board &board, std::unique_lock<std::mutex> &lock, ab_scan_result &result)
{
    if (board.classic_unsettled) {
        wait_quiet(board, lock, quiet_line_ms, board.options.timeout_ms, board.unsettled_at_ms);
        board.classic_unsettled = false;
    }
    std::string lines;
    std::vector<answer_kind> kinds;
    for (const scan_place &place : scan_order) {
        kinds.push_back(place.kind);
        lines += command_line(place.kind == answer_kind::line
                                  ? analog_input_command(std::to_string(place.channel))
                                  : digital_input_command(pin_of_channel(digital_input_pins, place.channel)));
    }
    classic_scan_bytes bytes(kinds);
    awaited_answer answer;
    answer.what = awaited_answer::kind::scan;
    answer.scan = &bytes;
    lock.unlock();
    const int64_t started_ns = monotonic_ns();
    const exchange_outcome outcome = exchange(board, lines, answer, board.options.timeout_ms);
    lock.lock();
    bytes.answers.give_up();
    if (outcome != exchange_outcome::answered) {
        board.classic_unsettled = true;  // what is missing may still come
        board.unsettled_at_ms = elapsed_ms();
    }
    const bool gone = outcome == exchange_outcome::gone;
    std::string why;
    ab_status overall = AB_OK;
    for (size_t i = 0; i < std::size(scan_order); ++i) {
        const scan_place &place = scan_order[i];
        if (place.channel < 0)
            continue;
        const scan_answer &got = bytes.answers.answers()[i];
        ab_status status = AB_OK;
        if (outcome == exchange_outcome::not_sent)
            status = AB_NO_ANSWER;
        else if (got.got == scan_answer::state::not_a_reading)
            status = AB_NOT_A_READING;
        else if (got.got != scan_answer::state::reading)
            status = gone ? AB_NO_PORT : AB_NO_ANSWER;
        const bool analog = place.kind == answer_kind::line;
        (analog ? result.analog_status : result.digital_status)[place.channel] = status;
        overall = worse(overall, status);
        board.link.no_answer += status == AB_NO_ANSWER;
        board.link.not_a_reading += status == AB_NOT_A_READING;
        if (status != AB_OK) {
            why += (why.empty() ? "" : "; ") + std::string(analog ? "analog input " : "digital input ") +
                   std::to_string(place.channel) + ": " +
                   (status == AB_NOT_A_READING ? "the answer " + quoted_bytes(got.text, 24) + " is not a reading"
                                               : std::string(ab_status_text(status)));
            continue;
        }
        const classic_scan_bytes::arrival &arrived = bytes.arrived[i];
        set_reading(analog ? result.analog[place.channel] : result.digital[place.channel], got.value, analog,
                    arrived.real_ns, arrived.monotonic_ns - started_ns);
        board.link.last_answer_ns = arrived.real_ns;
    }
    board.link.requests += classic_scan_requests;
    if (overall == AB_OK)
        return {};
    return {overall, board.path + ": " + why};
}

}  // namespace

board_result scan(ab_board &board, ab_scan_result &result)
{
    std::lock_guard<std::mutex> request(board.request_lock);
    std::unique_lock<std::mutex> lock(board.line_lock);
    const board_result ready = wait_ready(board, lock);
    if (ready.status != AB_OK) {
        every_status(result, ready.status);
        return ready;
    }
    return board.sketch.extended() && board.sketch.scan ? tagged_scan(board, lock, result)
                                                       : classic_scan(board, lock, result);
}
