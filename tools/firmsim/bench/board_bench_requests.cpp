// The line's owner where its users see it. On two lines side by side, the
// sketch's firmware on firmsim (the chip adds its own milliseconds at 9600)
// and a boardsim paced at the line's real rate: one-shot reads of A0 by the
// board object (its default, the fast line; and 9600) and every input at
// once, against a bare request with pyserial ("EA0\r" to the LF) at 9600,
// at 57600 (what a Firmata user's line gives: on the paced line, which runs
// at what its host set) and at 1000000 (moved there by the sketch's own
// command first). Each turn opens its line anew (the board restarts), the
// turns' order turned each round. Then a stream of the six inputs at 1 kHz
// on each line with a read every 10 ms beside it, and 64 boards (paced
// boardsims) opened at once while two threads keep both cores busy.
#include "arduinoboard.h"
#include "bench_figures.h"
#include "board_bench_parts.h"
#include "firmsim_process.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <latch>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// A0 reads 511 or 512 on both lines (2500 mV on the chip, 512 on boardsim).
bool right_value(int value)
{
    return value == 511 || value == 512;
}

struct timings {
    explicit timings(std::string what) : name(std::move(what)) {}

    std::string name;
    std::vector<double> ms;
    std::vector<double> outside_ms;  // the call less its round trip on the line
    std::vector<double> cpu_us;      // the process's CPU a call, each turn
    long wrong = 0, failed = 0;

    void add(double took, int value)
    {
        if (value < 0)
            ++failed;
        else if (!right_value(value))
            ++wrong;
        else
            ms.push_back(took);
    }
};

void print_row(const timings &t)
{
    if (t.ms.empty()) {
        std::printf("  %-46s  none%s\n", t.name.c_str(), t.failed ? " (all failed)" : "");
        return;
    }
    std::printf("  %-46s %5zu %7.3f %7.3f %7.3f %7.3f", t.name.c_str(), t.ms.size(), percentile(t.ms, 0),
                percentile(t.ms, 0.1), median(t.ms), percentile(t.ms, 0.9));
    if (t.wrong || t.failed)
        std::printf("   (%ld wrong, %ld failed)", t.wrong, t.failed);
    std::printf("\n");
}

// The ratio of the medians as printed: "none" where a side was not measured.
std::string ratio(const timings &over, const timings &under)
{
    if (over.ms.empty() || under.ms.empty())
        return "none";
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", median(over.ms) / median(under.ms));
    return text;
}

struct line_under_test {
    line_under_test(const char *what, std::string path, std::vector<std::string> emulator, bool is_paced)
        : name(what), link(std::move(path)), program(std::move(emulator)), paced(is_paced)
    {
    }

    const char *name;
    std::string link;
    std::vector<std::string> program;  // the emulator and its arguments
    bool paced;                        // a bare request at 57600 is a line's only where it is paced
    std::unique_ptr<firmsim_process> sim;
    timings object_fast{"ab_read_analog, defaults (the fast line)"};
    timings object_slow{"ab_read_analog, baud 9600"};
    timings bare_9600{"bare pyserial \"EA0\\r\" at 9600, to the LF"};
    timings bare_57600{"bare pyserial \"EA0\\r\" at 57600, to the LF"};
    timings bare_fast{"bare pyserial \"EA0\\r\" at 1000000, to the LF"};
    timings scan_fast{"ab_scan, defaults: every input at once"};
    int32_t fast_baud = 0;
    bool broken = false, no_serial = false;

    bool start()
    {
        unlink(link.c_str());
        std::vector<std::string> arguments(program.begin() + 1, program.end());
        sim = std::make_unique<firmsim_process>(program.front(), arguments);
        return !sim->failed();
    }
};

void object_turn(line_under_test &line, timings &t, int baud, int calls)
{
    ab_options options;
    ab_default_options(&options);
    options.baud = baud;
    ab_board *board = open_bench_board(line.link, &options);
    if (board == nullptr) {
        line.broken = true;
        return;
    }
    ab_link link{};
    ab_link_state(board, &link);
    if (baud == 0)
        line.fast_baud = link.baud;
    ab_reading reading{};
    for (int i = 0; i < 3; ++i)
        ab_read_analog(board, 0, &reading);
    const double cpu = cpu_ms(RUSAGE_SELF);
    for (int i = 0; i < calls; ++i) {
        const double start = now_ms();
        const ab_status status = ab_read_analog(board, 0, &reading);
        const double took = now_ms() - start;
        t.add(took, status == AB_OK ? reading.raw : -1);
        if (status == AB_OK)
            t.outside_ms.push_back(took - reading.round_trip_ns / 1e6);
    }
    t.cpu_us.push_back((cpu_ms(RUSAGE_SELF) - cpu) * 1e3 / calls);
    ab_close(board);
}

void scan_turn(line_under_test &line, int calls)
{
    ab_board *board = open_bench_board(line.link);
    if (board == nullptr) {
        line.broken = true;
        return;
    }
    ab_scan_result result{};
    for (int i = 0; i < 3; ++i)
        ab_scan(board, &result);
    for (int i = 0; i < calls; ++i) {
        const double start = now_ms();
        const ab_status status = ab_scan(board, &result);
        const double took = now_ms() - start;
        bool right = status == AB_OK;
        for (int channel = 0; channel < AB_ANALOG_INPUTS; ++channel)
            right = right && right_value(result.analog[channel].raw);
        line.scan_fast.add(took, status != AB_OK ? -1 : right ? 512 : 0);
    }
    ab_close(board);
}

void bare_turn(line_under_test &line, timings &t, int rate, bool move, int calls)
{
    if (line.no_serial)
        return;
    ab_options defaults;
    ab_default_options(&defaults);
    std::string out;
    const int status = run_program({BENCH_PYTHON, BENCH_SCRIPT, "bare", line.link, std::to_string(rate),
                                    move ? "1" : "0", std::to_string(calls), std::to_string(defaults.start_ms)},
                                   out);
    if (status == no_pyserial) {
        line.no_serial = true;
        return;
    }
    if (status != 0) {
        std::fprintf(stderr, "board_bench: the bare turn at %d baud ended with status %d\n", rate, status);
        ++t.failed;
        return;
    }
    std::istringstream lines(out);
    std::string kind;
    double took;
    int value;
    while (lines >> kind >> took >> value)
        t.add(took, value);
}

void print_line(const line_under_test &line, int rounds, int calls)
{
    std::printf("\n== %s ==\n", line.name);
    std::printf("%d rounds of a turn each, %d timed calls a turn (after 3 untimed); each turn opens the line anew\n"
                "times in ms                                         calls     min     p10  median     p90\n",
                rounds, calls);
    for (const timings *t : {&line.object_fast, &line.object_slow, &line.bare_9600, &line.bare_57600, &line.bare_fast,
                             &line.scan_fast})
        print_row(*t);
    if (line.no_serial)
        std::printf("  no pyserial: the bare requests are not measured (python3-serial; scripts/setup.sh)\n");
    std::printf("  the board object's fast line: %d baud\n", line.fast_baud);
    std::printf("  ratios of the medians: the one-shot read with defaults / bare at 57600 %s (aim: at most 0.5);\n"
                "  at 9600, the board object / bare %s (aim: within 1.1); at 1000000 %s\n",
                ratio(line.object_fast, line.bare_57600).c_str(), ratio(line.object_slow, line.bare_9600).c_str(),
                ratio(line.object_fast, line.bare_fast).c_str());
    std::printf("  every input at once: %.3f ms (median; aim: at most 1.5 ms)\n",
                line.scan_fast.ms.empty() ? 0.0 : median(line.scan_fast.ms));
    std::printf("  the host's time a request on the fast line: %.1f us of the process's CPU (reader thread\n"
                "  included), %.1f us of the call beyond its round trip (medians; aim: under 15 us)\n",
                line.object_fast.cpu_us.empty() ? 0.0 : median(line.object_fast.cpu_us),
                line.object_fast.outside_ms.empty() ? 0.0 : median(line.object_fast.outside_ms) * 1e3);
    if (line.sim && !line.paced)  // firmsim's chip: how far behind real time it fell
        std::printf("  the emulator's report at the end: lags %s, lag_ms %s\n", line.sim->report()["lags"].c_str(),
                    line.sim->report()["lag_ms"].c_str());
}

// boardsim's own count of the last stream's frames it never sent (its clock
// fell a tick behind, or no room on the line): frames the host counts lost
// that the line never carried. It prints it as it ends (--summary).
void print_board_skips(line_under_test &line)
{
    line.sim->stop();
    const std::string &out = line.sim->output();
    const size_t row = out.find("; stream ");
    const size_t at = row == std::string::npos ? row : out.find(", dropped ", row);
    if (at == std::string::npos) {
        std::printf("  (boardsim gave no count of its frames)\n");
        return;
    }
    std::printf("  of them never sent by boardsim (its clock a tick behind, or no room on the line): %ld\n",
                std::atol(out.c_str() + at + std::strlen(", dropped ")));
}

// Six inputs at 1 kHz on the fast line, a read of A0 every 10 ms beside it.
void stream_with_requests(line_under_test &line, double seconds)
{
    ab_board *board = open_bench_board(line.link);
    if (board == nullptr) {
        line.broken = true;
        return;
    }
    timings reads{"a read beside the stream"};
    uint64_t samples = 0, wrong_samples = 0;
    ab_status stream_status = ab_stream_start(board, 0x3F, 0, 1000);
    if (stream_status != AB_OK) {
        std::printf("  the stream did not start: %s\n", ab_last_error());
        ab_close(board);
        return;
    }
    ab_sample chunk[512];
    const double end = now_ms() + seconds * 1000;
    double next_read = now_ms();
    while (now_ms() < end) {
        size_t count = 0;
        stream_status = ab_stream_read(board, chunk, std::size(chunk), 5, &count);
        if (stream_status != AB_OK)
            break;
        for (size_t i = 0; i < count; ++i)
            wrong_samples += !right_value(chunk[i].analog[0]);
        samples += count;
        if (now_ms() >= next_read) {
            ab_reading reading{};
            const double start = now_ms();
            const ab_status status = ab_read_analog(board, 0, &reading);
            reads.add(now_ms() - start, status == AB_OK ? reading.raw : -1);
            next_read += 10;
        }
    }
    const ab_status stopped = ab_stream_stop(board);
    size_t count = 0;
    while (ab_stream_read(board, chunk, std::size(chunk), 0, &count) == AB_OK && count > 0)
        samples += count;
    ab_link link{};
    ab_link_state(board, &link);
    ab_close(board);
    std::printf("\n  six inputs at 1 kHz for %.0f s at %d baud, a read every 10 ms beside it: %llu samples (%llu wrong),"
                " %llu lost,\n  %llu bad, %llu dropped (aim: 0 lost); the stream %s, its stop %s; the reads:\n",
                seconds, link.baud, static_cast<unsigned long long>(samples),
                static_cast<unsigned long long>(wrong_samples), static_cast<unsigned long long>(link.frames_lost),
                static_cast<unsigned long long>(link.frames_bad), static_cast<unsigned long long>(link.samples_dropped),
                stream_status == AB_OK ? "ran to the end" : ab_status_text(stream_status), ab_status_text(stopped));
    print_row(reads);
    if (line.paced)
        print_board_skips(line);
}

// 64 boards opened at once while two threads keep the cores busy: each
// with its sketch and its fast line.
bool open_many(const std::string &folder, int count)
{
    std::printf("\n== %d boards opened at once (a paced boardsim each), two busy threads beside ==\n", count);
    std::vector<std::unique_ptr<firmsim_process>> sims;
    std::vector<std::string> links;
    for (int i = 0; i < count; ++i) {
        links.push_back(folder + "/many" + std::to_string(i));
        unlink(links.back().c_str());
        sims.push_back(std::make_unique<firmsim_process>(
            BOARDSIM_PROGRAM, std::vector<std::string>{"--link", links.back(), "--pace", "-q", "--analog", "all=512"}));
        if (sims.back()->failed()) {
            std::fprintf(stderr, "board_bench: boardsim %d did not start\n", i);
            return false;
        }
    }
    std::atomic<bool> busy = true;
    std::vector<std::thread> spinners;
    for (int i = 0; i < 2; ++i)
        spinners.emplace_back([&] {
            while (busy.load(std::memory_order_relaxed)) {
            }
        });
    struct opened {
        ab_status status = AB_NO_PORT;
        int32_t sketch = 0, baud = 0;
        double ms = 0;
        bool read = false;
    };
    std::vector<opened> results(static_cast<size_t>(count));
    std::latch together(count);
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i)
        threads.emplace_back([&, i] {
            opened &r = results[static_cast<size_t>(i)];
            together.arrive_and_wait();
            ab_board *board = nullptr;
            const double start = now_ms();
            r.status = ab_open(links[static_cast<size_t>(i)].c_str(), nullptr, &board);
            r.ms = now_ms() - start;
            if (r.status != AB_OK)
                return;
            ab_link link{};
            ab_link_state(board, &link);
            r.sketch = link.sketch;
            r.baud = link.baud;
            ab_reading reading{};
            r.read = ab_read_analog(board, 0, &reading) == AB_OK && reading.raw == 512;
            ab_close(board);
        });
    for (std::thread &t : threads)
        t.join();
    busy = false;
    for (std::thread &t : spinners)
        t.join();
    int ok = 0, sketch = 0, fast = 0, read = 0;
    std::vector<double> times;
    for (const opened &r : results) {
        ok += r.status == AB_OK;
        sketch += r.sketch == 3;
        fast += r.baud == 1000000;
        read += r.read;
        if (r.status == AB_OK)
            times.push_back(r.ms);
    }
    std::printf("  opened %d, with the project's sketch %d, at 1000000 baud %d, read right %d (aim: all %d);\n"
                "  each open in ms: min %.0f, median %.0f, max %.0f (the board's start is 2000 ms); load average %s\n",
                ok, sketch, fast, read, count, percentile(times, 0), median(times), percentile(times, 1),
                load_average().c_str());
    return ok == count;
}

}  // namespace

bool run_requests_bench(const std::string &folder, int rounds, int calls, double seconds)
{
    std::vector<line_under_test> lines;
    lines.emplace_back("The sketch's firmware on firmsim (the emulated chip at real time)", folder + "/chip",
                       std::vector<std::string>{FIRMSIM_PROGRAM, "--link", folder + "/chip", "--analog", "all=2500",
                                                FIRMSIM_FIRMWARE},
                       false);
    lines.emplace_back("A line paced at its real rate (boardsim --pace)", folder + "/paced",
                       std::vector<std::string>{BOARDSIM_PROGRAM, "--link", folder + "/paced", "--pace", "-q",
                                                "--summary", "--analog", "all=512"},
                       true);
    bool ok = true;
    for (line_under_test &line : lines) {
        if (!line.start()) {
            std::fprintf(stderr, "board_bench: %s did not start\n", line.name);
            ok = false;
            continue;
        }
        std::vector<std::function<void()>> turns{
            [&] { object_turn(line, line.object_fast, 0, calls); },
            [&] { object_turn(line, line.object_slow, 9600, calls); },
            [&] { bare_turn(line, line.bare_9600, 9600, false, calls); },
            [&] { bare_turn(line, line.bare_fast, 1000000, true, calls); },
            [&] { scan_turn(line, calls); },
        };
        if (line.paced)
            turns.push_back([&] { bare_turn(line, line.bare_57600, 57600, false, calls); });
        for (int round = 0; round < rounds && !line.broken; ++round) {
            for (size_t i = 0; i < turns.size() && !line.broken; ++i)
                turns[(i + static_cast<size_t>(round)) % turns.size()]();
            std::fprintf(stderr, "board_bench: %s, round %d of %d\n", line.name, round + 1, rounds);
        }
        print_line(line, rounds, calls);
        if (!line.paced)
            std::printf("  (57600 baud on the chip: not a rate its sketch moves to)\n");
        stream_with_requests(line, seconds);
        ok = ok && !line.broken;
        line.sim.reset();
    }
    ok = open_many(folder, 64) && ok;
    std::printf("load average (1 min) at the end: %s\n", load_average().c_str());
    return ok;
}
