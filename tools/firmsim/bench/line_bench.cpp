// Figures of the library on the emulated line, against the sketch's own
// firmware on firmsim: the round trip of ea, and the rate at which a burst
// of outputs reaches the board. Prints figures; asserts nothing.
//
// Usage: firmsim_line_bench [READINGS [OUTPUTS]]   (default 200 and 600)
#include "arduinodrv.h"
#include "bench_figures.h"
#include "firmsim_process.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

double now_s()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

double chip_seconds(firmsim_process &sim)
{
    return std::atof(sim.report()["sim"].c_str());
}

}  // namespace

int main(int argc, char **argv)
{
    const int readings = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    const int outputs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 600;
    const std::string link = std::string(BENCH_DEVICE_FOLDER) + "/ttyUSB0";
    unlink(link.c_str());
    firmsim_process sim(FIRMSIM_PROGRAM, {"--link", link, "--analog", "0=2500", FIRMSIM_FIRMWARE});
    if (sim.failed()) {
        std::fprintf(stderr, "firmsim_line_bench: firmsim did not start\n");
        return 1;
    }
    void *library = dlopen(BENCH_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::fprintf(stderr, "firmsim_line_bench: %s\n", dlerror());
        return 1;
    }
    auto read_analog = reinterpret_cast<decltype(&::ea)>(dlsym(library, "ea"));
    auto set_analog = reinterpret_cast<decltype(&::sa)>(dlsym(library, "sa"));
    auto set_digital = reinterpret_cast<decltype(&::sb)>(dlsym(library, "sb"));

    for (int i = 0; i < 5; ++i)
        read_analog(0);
    std::vector<double> trips;
    int wrong = 0;
    double wall = now_s(), chip = chip_seconds(sim);
    for (int i = 0; i < readings; ++i) {
        const double start = now_s();
        const int reading = read_analog(0);
        trips.push_back((now_s() - start) * 1000);
        wrong += reading < 511 || reading > 512;
    }
    const double chip_pace = (chip_seconds(sim) - chip) / (now_s() - wall);
    std::printf("ea round trip over %d readings: median %.1f ms, p90 %.1f ms, min %.1f ms, max %.1f ms"
                " (%d wrong; chip at %.2f x real time)\n",
                readings, percentile(trips, 0.5), percentile(trips, 0.9), percentile(trips, 0), percentile(trips, 1),
                wrong, chip_pace);

    const long rx_before = std::atol(sim.report()["rx"].c_str());
    long bytes = 0;
    wall = now_s();
    chip = chip_seconds(sim);
    for (int i = 0; i < outputs; ++i) {
        if (i % 2) {
            set_analog(i % 4, 100 + i % 100);  // SA, pin, 3 digits, CR
            bytes += 7;
        } else {
            set_digital(i % 4, i % 3 == 0);    // SB, code, level, CR
            bytes += 5;
        }
    }
    const double calls_s = now_s() - wall;
    const bool arrived = sim.wait_for("rx", rx_before + bytes, 120000);
    const double burst_s = now_s() - wall;
    const double chip_s = chip_seconds(sim) - chip;
    std::printf("burst of %d outputs (%ld bytes): the calls took %.2f s; %s in %.2f s: %.0f bytes/s, %.0f lines/s"
                " (line limit 873 bytes/s of chip time; chip at %.2f x real time)\n",
                outputs, bytes, calls_s, arrived ? "all reached the board" : "NOT all reached the board", burst_s,
                bytes / burst_s, outputs / burst_s, chip_s / burst_s);
    const auto fields = sim.report();
    std::printf("chip fell behind real time %s times\n", fields.count("lags") ? fields.at("lags").c_str() : "?");
    dlclose(library);
    return arrived && wrong == 0 ? 0 : 1;
}
