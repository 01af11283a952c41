// Times the requests of the loaded library against a fake board that answers
// at once, and the serial system calls that the requests are made of, so the
// library's own share can be told apart from the machine's.
//
// Usage: bench_requests [exchange calls] [output calls]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

#include "driver_loader.h"
#include "fake_board.h"

namespace {

using clock_type = std::chrono::steady_clock;

double us_since(clock_type::time_point start)
{
    return std::chrono::duration<double, std::micro>(clock_type::now() - start).count();
}

// Microseconds per call of `call`, `count` times.
template <typename F> std::vector<double> sample(int count, F &&call)
{
    std::vector<double> times;
    times.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        const auto start = clock_type::now();
        call();
        times.push_back(us_since(start));
    }
    std::sort(times.begin(), times.end());
    return times;
}

double median(const std::vector<double> &sorted) { return sorted[sorted.size() / 2]; }
double p90(const std::vector<double> &sorted) { return sorted[sorted.size() * 9 / 10]; }

// A difference of two noisy times has no meaningful minimum: show_min false.
void row(const char *what, const std::vector<double> &sorted, bool show_min = true)
{
    char min[16] = "-";
    if (show_min)
        std::snprintf(min, sizeof min, "%.1f", sorted.front());
    std::printf("%-38s %6zu %10s %10.1f %10.1f\n", what, sorted.size(), min, median(sorted), p90(sorted));
}

void derived(const char *what, double value_us)
{
    std::printf("%-38s %6s %10s %10.1f\n", what, "", "", value_us);
}

void pause_ms(long ms)
{
    timespec left{0, ms * 1000000L};
    while (nanosleep(&left, &left) != 0) {
    }
}

// The fake board's turnaround without the library: a command written on the
// driver's side of the line, then a busy wait for the first answer byte.
void raw_round_trip(int fd)
{
    (void)!write(fd, "EB2\r", 4);
    int waiting = 0;
    while (ioctl(fd, FIONREAD, &waiting) != 0 || waiting == 0) {
    }
    char byte;
    (void)!read(fd, &byte, 1);
}

}  // namespace

int main(int argc, char **argv)
{
    const int exchanges = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    const int outputs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5000;

    // The board answers each request at once; every other line (the outputs,
    // the exchange's second CR) it only reads, so the line never fills up.
    fake_board board(BENCH_DEVICE_FOLDER, "ttyUSB0");
    board.respond_with([](const std::string &line) {
        if (line == "EA3")
            return board_reply{"512\r"};
        if (line == "EB2")
            return board_reply{"1"};
        return board_reply{};
    });
    std::printf("loading %s (pauses 2000 ms)\n", BENCH_LIBRARY);
    loaded_driver driver(BENCH_LIBRARY);
    auto ea = GET_EXPORT(driver, ea);
    auto eb = GET_EXPORT(driver, eb);
    auto sa = GET_EXPORT(driver, sa);
    auto sb = GET_EXPORT(driver, sb);
    if (ea(3) != 512 || eb(0) != 1) {
        std::fprintf(stderr, "the fake board does not answer as expected\n");
        return 1;
    }

    std::printf("\n%-38s %6s %10s %10s %10s\n", "times in microseconds", "calls", "min", "median", "p90");
    // Each exchange is followed by the same two pauses without the library,
    // so that both see the same load of a shared machine.
    std::vector<double> ea_times, pause_times, beyond_pauses;
    for (int i = 0; i < exchanges; ++i) {
        auto start = clock_type::now();
        ea(3);
        ea_times.push_back(us_since(start));
        start = clock_type::now();
        pause_ms(9);
        pause_ms(1);
        pause_times.push_back(us_since(start));
        beyond_pauses.push_back(ea_times.back() - pause_times.back());
    }
    for (auto *v : {&ea_times, &pause_times, &beyond_pauses})
        std::sort(v->begin(), v->end());
    const auto board_times = sample(outputs / 5, [&] { raw_round_trip(board.slave_fd()); });
    row("ea round trip", ea_times);
    row("  the two pauses alone (9 + 1 ms)", pause_times);
    row("  ea minus the pauses, call by call", beyond_pauses, false);
    row("  fake board turnaround, no library", board_times);
    derived("  ea overhead over 10 ms", median(ea_times) - 10000.0);

    const auto eb_times = sample(outputs / 5, [&] { eb(0); });
    row("eb, answer byte at once", eb_times);

    const auto sa_times = sample(outputs, [&] { sa(0, 128); });
    const auto sb_times = sample(outputs, [&] { sb(0, 1); });
    row("sa", sa_times);
    row("sb", sb_times);

    // The system calls a request is made of, on the same line.
    const int fd = board.slave_fd();
    const auto write_times = sample(outputs, [&] { (void)!write(fd, "SBA1\r", 5); });
    const auto fionread_times = sample(outputs, [&] {
        int waiting;
        (void)!ioctl(fd, FIONREAD, &waiting);
    });
    const auto clock_times = sample(outputs, [] {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
    });
    const auto empty_times = sample(outputs, [] {});
    row("write of one line (system call)", write_times);
    row("FIONREAD (system call)", fionread_times);
    row("clock reading (system call)", clock_times);
    row("empty timed call", empty_times);
    derived("sb beyond its write", median(sb_times) - median(write_times));
    derived("sa beyond its write", median(sa_times) - median(write_times));
    return 0;
}
