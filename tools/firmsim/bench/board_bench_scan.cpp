// Every input in one ab_scan, against the same ten inputs read one after
// another through the 71 exports (ea for A0-A5, then eb for the four digital
// inputs), as a host of theirs reads them: in turns on one firmsim line at
// 9600 baud, each turn opening the line anew, the turns' order turned each
// round so that the machine's load falls on both alike. Every value is
// checked against the input's own.
#include "arduinoboard.h"
#include "arduinodrv.h"
#include "bench_exports.h"
#include "bench_figures.h"
#include "bench_inputs.h"
#include "board_bench_parts.h"
#include "firmsim_process.h"
#include "protocol/line_protocol.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr double line_baud = 9600;
constexpr int bits_a_character = 10;

double line_ms(size_t characters)
{
    return static_cast<double>(characters) * bits_a_character * 1000 / line_baud;
}

// The times of one way to read the ten inputs, over every round.
struct scan_series {
    const char *name;
    std::vector<double> ms, turn_medians;
    std::vector<double> round_trips;  // ab_scan's: its command written to the answer's end
    size_t turn_start = 0;
    long wrong = 0, failed = 0, lags = 0;

    explicit scan_series(const char *what) : name(what) {}

    void begin_turn() { turn_start = ms.size(); }
    void end_turn()
    {
        if (ms.size() > turn_start)
            turn_medians.push_back(median({ms.begin() + static_cast<ptrdiff_t>(turn_start), ms.end()}));
    }
};

void row(const scan_series &s)
{
    std::printf("%-46s %5zu %7.2f %7.2f %7.2f %7.2f %7.2f %6ld %6ld\n", s.name, s.ms.size(), percentile(s.ms, 0),
                percentile(s.ms, 0.1), median(s.ms), percentile(s.ms, 0.9), median(s.turn_medians), s.wrong,
                s.failed);
}

struct scan_bench {
    std::string link;
    int reads = 25;
    scan_series scans{"ab_scan: one request, every value"};
    scan_series exports{"ea x 6, eb x 4: the 71 exports, one by one"};
    bool broken = false;

    void scan_turn()
    {
        const ab_options slow = slow_line_options();
        ab_board *board = open_bench_board(link, &slow);
        if (board == nullptr) {
            broken = true;
            return;
        }
        ab_scan_result result{};
        for (int i = 0; i < 3; ++i)
            ab_scan(board, &result);
        for (int i = 0; i < reads; ++i) {
            result = ab_scan_result{};
            const double start = now_ms();
            const ab_status status = ab_scan(board, &result);
            const double took = now_ms() - start;
            long wrong = 0, failed = 0;
            for (int input = 0; input < AB_ANALOG_INPUTS; ++input) {
                failed += result.analog_status[input] != AB_OK;
                wrong += result.analog_status[input] == AB_OK && result.analog[input].raw != input_reading(input);
            }
            for (int input = 0; input < AB_DIGITAL_INPUTS; ++input) {
                failed += result.digital_status[input] != AB_OK;
                wrong += result.digital_status[input] == AB_OK && result.digital[input].raw != input_level(input);
            }
            scans.wrong += wrong;
            scans.failed += failed;
            if (status == AB_OK && wrong == 0) {
                scans.ms.push_back(took);
                scans.round_trips.push_back(result.analog[AB_ANALOG_INPUTS - 1].round_trip_ns / 1e6);
            }
        }
        ab_close(board);
    }

    void exports_turn()
    {
        void *library = load_exports(BENCH_LIBRARY);
        if (library == nullptr) {
            broken = true;
            return;
        }
        auto read_analog = export_of<decltype(&::ea)>(library, "ea");
        auto read_digital = export_of<decltype(&::eb)>(library, "eb");
        int values[AB_ANALOG_INPUTS + AB_DIGITAL_INPUTS];
        const auto read_all = [&] {
            for (int input = 0; input < AB_ANALOG_INPUTS; ++input)
                values[input] = read_analog(input);
            for (int input = 0; input < AB_DIGITAL_INPUTS; ++input)
                values[AB_ANALOG_INPUTS + input] = read_digital(input);
        };
        for (int i = 0; i < 3; ++i)
            read_all();
        for (int i = 0; i < reads; ++i) {
            const double start = now_ms();
            read_all();
            const double took = now_ms() - start;
            // The exports tell no failure: a missing answer reads 0, which
            // counts as a wrong value here.
            long wrong = 0;
            for (int input = 0; input < AB_ANALOG_INPUTS; ++input)
                wrong += values[input] != input_reading(input);
            for (int input = 0; input < AB_DIGITAL_INPUTS; ++input)
                wrong += values[AB_ANALOG_INPUTS + input] != input_level(input);
            exports.wrong += wrong;
            if (wrong == 0)
                exports.ms.push_back(took);
        }
        if (!unload_exports(library, BENCH_LIBRARY))
            broken = true;
    }
};

// ab_scan with the project's sketch: one tagged request ("XAa\r"),
// answered with every value at once ("102,266,...,921,1011a\r\n"), read to
// its CR. The answer starts only once the command has come, so the line's
// least is both, one after the other.
size_t scan_command_characters()
{
    return command_line(tagged_command(scan_command, 'a')).size();
}

size_t scan_answer_characters()
{
    size_t characters = 0;
    for (int input = 0; input < AB_ANALOG_INPUTS; ++input)
        characters += std::to_string(input_reading(input)).size() + 1;  // and its comma
    return characters + AB_DIGITAL_INPUTS + 2;                          // a digit each, the tag, the CR
}

void print_scan_bench(const scan_bench &b, int rounds)
{
    std::printf("\n== Every input: ab_scan against the 71 exports one by one; the sketch's firmware on firmsim,"
                " 9600 baud ==\n");
    std::printf("inputs: A0-A5 read");
    for (int input = 0; input < AB_ANALOG_INPUTS; ++input)
        std::printf(" %d", input_reading(input));
    std::printf(", digital inputs 0-3 read");
    for (int input = 0; input < AB_DIGITAL_INPUTS; ++input)
        std::printf(" %d", input_level(input) ? 1 : 0);
    std::printf(";\n%d rounds of a turn each way, %d timed reads of the ten inputs a turn (after 3 untimed), the"
                " turns'\norder turned each round; each turn opens the line anew and closes it\n\n",
                rounds, b.reads);
    std::printf("times in ms: the ten inputs                    reads     min     p10  median     p90   turns"
                "  wrong failed\n");
    row(b.scans);
    row(b.exports);
    std::printf("reads: the timed reads with every value right; wrong and failed count values (of 10 a read);\n"
                "turns: the median of the turns' medians (a turn the machine's load hit counts once)\n");

    const size_t command = scan_command_characters(), answer = scan_answer_characters();
    const double floor = line_ms(command + answer);
    std::printf("\nthe line's floor: ab_scan's command (%zu characters) and the answer with every value, to its CR\n"
                "(%zu), one after the other: %zu characters of %d bits at 9600 baud, %.1f ms\n",
                command, answer, command + answer, bits_a_character, floor);
    if (!b.scans.ms.empty()) {
        std::vector<double> outside;
        for (size_t i = 0; i < b.scans.ms.size(); ++i)
            outside.push_back(b.scans.ms[i] - b.scans.round_trips[i]);
        std::printf("ab_scan's round trip (its command written to the answer's end): min %.2f ms, median"
                    " %.2f ms;\nthe call less that round trip, the library's own time: median %.3f ms, p90 %.3f"
                    " ms\n",
                    percentile(b.scans.round_trips, 0), median(b.scans.round_trips), median(outside),
                    percentile(outside, 0.9));
        std::printf("ab_scan / floor:   min %.3f   p10 %.3f   median %.3f   p90 %.3f   turns %.3f   (aim: at most"
                    " 1.2)\n",
                    percentile(b.scans.ms, 0) / floor, percentile(b.scans.ms, 0.1) / floor,
                    median(b.scans.ms) / floor, percentile(b.scans.ms, 0.9) / floor,
                    median(b.scans.turn_medians) / floor);
        if (!b.exports.ms.empty())
            std::printf("exports / ab_scan: min %.2f   median %.2f   p90 %.2f (each ea pauses 9 + 1 ms around its"
                        " request)\n",
                        percentile(b.exports.ms, 0) / percentile(b.scans.ms, 0),
                        median(b.exports.ms) / median(b.scans.ms),
                        percentile(b.exports.ms, 0.9) / percentile(b.scans.ms, 0.9));
    }
    std::printf("firmsim's chip fell behind real time %ld times during the scans' turns, %ld during the exports'\n"
                "(its answers come late then: min and p10 tell the line's own time best)\n",
                b.scans.lags, b.exports.lags);
}

}  // namespace

bool run_scan_bench(const std::string &folder, int rounds, int reads)
{
    scan_bench b;
    b.link = folder + "/firmsim";
    b.reads = reads;
    setenv("ARDUINODRV_PORT", b.link.c_str(), 1);
    unlink(b.link.c_str());
    std::vector<std::string> arguments = input_arguments();
    arguments.insert(arguments.end(), {"--link", b.link, FIRMSIM_FIRMWARE});
    firmsim_process sim(FIRMSIM_PROGRAM, arguments);
    if (sim.failed()) {
        std::fprintf(stderr, "board_bench: firmsim did not start\n");
        return false;
    }
    const auto lags = [&] { return std::atol(sim.report()["lags"].c_str()); };
    scan_series *const kinds[] = {&b.scans, &b.exports};
    for (int round = 0; round < rounds && !b.broken; ++round) {
        for (int i = 0; i < 2 && !b.broken; ++i) {
            const int turn = (i + round) % 2;
            scan_series &s = *kinds[turn];
            const long before = lags();
            s.begin_turn();
            turn == 0 ? b.scan_turn() : b.exports_turn();
            s.end_turn();
            s.lags += lags() - before;
        }
        std::fprintf(stderr, "board_bench: scan round %d of %d, medians so far: ab_scan %.1f ms, exports %.1f ms\n",
                     round + 1, rounds, median(b.scans.ms), median(b.exports.ms));
    }
    print_scan_bench(b, rounds);
    std::printf("load average (1 min) as the rounds ended: %s\n", load_average().c_str());
    return !b.broken && b.scans.wrong == 0 && b.scans.failed == 0 && b.exports.wrong == 0;
}
