// Streams timed by the board, read through ab_stream_* as a host reads
// them, on a fast line to the sketch's firmware on firmsim at real time:
// - the six analog inputs at 1 kHz for a while: what came, what the link
//   counted lost, bad and dropped, board times off the interval, wrong
//   values, and the CPU time it cost the host per 1000 samples;
// - one input, its interval stepped down to the shortest the library
//   accepts, a few seconds each: the fastest stream with nothing lost.
#include "arduinoboard.h"
#include "bench_figures.h"
#include "bench_inputs.h"
#include "board_bench_parts.h"
#include "firmsim_process.h"
#include "sample_checks.h"
#include "stream_frame.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// The program takes what has come this often, as a host that shows or
// stores the samples does; the library's thread reads the line meanwhile.
constexpr useconds_t read_every_us = 10000;

// What one stream brought, and what it cost.
struct stream_run {
    sample_tally tally;
    uint64_t lost = 0, bad = 0, dropped = 0;  // the link's counts over the stream
    std::map<ab_status, uint64_t> ended;      // statuses of reads that failed
    ab_status stopped = AB_OK;
    double wall_s = 0, chip_s = 0;
    long lags = 0;
    double cpu_process_ms = 0, cpu_reader_ms = 0, cpu_firmsim_ms = -1;
};

ab_link link_of(ab_board *board)
{
    ab_link link{};
    ab_link_state(board, &link);
    return link;
}

double chip_seconds(firmsim_process &sim, long *lags)
{
    auto report = sim.report();
    *lags = std::atol(report["lags"].c_str());
    return std::atof(report["sim"].c_str());
}

// Streams the masks' inputs every interval_us for `seconds`; false when the
// stream did not start (why on stderr).
bool stream_for(ab_board *board, firmsim_process &sim, unsigned analog_mask, int32_t interval_us, double seconds,
                stream_run &run, bool progress)
{
    sample_checks checks(analog_mask, 0, interval_us, input_samples());
    const ab_link before = link_of(board);
    long lags_before = 0;
    const double chip_before = chip_seconds(sim, &lags_before);
    const double firmsim_before = process_cpu_ms(sim.pid());
    const double process_before = cpu_ms(RUSAGE_SELF), reader_before = cpu_ms(RUSAGE_THREAD);
    const ab_status started = ab_stream_start(board, analog_mask, 0, interval_us);
    if (started != AB_OK) {
        std::fprintf(stderr, "board_bench: ab_stream_start(0x%x, %d us): %s\n", analog_mask, interval_us,
                     ab_last_error());
        return false;
    }
    const double start = now_ms(), end = start + seconds * 1000;
    double told = start;
    std::vector<ab_sample> samples(4096);
    while (now_ms() < end) {
        size_t count = 0;
        const ab_status status = ab_stream_read(board, samples.data(), samples.size(), 100, &count);
        checks.take(samples.data(), count);
        if (status != AB_OK) {
            ++run.ended[status];
            std::fprintf(stderr, "board_bench: ab_stream_read: %s\n", ab_last_error());
            break;
        }
        if (count < samples.size())
            usleep(read_every_us);
        if (progress && now_ms() - told >= 60000 && now_ms() < end) {
            told = now_ms();
            const ab_link now = link_of(board);
            std::fprintf(stderr, "board_bench: %.0f s of %.0f: %llu samples, %llu lost, %llu bad, %llu dropped\n",
                         (told - start) / 1000, seconds, static_cast<unsigned long long>(checks.tally().samples),
                         static_cast<unsigned long long>(now.frames_lost - before.frames_lost),
                         static_cast<unsigned long long>(now.frames_bad - before.frames_bad),
                         static_cast<unsigned long long>(now.samples_dropped - before.samples_dropped));
        }
    }
    run.wall_s = (now_ms() - start) / 1000;
    run.cpu_process_ms = cpu_ms(RUSAGE_SELF) - process_before;
    run.cpu_reader_ms = cpu_ms(RUSAGE_THREAD) - reader_before;
    const double firmsim_after = process_cpu_ms(sim.pid());
    if (firmsim_before >= 0 && firmsim_after >= 0)
        run.cpu_firmsim_ms = firmsim_after - firmsim_before;
    long lags_after = 0;
    run.chip_s = chip_seconds(sim, &lags_after) - chip_before;
    run.lags = lags_after - lags_before;
    // The samples that came before the stop are the stream's too.
    run.stopped = ab_stream_stop(board);
    for (size_t count = 1; count > 0;) {
        ab_stream_read(board, samples.data(), samples.size(), 0, &count);
        checks.take(samples.data(), count);
    }
    const ab_link after = link_of(board);
    run.lost = after.frames_lost - before.frames_lost;
    run.bad = after.frames_bad - before.frames_bad;
    run.dropped = after.samples_dropped - before.samples_dropped;
    run.tally = checks.tally();
    return true;
}

std::string failures(const stream_run &run)
{
    std::string text;
    for (const auto &[status, count] : run.ended)
        text += (text.empty() ? "" : ", ") + std::to_string(count) + " " + ab_status_text(status);
    if (run.stopped != AB_OK)
        text += (text.empty() ? "" : ", ") + std::string("the stop: ") + ab_status_text(run.stopped);
    return text.empty() ? "none" : text;
}

bool clean(const stream_run &run)
{
    return run.lost == 0 && run.bad == 0 && run.dropped == 0 && run.tally.missing == 0 &&
           run.tally.off_interval == 0 && run.tally.wrong_values == 0 && run.tally.out_of_order == 0 &&
           run.ended.empty() && run.stopped == AB_OK && run.tally.samples > 0;
}

double per_thousand(double ms, uint64_t samples)
{
    return samples > 0 ? ms * 1000 / static_cast<double>(samples) : 0;
}

void print_six_inputs(const stream_run &run, int32_t baud, int32_t interval_us, double seconds)
{
    const auto all = stream_frame::all_analog;
    std::printf("\n== The six analog inputs every %d us (1 kHz) through ab_stream_*, %d baud, %.0f s ==\n",
                interval_us, baud, seconds);
    std::printf("%u-character frames: %.0f%% of the line; the library accepts %u us and longer at this rate\n",
                stream_frame::frame_bytes(all, 0), stream_frame::frame_bytes(all, 0) * 10.0 * 1e6 / baud /
                interval_us * 100, stream_frame::shortest_interval_us(all, 0, static_cast<uint32_t>(baud)));
    const double expected = run.wall_s * 1e6 / interval_us;
    std::printf("samples %llu in %.1f s (%.1f a second; %.0f at real time), lost %llu, bad %llu,"
                " dropped %llu\n",
                static_cast<unsigned long long>(run.tally.samples), run.wall_s, run.tally.samples / run.wall_s,
                expected, static_cast<unsigned long long>(run.lost), static_cast<unsigned long long>(run.bad),
                static_cast<unsigned long long>(run.dropped));
    std::printf("board times not exactly %d us per number apart: %llu; numbers missing between samples read: %llu;"
                "\nout of order: %llu; wrong values: %llu (in %llu samples); failed reads: %s\n",
                interval_us, static_cast<unsigned long long>(run.tally.off_interval),
                static_cast<unsigned long long>(run.tally.missing),
                static_cast<unsigned long long>(run.tally.out_of_order),
                static_cast<unsigned long long>(run.tally.wrong_values),
                static_cast<unsigned long long>(run.tally.wrong_samples), failures(run).c_str());
    char firmsim[64] = "unknown";
    if (run.cpu_firmsim_ms >= 0)
        std::snprintf(firmsim, sizeof firmsim, "%.1f ms", per_thousand(run.cpu_firmsim_ms, run.tally.samples));
    std::printf("CPU time (user + system) per 1000 samples: this process %.2f ms (the program's reading thread"
                " %.2f ms,\nthe library's thread %.2f ms); firmsim, the emulated chip and its line, %s. The program"
                " took\nwhat had come every %d ms\n",
                per_thousand(run.cpu_process_ms, run.tally.samples),
                per_thousand(run.cpu_reader_ms, run.tally.samples),
                per_thousand(run.cpu_process_ms - run.cpu_reader_ms, run.tally.samples), firmsim,
                static_cast<int>(read_every_us / 1000));
    std::printf("share of a CPU: this process %.3f, firmsim %.3f; the chip ran at %.3f x real time and fell behind"
                " %ld times\n",
                run.cpu_process_ms / (run.wall_s * 1000),
                run.cpu_firmsim_ms < 0 ? 0 : run.cpu_firmsim_ms / (run.wall_s * 1000), run.chip_s / run.wall_s,
                run.lags);
}

// The intervals tried for one input, longest first, down to the shortest
// the library accepts at this rate.
std::vector<int32_t> steps_down(int32_t shortest)
{
    std::vector<int32_t> steps;
    for (const int32_t interval : {1000, 750, 500, 400, 350})
        if (interval > shortest)
            steps.push_back(interval);
    steps.push_back(shortest);
    return steps;
}

bool run_one_input(ab_board *board, firmsim_process &sim, int32_t baud, double step_seconds)
{
    const unsigned one = 1;
    const auto shortest = static_cast<int32_t>(
        stream_frame::shortest_interval_us(static_cast<uint8_t>(one), 0, static_cast<uint32_t>(baud)));
    std::printf("\n== One input (A0) through ab_stream_*, %d baud, %.0f s an interval ==\n", baud, step_seconds);
    const ab_status refused = ab_stream_start(board, one, 0, shortest - 1);
    std::printf("the library accepts %d us and longer (%u-character frames); %d us: %s\n", shortest,
                stream_frame::frame_bytes(static_cast<uint8_t>(one), 0), shortest - 1,
                refused == AB_BAD_VALUE ? "AB_BAD_VALUE, as it should" : ab_status_text(refused));
    if (refused == AB_OK)
        ab_stream_stop(board);
    std::printf("interval us  samples  a second  lost  bad  dropped  missing  off  wrong  lags  chip/real  failed\n");
    int32_t fastest = 0;
    bool measured = true;
    for (const int32_t interval : steps_down(shortest)) {
        stream_run run;
        if (!stream_for(board, sim, one, interval, step_seconds, run, false)) {
            measured = false;
            continue;
        }
        std::printf("%11d  %7llu  %8.1f  %4llu  %3llu  %7llu  %7llu  %3llu  %5llu  %4ld  %9.3f  %s\n", interval,
                    static_cast<unsigned long long>(run.tally.samples), run.tally.samples / run.wall_s,
                    static_cast<unsigned long long>(run.lost), static_cast<unsigned long long>(run.bad),
                    static_cast<unsigned long long>(run.dropped), static_cast<unsigned long long>(run.tally.missing),
                    static_cast<unsigned long long>(run.tally.off_interval),
                    static_cast<unsigned long long>(run.tally.wrong_values), run.lags, run.chip_s / run.wall_s,
                    failures(run).c_str());
        if (clean(run))
            fastest = interval;
    }
    if (fastest == 0)
        std::printf("no interval came through clean\n");
    else
        std::printf("the fastest with nothing lost, bad, dropped, off or wrong: %d us (%.0f samples a second)%s\n",
                    fastest, 1e6 / fastest, fastest == shortest ? ", the shortest the library accepts" : "");
    return measured;
}

}  // namespace

bool run_stream_bench(const std::string &folder, const stream_bench_settings &settings)
{
    const std::string link = folder + "/firmsim-stream";
    unlink(link.c_str());
    std::vector<std::string> arguments = input_arguments();
    arguments.insert(arguments.end(), {"--link", link, FIRMSIM_FIRMWARE});
    firmsim_process sim(FIRMSIM_PROGRAM, arguments);
    if (sim.failed()) {
        std::fprintf(stderr, "board_bench: firmsim did not start\n");
        return false;
    }
    ab_options options;
    ab_default_options(&options);
    options.baud = settings.baud;
    ab_board *board = open_bench_board(link, &options);
    if (board == nullptr)
        return false;
    const ab_link opened = link_of(board);
    if (opened.baud != settings.baud) {
        std::fprintf(stderr, "board_bench: the line stayed at %d baud (asked for %d)\n", opened.baud, settings.baud);
        ab_close(board);
        return false;
    }
    const int32_t interval_us = 1000;
    stream_run six;
    bool ok = stream_for(board, sim, stream_frame::all_analog, interval_us, settings.seconds, six, true);
    if (ok)
        print_six_inputs(six, settings.baud, interval_us, settings.seconds);
    std::printf("load average (1 min): %s\n", load_average().c_str());
    ok = run_one_input(board, sim, settings.baud, settings.step_seconds) && ok;
    std::printf("load average (1 min): %s\n", load_average().c_str());
    ab_close(board);
    return ok;
}
