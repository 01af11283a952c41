// Times the board object's ab_read_analog against a fake board that answers
// at once as the project's sketch does, so the library's share of a reading
// shows: run it with ARDUINODRV_TRACE unset and set (to a file) to see what
// the trace costs. A measurement, not a test: nothing is asserted.
//
// Usage: bench_board [calls]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "arduinoboard.h"
#include "fake_board.h"

int main(int argc, char **argv)
{
    const int calls = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2000;
    fake_board board(BENCH_DEVICE_FOLDER, "board");
    sketch_pins pins;
    pins.analog[3] = 512;
    board.answer_as_sketch(pins);
    ab_options options;
    ab_default_options(&options);
    options.start_ms = 0;  // a fake board needs no start
    ab_board *handle = nullptr;
    if (ab_open(board.link_path().c_str(), &options, &handle) != AB_OK) {
        std::fprintf(stderr, "bench_board: %s\n", ab_last_error());
        return 1;
    }
    std::vector<double> times;
    int wrong = 0;
    for (int i = 0; i < calls; ++i) {
        ab_reading reading{};
        const auto start = std::chrono::steady_clock::now();
        wrong += ab_read_analog(handle, 3, &reading) != AB_OK || reading.raw != 512;
        times.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    ab_close(handle);
    std::sort(times.begin(), times.end());
    std::printf("times in microseconds (trace %s)      calls        min     median        p90\n",
                std::getenv("ARDUINODRV_TRACE") != nullptr ? "set" : "unset");
    std::printf("%-38s %6d %10.1f %10.1f %10.1f\n", "ab_read_analog, answer at once", calls, times.front(),
                times[times.size() / 2], times[times.size() * 9 / 10]);
    if (wrong != 0)
        std::printf("%d readings were wrong\n", wrong);
    return wrong == 0 ? 0 : 1;
}
