// Figures of the board object (libarduinoboard). Prints figures; asserts
// nothing.
//
// On one line, the sketch's own firmware on firmsim: ab_read_analog against
// a bare request with pyserial and against the 71 exports' ea, in turns on
// that same line (each closes before the next opens: the board object claims
// its device), rounds of turns whose order turns each round so that the
// machine's load falls on all alike. The Python cost of a call through
// ctypes, without the package, as one more turn.
//
// Then 16 boards, each a paced boardsim with its own analog value, read by
// a thread each in one process for DURATION; then board 0 alone as long.
//
// With --scan or --stream, those parts instead (board_bench_parts.h): every
// input in one ab_scan against the exports one by one, in ROUNDS of CALLS
// reads a turn; the six analog inputs streamed at 1 kHz for DURATION, then
// one input at shorter and shorter intervals, STEP seconds each. With
// --requests: the board object's requests against bare ones at 9600,
// 57600 and 1000000 baud, on the emulated chip and on a paced line, a
// stream with requests beside it, and 64 boards opened at once.
//
// Usage: board_bench [--quick] [--rounds N] [--calls N] [--duration SECONDS]
//                    [--line-only | --boards-only | --scan | --stream]
//                    [--rate BAUD] [--step SECONDS]
//   default: 8 rounds of 25 calls a turn, 60 s, streams at 1000000 baud,
//   5 s a step; --quick: 2 rounds of 20, 10 s, 2 s a step
#include "arduinoboard.h"
#include "arduinodrv.h"
#include "bench_exports.h"
#include "bench_figures.h"
#include "board_bench_parts.h"
#include "firmsim_process.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <latch>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// What the scheduler tells of a thread or a process: the CPU time it ran and
// the time it waited, runnable, for a CPU (ms).
struct sched_times {
    double ran_ms = 0, waited_ms = 0;
};

sched_times sched_of(const std::string &schedstat)
{
    sched_times times;
    if (FILE *file = std::fopen(schedstat.c_str(), "r")) {
        unsigned long long ran = 0, waited = 0;
        if (std::fscanf(file, "%llu %llu", &ran, &waited) == 2)
            times = {ran / 1e6, waited / 1e6};
        std::fclose(file);
    }
    return times;
}

sched_times sched_of(pid_t pid)
{
    return sched_of("/proc/" + std::to_string(pid) + "/schedstat");
}

sched_times since(const sched_times &before, const sched_times &after)
{
    return {after.ran_ms - before.ran_ms, after.waited_ms - before.waited_ms};
}

void add(sched_times &sum, const sched_times &more)
{
    sum.ran_ms += more.ran_ms;
    sum.waited_ms += more.waited_ms;
}

// The timed calls of one way to read A0, over every round.
struct series {
    const char *name;
    std::vector<double> ms;       // each right reading's call
    std::vector<double> outside;  // the board object's: the call less its round trip on the line
    std::vector<double> turn_medians;
    size_t turn_start = 0;
    int wrong = 0, failed = 0;

    explicit series(const char *what) : name(what) {}

    void begin_turn() { turn_start = ms.size(); }
    void end_turn()
    {
        if (ms.size() > turn_start)
            turn_medians.push_back(median({ms.begin() + static_cast<ptrdiff_t>(turn_start), ms.end()}));
    }

    void add(double took, int value, double round_trip = -1)
    {
        if (value < 0) {
            ++failed;
            return;
        }
        // firmsim's 2500 mV on A0 read 511 or 512.
        if (value != 511 && value != 512) {
            ++wrong;
            return;
        }
        ms.push_back(took);
        if (round_trip >= 0)
            outside.push_back(took - round_trip);
    }
};

void row(const series &s)
{
    if (s.ms.empty()) {
        std::printf("%-50s  none\n", s.name);
        return;
    }
    std::printf("%-50s %5zu %7.2f %7.2f %7.2f %7.2f %7.2f", s.name, s.ms.size(), percentile(s.ms, 0),
                percentile(s.ms, 0.1), median(s.ms), percentile(s.ms, 0.9), median(s.turn_medians));
    if (s.wrong || s.failed)
        std::printf("   (%d wrong, %d failed)", s.wrong, s.failed);
    std::printf("\n");
}

}  // namespace

int run_program(const std::vector<std::string> &arguments, std::string &out)
{
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0)
        return -1;
    std::vector<char *> argv;
    for (const std::string &argument : arguments)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipe_ends[1], STDOUT_FILENO);
        close(pipe_ends[0]);
        close(pipe_ends[1]);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(pipe_ends[1]);
    out.clear();
    char bytes[4096];
    ssize_t count;
    while (pid > 0 && (count = read(pipe_ends[0], bytes, sizeof bytes)) != 0) {
        if (count > 0)
            out.append(bytes, static_cast<size_t>(count));
        else if (errno != EINTR)
            break;
    }
    close(pipe_ends[0]);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

namespace {

// A Python turn's output; false (and why on stderr) when it failed.
bool python_turn(const std::vector<std::string> &arguments, std::string &out, bool &no_serial)
{
    const int status = run_program(arguments, out);
    no_serial = status == no_pyserial;
    if (status != 0 && !no_serial)
        std::fprintf(stderr, "board_bench: %s %s ended with status %d\n", arguments[1].c_str(),
                     arguments[2].c_str(), status);
    return status == 0;
}

struct line_bench {
    std::string link;
    int calls = 40;
    int start_ms = 0;  // the board object's default start, which the Python turn waits too
    series board{"ab_read_analog, C        \"EA0\\r\", to the CR"};
    series bare4{"bare pyserial            \"EA0\\r\", to the LF"};
    series bare5{"bare pyserial            \"EA0\\r\\r\", to the LF"};
    series bare4cr{"bare pyserial            \"EA0\\r\", to the CR"};
    series exports{"ea, the 71 exports       \"EA0\\r\\r\", + 9 + 1 ms"};
    series python{"ab_read_analog, ctypes   \"EA0\\r\", to the CR"};
    std::vector<double> null_c_ns, null_ctypes_ns;
    bool broken = false;
    bool no_serial = false;  // the bare turns skipped: no pyserial
    long lags[4] = {};       // firmsim's chip behind real time, in each kind of turn (as in turns below)

    std::vector<series *> all() { return {&board, &bare4, &bare4cr, &bare5, &exports, &python}; }
    std::vector<const series *> all() const { return {&board, &bare4, &bare4cr, &bare5, &exports, &python}; }

    void board_turn()
    {
        const ab_options slow = slow_line_options();
        ab_board *handle = open_bench_board(link, &slow);
        if (handle == nullptr) {
            broken = true;
            return;
        }
        ab_reading reading{};
        for (int i = 0; i < 3; ++i)
            ab_read_analog(handle, 0, &reading);
        for (int i = 0; i < calls; ++i) {
            const double start = now_ms();
            const ab_status status = ab_read_analog(handle, 0, &reading);
            const double took = now_ms() - start;
            board.add(took, status == AB_OK ? reading.raw : -1, reading.round_trip_ns / 1e6);
        }
        ab_close(handle);
        // What a call costs that returns at once: the base of the ctypes figure.
        const int null_calls = 100000;
        const double start = now_ms();
        for (int i = 0; i < null_calls; ++i)
            ab_read_analog(nullptr, 0, &reading);
        null_c_ns.push_back((now_ms() - start) * 1e6 / null_calls);
    }

    void bare_turn()
    {
        std::string out;
        if (no_serial)
            return;
        if (!python_turn({BENCH_PYTHON, BENCH_SCRIPT, "serial", link, std::to_string(calls), std::to_string(start_ms)},
                         out, no_serial)) {
            broken = !no_serial;
            return;
        }
        std::istringstream lines(out);
        std::string kind;
        double took;
        int value;
        while (lines >> kind >> took >> value)
            (kind == "bare4lf" ? bare4 : kind == "bare5lf" ? bare5 : bare4cr).add(took, value);
    }

    void exports_turn()
    {
        void *library = load_exports(BENCH_LIBRARY);
        if (library == nullptr) {
            broken = true;
            return;
        }
        auto read_analog = export_of<decltype(&::ea)>(library, "ea");
        for (int i = 0; i < 3; ++i)
            read_analog(0);
        for (int i = 0; i < calls; ++i) {
            const double start = now_ms();
            const int value = read_analog(0);
            exports.add(now_ms() - start, value);
        }
        if (!unload_exports(library, BENCH_LIBRARY))
            broken = true;
    }

    void ctypes_turn()
    {
        std::string out;
        bool no_serial_needed;
        if (!python_turn({BENCH_PYTHON, BENCH_SCRIPT, "ctypes", BOARD_LIBRARY, link, std::to_string(calls), "100000"},
                         out, no_serial_needed)) {
            broken = true;
            return;
        }
        std::istringstream lines(out);
        std::string kind;
        while (lines >> kind) {
            if (kind == "ctypes_null") {
                double ns;
                lines >> ns;
                null_ctypes_ns.push_back(ns);
                continue;
            }
            double took, round_trip;
            int value;
            lines >> took >> round_trip >> value;
            python.add(took, value, round_trip);
        }
    }
};

void print_line_bench(const line_bench &b, int rounds)
{
    std::printf("\n== One line: the sketch's firmware on firmsim (A0 at 2500 mV: 511 or 512), 9600 baud ==\n");
    std::printf("%d rounds of a turn each, %d timed calls a turn (after 3 untimed), the turns' order turned each"
                " round;\neach turn opens the line anew (the board restarts: %d ms) and closes it\n",
                rounds, b.calls, b.start_ms);
    std::printf("\ntimes in ms          sends                 until    calls     min     p10  median     p90   turns\n");
    for (const series *s : b.all())
        row(*s);
    std::printf("turns: the median of the turns' medians (a turn the machine's load hit counts once). Where\n"
                "firmsim's chip falls behind real time (a busy machine) its answers come late: then min and\n"
                "p10 tell the line's own time best.\n");
    if (b.no_serial)
        std::printf("no pyserial: the bare requests are not measured (python3-serial; scripts/setup.sh installs it)\n");
    const auto ratios = [](const char *what, const series &over, const series &under, const char *aim) {
        if (over.ms.empty() || under.ms.empty())
            return;
        std::printf("  %-40s %7.3f %7.3f %7.3f %7.3f%s\n", what, median(over.ms) / median(under.ms),
                    median(over.turn_medians) / median(under.turn_medians),
                    percentile(over.ms, 0.1) / percentile(under.ms, 0.1),
                    percentile(over.ms, 0) / percentile(under.ms, 0), aim);
    };
    std::printf("\nratios                                    median   turns     p10     min\n");
    ratios("board object / bare \"EA0\\r\" to the LF", b.board, b.bare4, "   (aim: within 1.05)");
    ratios("board object / bare \"EA0\\r\" to the CR", b.board, b.bare4cr, "   (the same wire and end)");
    ratios("ea / bare \"EA0\\r\" to the LF", b.exports, b.bare4, "");
    std::printf("The answer is \"511\\r\\n\": the board object (and ea) end the read at its CR, a readline\n"
                "at the LF one character (1.04 ms) later; ea's empty line after the command reaches the\n"
                "board while it answers. Timed: C with steady_clock around the call, Python with\n"
                "time.perf_counter around the write and the read (around the ctypes call alone).\n");
    std::printf("firmsim's chip fell behind real time during the turns of the board object %ld times, the bare\n"
                "requests %ld, ea %ld, ctypes %ld\n",
                b.lags[0], b.lags[2], b.lags[1], b.lags[3]);

    std::printf("\nPython cost per call (ctypes straight onto libarduinoboard, not the package):\n");
    std::printf("  ab_read_analog on the line, its call less the reading's own round_trip_ns\n"
                "  (the write's first byte to the answer's end), medians:\n"
                "    C %.3f ms, ctypes %.3f ms: Python adds %.3f ms a call\n",
                median(b.board.outside), median(b.python.outside),
                median(b.python.outside) - median(b.board.outside));
    std::printf("  ab_read_analog(NULL, ...), which returns at once, mean of 100000 calls a turn (median of the"
                " turns):\n    C %.3f us, ctypes %.3f us: Python adds %.3f us a call\n",
                median(b.null_c_ns) / 1e3, median(b.null_ctypes_ns) / 1e3,
                (median(b.null_ctypes_ns) - median(b.null_c_ns)) / 1e3);
}

bool run_line_bench(const std::string &folder, int rounds, int calls)
{
    line_bench b;
    b.link = folder + "/firmsim";
    b.calls = calls;
    ab_options defaults;
    ab_default_options(&defaults);
    b.start_ms = defaults.start_ms;
    setenv("ARDUINODRV_PORT", b.link.c_str(), 1);
    unlink(b.link.c_str());
    firmsim_process sim(FIRMSIM_PROGRAM, {"--link", b.link, "--analog", "0=2500", FIRMSIM_FIRMWARE});
    if (sim.failed()) {
        std::fprintf(stderr, "board_bench: firmsim did not start\n");
        return false;
    }
    const bool python = std::strlen(BENCH_PYTHON) > 0;
    if (!python)
        std::printf("no /usr/bin/python3: the Python turns are not measured (scripts/setup.sh installs it)\n");
    const std::vector<std::function<void()>> turns{
        [&] { b.board_turn(); },
        [&] { b.exports_turn(); },
        [&] { if (python) b.bare_turn(); },
        [&] { if (python) b.ctypes_turn(); },
    };
    const auto lags = [&] { return std::atol(sim.report()["lags"].c_str()); };
    // The progress on stderr: each turn's median and the chip's lags in it.
    static const char *const turn_names[] = {"board object", "ea", "bare", "ctypes"};
    for (int round = 0; round < rounds && !b.broken; ++round) {
        std::string progress;
        for (size_t i = 0; i < turns.size() && !b.broken; ++i) {
            const size_t turn = (i + static_cast<size_t>(round)) % turns.size();
            const long before = lags();
            for (series *s : b.all())
                s->begin_turn();
            turns[turn]();
            char told[96];
            std::snprintf(told, sizeof told, "%s%s", progress.empty() ? "" : ", ", turn_names[turn]);
            progress += told;
            for (series *s : b.all()) {
                s->end_turn();
                if (s->turn_medians.size() > 0 && s->ms.size() > s->turn_start) {
                    std::snprintf(told, sizeof told, " %.1f", s->turn_medians.back());
                    progress += told;
                }
            }
            const long lagged = lags() - before;
            b.lags[turn] += lagged;
            progress += " (" + std::to_string(lagged) + " lags)";
        }
        std::fprintf(stderr, "board_bench: round %d of %d, medians in ms: %s\n", round + 1, rounds, progress.c_str());
    }
    print_line_bench(b, rounds);
    std::printf("load average (1 min) as the rounds ended: %s\n", load_average().c_str());
    return !b.broken;
}

// One board's reader in the 16-board run.
struct board_reader {
    int index = 0;
    int32_t value = 0;  // what every input of its boardsim reads
    uint64_t readings = 0, wrong = 0;
    std::map<ab_status, uint64_t> failures;
    double seconds = 0;
    bool opened = false;
    sched_times thread, sim;  // over the readings: the reading thread's, its boardsim's
    std::vector<double> spans;  // readings a second in each call of read_until

    void read_until(ab_board *board, double end_ms)
    {
        ab_reading reading{};
        const sched_times before = sched_of("/proc/thread-self/schedstat");
        const double start = now_ms();
        const uint64_t had = readings;
        for (int channel = 0; now_ms() < end_ms; channel = (channel + 1) % AB_ANALOG_INPUTS) {
            const ab_status status = ab_read_analog(board, channel, &reading);
            if (status != AB_OK)
                ++failures[status];
            else if (reading.raw != value)
                ++wrong;
            else
                ++readings;
        }
        seconds += (now_ms() - start) / 1000;
        add(thread, since(before, sched_of("/proc/thread-self/schedstat")));
        spans.push_back((readings - had) / ((now_ms() - start) / 1000));
    }

    double rate() const { return seconds > 0 ? readings / seconds : 0; }
    double per_reading(double ms) const { return readings > 0 ? ms / static_cast<double>(readings) : 0; }

    std::string failure_text() const
    {
        std::string text;
        for (const auto &[status, count] : failures)
            text += (text.empty() ? "" : ", ") + std::to_string(count) + " " + ab_status_text(status);
        return text.empty() ? "none" : text;
    }
};

bool run_boards_bench(const std::string &folder, int boards, double seconds)
{
    std::printf("\n== %d boards: a paced boardsim each (9600 baud), every analog input of board i at 100+i ==\n",
                boards);
    std::vector<std::unique_ptr<firmsim_process>> sims;
    std::vector<std::string> links;
    for (int i = 0; i < boards; ++i) {
        links.push_back(folder + "/board" + std::to_string(i));
        unlink(links.back().c_str());
        sims.push_back(std::make_unique<firmsim_process>(
            BOARDSIM_PROGRAM, std::vector<std::string>{"--link", links.back(), "--pace", "-q", "--analog",
                                                       "all=" + std::to_string(100 + i)}));
        if (sims.back()->failed()) {
            std::fprintf(stderr, "board_bench: boardsim %d did not start\n", i);
            return false;
        }
    }

    // Board 0 alone, for half the time before the 16 and half after, so that
    // a change in the machine's load falls on both alike. The CPU time of
    // the process while it reads.
    // The 9600-baud line the heading names (boardsim paces the host's rate).
    const ab_options slow = slow_line_options();
    board_reader alone;
    alone.value = 100;
    const auto read_alone = [&](board_reader &r, double span_s) {
        ab_board *board = nullptr;
        if (ab_open(links[0].c_str(), &slow, &board) != AB_OK) {
            std::fprintf(stderr, "board_bench: board 0 alone: %s\n", ab_last_error());
            return 0.0;
        }
        const double before = cpu_ms(RUSAGE_SELF);
        const sched_times sim_before = sched_of(sims[0]->pid());
        r.read_until(board, now_ms() + span_s * 1000);
        const double used = cpu_ms(RUSAGE_SELF) - before;
        add(r.sim, since(sim_before, sched_of(sims[0]->pid())));
        ab_close(board);
        return used;
    };
    const std::string load_first = load_average();
    double alone_cpu = read_alone(alone, seconds / 2);

    // Every thread opens its board (each waits out its board's start), then
    // all read from the same moment for the same time.
    std::vector<board_reader> readers(static_cast<size_t>(boards));
    std::latch opened(boards);
    std::atomic<double> end_ms{0};
    std::latch go(1);
    std::vector<std::thread> threads;
    for (int i = 0; i < boards; ++i) {
        readers[static_cast<size_t>(i)].index = i;
        readers[static_cast<size_t>(i)].value = 100 + i;
        threads.emplace_back([&, i] {
            board_reader &r = readers[static_cast<size_t>(i)];
            ab_board *board = nullptr;
            r.opened = ab_open(links[static_cast<size_t>(i)].c_str(), &slow, &board) == AB_OK;
            if (!r.opened)
                std::fprintf(stderr, "board_bench: board %d: %s\n", i, ab_last_error());
            opened.count_down();
            go.wait();
            if (r.opened)
                r.read_until(board, end_ms.load());
            ab_close(board);
        });
    }
    opened.wait();
    const std::string load_before = load_average();
    std::vector<sched_times> sims_before;
    for (const auto &sim : sims)
        sims_before.push_back(sched_of(sim->pid()));
    const double cpu = cpu_ms(RUSAGE_SELF);
    end_ms = now_ms() + seconds * 1000;
    go.count_down();
    for (std::thread &t : threads)
        t.join();
    const double all_cpu = cpu_ms(RUSAGE_SELF) - cpu;
    for (size_t i = 0; i < sims.size(); ++i)
        readers[i].sim = since(sims_before[i], sched_of(sims[i]->pid()));
    const std::string load_between = load_average();
    alone_cpu += read_alone(alone, seconds / 2);


    std::printf("each thread opens its own board and reads A0-A5 in turn as fast as it can for %.0f s;\n"
                "board 0 alone, in one thread, for as long: half before the %d, half after (%.1f and %.1f\n"
                "readings a second)\n\n",
                seconds, boards, alone.spans.size() > 0 ? alone.spans[0] : 0,
                alone.spans.size() > 1 ? alone.spans[1] : 0);
    std::printf("                                           ms a reading: waited for a CPU\n");
    std::printf("board  readings  wrong  readings/s  vs alone     its thread  its boardsim  failed\n");
    uint64_t total = 0, wrong = 0;
    double worst = 1e9;
    for (const board_reader &r : readers) {
        const double share = alone.rate() > 0 ? r.rate() / alone.rate() : 0;
        worst = std::min(worst, share);
        total += r.readings;
        wrong += r.wrong;
        std::printf("%5d  %8llu  %5llu  %10.1f  %8.3f  %13.3f %13.3f  %s\n", r.index,
                    static_cast<unsigned long long>(r.readings), static_cast<unsigned long long>(r.wrong), r.rate(),
                    share, r.per_reading(r.thread.waited_ms), r.per_reading(r.sim.waited_ms),
                    r.opened ? r.failure_text().c_str() : "did not open");
    }
    std::printf("alone  %8llu  %5llu  %10.1f  %8.3f  %13.3f %13.3f  %s\n",
                static_cast<unsigned long long>(alone.readings), static_cast<unsigned long long>(alone.wrong),
                alone.rate(), 1.0, alone.per_reading(alone.thread.waited_ms), alone.per_reading(alone.sim.waited_ms),
                alone.failure_text().c_str());
    std::printf("\n%d boards: %llu readings, %llu wrong (aim 0), %.0f a second in all; the slowest board at %.3f of"
                " one alone (aim: at least 0.9)\n",
                boards, static_cast<unsigned long long>(total), static_cast<unsigned long long>(wrong),
                total / seconds, worst);
    std::printf("CPU time of this process (user + system): %.1f us a reading with %d boards, %.1f us alone\n",
                total > 0 ? all_cpu * 1e3 / static_cast<double>(total) : 0, boards,
                alone.readings > 0 ? alone_cpu * 1e3 / static_cast<double>(alone.readings) : 0);
    // Where a reading's extra time with many boards goes: waits for a CPU,
    // of the reading thread and of the emulator behind its line.
    double took = 0, thread_wait = 0, sim_wait = 0, sims_ran = 0;
    for (const board_reader &r : readers) {
        took += r.readings > 0 ? r.seconds * 1e3 / static_cast<double>(r.readings) / boards : 0;
        thread_wait += r.per_reading(r.thread.waited_ms) / boards;
        sim_wait += r.per_reading(r.sim.waited_ms) / boards;
        sims_ran += r.sim.ran_ms;
    }
    const double alone_took = alone.readings > 0 ? alone.seconds * 1e3 / static_cast<double>(alone.readings) : 0;
    std::printf("a reading took %.3f ms with %d boards (mean over the boards), %.3f ms alone; %d boards less alone,\n"
                "ms a reading: took %+.3f, its thread waited for a CPU %+.3f, its boardsim %+.3f\n",
                took, boards, alone_took, boards, took - alone_took,
                thread_wait - alone.per_reading(alone.thread.waited_ms),
                sim_wait - alone.per_reading(alone.sim.waited_ms));
    std::printf("with %d boards, the boardsims ran %.2f CPUs' worth, this process %.2f; load average (1 min) %s\n"
                "before board 0 alone, %s as the %d started, %s as they ended, %s at the end\n",
                boards, sims_ran / (seconds * 1e3), all_cpu / (seconds * 1e3), load_first.c_str(),
                load_before.c_str(), boards, load_between.c_str(), load_average().c_str());
    return wrong == 0;
}

}  // namespace

int main(int argc, char **argv)
{
    int rounds = 8, calls = 25;
    double seconds = 60;
    stream_bench_settings streams;
    bool line = true, boards = true, scan = false, stream = false, requests = false;
    // --quick sets the defaults only: the numbers given stand wherever it is.
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--quick") {
            rounds = 2;
            calls = 20;
            seconds = 10;
            streams.step_seconds = 2;
        }
    }
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const bool has_value = i + 1 < argc;
        if (option == "--quick") {
            continue;
        } else if (option == "--rounds" && has_value) {
            rounds = std::max(1, std::atoi(argv[++i]));
        } else if (option == "--calls" && has_value) {
            calls = std::max(1, std::atoi(argv[++i]));
        } else if (option == "--duration" && has_value) {
            seconds = std::max(1.0, std::atof(argv[++i]));
        } else if (option == "--line-only") {
            boards = false;
        } else if (option == "--boards-only") {
            line = false;
        } else if (option == "--scan") {
            scan = true;
        } else if (option == "--stream") {
            stream = true;
        } else if (option == "--requests") {
            requests = true;
        } else if (option == "--rate" && has_value) {
            streams.baud = std::atoi(argv[++i]);
        } else if (option == "--step" && has_value) {
            streams.step_seconds = std::max(1.0, std::atof(argv[++i]));
        } else {
            std::fprintf(stderr,
                         "Usage: board_bench [--quick] [--rounds N] [--calls N] [--duration SECONDS]\n"
                         "                   [--line-only | --boards-only | --scan | --stream | --requests]\n"
                         "                   [--rate BAUD] [--step SECONDS]\n");
            return 2;
        }
    }
    if (scan || stream || requests)
        line = boards = false;
    streams.seconds = seconds;
    // Figures and the progress on stderr in their order.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string folder = BOARD_BENCH_FOLDER;
    mkdir(folder.c_str(), 0755);
    std::printf("board_bench: libarduinoboard %s; %ld CPUs, load average (1 min) %s\n", ab_version(),
                sysconf(_SC_NPROCESSORS_ONLN), load_average().c_str());
    bool ok = true;
    if (line)
        ok = run_line_bench(folder, rounds, calls) && ok;
    if (boards)
        ok = run_boards_bench(folder, 16, seconds) && ok;
    if (scan)
        ok = run_scan_bench(folder, rounds, calls) && ok;
    if (stream)
        ok = run_stream_bench(folder, streams) && ok;
    if (requests)
        ok = run_requests_bench(folder, rounds, calls, seconds) && ok;
    return ok ? 0 : 1;
}
