// Times the requests of the loaded library against a fake board that answers
// at once, and the serial system calls that the requests are made of, so the
// library's own share can be told apart from the machine's; then what the
// waits cost: the CPU of an unanswered ea, the load's 2000 ms pause under a
// host's 1 ms timer, and a burst of outputs to a board on a 9600-baud line.
//
// Usage: bench_requests [exchange calls] [output calls] [burst calls]
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/time.h>
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
    timespec left{static_cast<time_t>(ms / 1000), (ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0) {
    }
}

// The fake board's turnaround without the library: a command written on the
// driver's side of the line, then a wait for the first answer byte.
void raw_round_trip(int fd)
{
    (void)!write(fd, "EB2\r", 4);
    pollfd p{fd, POLLIN, 0};
    (void)!poll(&p, 1, 1000);
    char byte;
    (void)!read(fd, &byte, 1);
}

double thread_cpu_ms()
{
    rusage use{};
    getrusage(RUSAGE_THREAD, &use);
    return (use.ru_utime.tv_sec + use.ru_stime.tv_sec) * 1000.0 + (use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1000.0;
}

void count_tick(int) {}

// Loads and unloads the build with no device in its folder: the probe finds
// nothing and the load pauses its 2000 ms. With `timer`, a 1 ms interval
// timer interrupts the pause about 2000 times, as a host's timer does.
std::vector<double> load_times(int count, bool timer)
{
    struct sigaction action {};
    action.sa_handler = count_tick;
    sigemptyset(&action.sa_mask);
    sigaction(SIGALRM, &action, nullptr);  // no SA_RESTART: every tick interrupts
    const itimerval every_ms{{0, 1000}, {0, 1000}}, off{};
    std::vector<double> times;
    for (int i = 0; i < count; ++i) {
        if (timer)
            setitimer(ITIMER_REAL, &every_ms, nullptr);
        const auto start = clock_type::now();
        {
            loaded_driver driver(BENCH_LIBRARY);
            times.push_back(us_since(start) / 1000.0);
        }
        setitimer(ITIMER_REAL, &off, nullptr);
    }
    std::sort(times.begin(), times.end());
    return times;
}

void ms_row(const char *what, const std::vector<double> &sorted)
{
    std::printf("%-38s %6zu %10.1f %10.1f %10.1f\n", what, sorted.size(), sorted.front(), median(sorted), p90(sorted));
}

}  // namespace

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const int exchanges = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    const int outputs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5000;
    const int burst = argc > 3 ? std::max(1, std::atoi(argv[3])) : 6000;

    // Before any board (and its thread) exists: the load's pause alone.
    std::printf("loading %s with no device, 3 times without and with a 1 ms timer\n", BENCH_LIBRARY);
    const auto quiet_loads = load_times(3, false);
    const auto ticking_loads = load_times(3, true);

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
    auto nea = GET_EXPORT(driver, nea);
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
    // A label: the library's own work alone, no system call.
    const auto nea_times = sample(outputs, [&] { (void)nea(0); });
    row("nea", nea_times);

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

    std::printf("\n%-38s %6s %10s %10s %10s\n", "times in milliseconds", "calls", "min", "median", "p90");
    ms_row("load, probe and 2000 ms pause", quiet_loads);
    ms_row("  the same under a 1 ms timer", ticking_loads);
    std::printf("%-38s %6s %10s %10.1f\n", "  the timer's cost to the pause", "", "",
                median(ticking_loads) - median(quiet_loads));

    // A silent board: ea waits out its limit, and should sleep meanwhile.
    board.respond_with(nullptr);
    const double cpu_before = thread_cpu_ms();
    const auto silent_start = clock_type::now();
    for (int i = 0; i < 3; ++i)
        ea(3);
    const double silent_ms = us_since(silent_start) / 1000.0;
    const double cpu_ms = thread_cpu_ms() - cpu_before;
    std::printf("%-38s %6d %10s %10.1f\n", "unanswered ea, wall time each", 3, "", silent_ms / 3);
    std::printf("%-38s %6s %10s %10.3f\n", "  CPU ms of the thread per ms", "", "", cpu_ms / silent_ms);

    // Outputs faster than a 9600-baud line: the line carries 960 bytes a
    // second; what reaches the board, and whether every line came whole.
    board.pace_like_line(9600);
    board.clear_received();
    std::string expected;
    for (int i = 0; i < burst; ++i)
        expected += std::string("SB") + "ABCD"[i % 4] + std::to_string((i / 4) % 2) + "\r";
    const auto burst_start = clock_type::now();
    for (int i = 0; i < burst; ++i)
        sb(i % 4, (i / 4) % 2);
    const double burst_s = us_since(burst_start) / 1e6;
    // The line's rate over the next 3 s, then the rest at once.
    const size_t at_end = board.received().size();
    pause_ms(3000);
    const size_t after_window = board.received().size();
    board.pace_like_line(0);
    board.wait_received(expected.size(), 3000);
    const std::vector<std::string> got = command_lines(board.received()), sent = command_lines(expected);
    size_t whole = 0, cut = 0;
    std::string cut_lines;
    for (const std::string &line : got) {
        if (line.size() == 5) {
            ++whole;
        } else if (++cut <= 3) {
            cut_lines += " \"" + line.substr(0, line.size() - 1) + "\"";
        }
    }
    std::printf("\nburst of %d sb calls (%zu bytes) to a board on a 9600-baud line\n", burst, expected.size());
    std::printf("%-38s %10.2f s, %.0f calls a second\n", "  the calls took", burst_s, burst / burst_s);
    std::printf("%-38s %10.0f bytes a second\n", "  reaching the board after the burst",
                (after_window - at_end) / 3.0);
    std::printf("%-38s %10zu whole, %zu cut or glued, %zu lost%s\n", "  lines at the board", whole, cut,
                sent.size() > got.size() ? sent.size() - got.size() : 0,
                got == sent ? ", all in order" : "");
    if (cut > 0)
        std::printf("%-38s %s\n", "  cut lines (without their CR)", cut_lines.c_str());
    return 0;
}
