// Figures of the library around a device that goes away and comes back: the
// time from the device's return to the first right reading (boardsim, and
// the sketch's firmware on firmsim), the CPU a request loop takes while the
// device is gone, the descriptors before and after many unplugs, and the ea
// round trip through ser2net and socat against firmsim directly. An unplug
// is the emulator stopped and started again on the same link, or a pty link
// removed and made anew. Prints figures; asserts nothing.
//
// Usage: reopen_bench [--quick]   (--quick: 5 returns each, 20 unplugs, 30 ea)
#include "arduinodrv.h"
#include "bench_figures.h"
#include "firmsim_process.h"
#include "network_bridge.h"
#include "processes.h"
#include "pty_link.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <functional>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

void row(const char *what, const std::vector<double> &values)
{
    if (values.empty()) {
        std::printf("%-44s %5s\n", what, "none");
        return;
    }
    std::printf("%-44s %5zu %9.1f %9.1f %9.1f\n", what, values.size(), percentile(values, 0),
                percentile(values, 0.5), percentile(values, 0.9));
}

decltype(&ea) call_ea;
decltype(&eb) call_eb;
decltype(&sb) call_sb;

// boardsim reads 512 on A0; firmsim's 2500 mV read 511 or 512.
bool right(int reading)
{
    return reading == 511 || reading == 512;
}

// Milliseconds from `returned` until ea(0) is right; -1 after 20 s.
double until_right(double returned)
{
    while (now_ms() - returned < 20000)
        if (right(call_ea(0)))
            return now_ms() - returned;
    return -1;
}

// Stops the emulator, lets the library see its device gone, starts it again
// on the same link: the times from its return to the first right reading.
std::vector<double> returns(const std::function<std::unique_ptr<firmsim_process>()> &start, int count)
{
    std::vector<double> times;
    auto board = start();
    if (board->failed() || until_right(now_ms()) < 0)
        return times;
    for (int i = 0; i < count; ++i) {
        board->stop();
        call_ea(0);  // neutral: the device is gone
        board = start();
        if (board->failed())
            break;
        const double returned = now_ms();
        const double took = until_right(returned);
        if (took < 0)
            break;
        times.push_back(took);
    }
    return times;
}

// A request loop against a link that leads nowhere: CPU ms per wall ms.
void cpu_while_gone(double seconds)
{
    const double start = now_ms(), cpu = cpu_ms(RUSAGE_THREAD);
    int calls = 0;
    while (now_ms() - start < seconds * 1000) {
        call_ea(1);
        call_eb(0);
        call_sb(0, 1);
        calls += 3;
    }
    const double wall = now_ms() - start;
    std::printf("device gone: %d requests (ea, eb, sb) in %.0f ms, %.4f CPU ms per ms\n", calls, wall,
                (cpu_ms(RUSAGE_THREAD) - cpu) / wall);
}

// A pty at `link` that nobody answers: enough for the library to open it.
struct bare_pty {
    int master = -1;
    explicit bare_pty(const std::string &link)
    {
        std::string name;
        master = open_board_pty(name);
        if (master < 0)
            return;
        unlink(link.c_str());
        if (symlink(name.c_str(), link.c_str()) != 0) {
            close(master);
            master = -1;
        }
    }
    ~bare_pty()
    {
        if (master >= 0)
            close(master);
    }
};

void descriptors_over_unplugs(const std::string &link, int count)
{
    auto device = std::make_unique<bare_pty>(link);
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    call_sb(0, 1);  // opens it
    const size_t before = open_descriptors().size();
    const double start = now_ms();
    for (int i = 0; i < count; ++i) {
        device.reset();  // unplugged: the library's side hangs up
        call_sb(0, 0);
        device = std::make_unique<bare_pty>(link);
        // The library tries its path again at most every 500 ms.
        std::this_thread::sleep_for(std::chrono::milliseconds(510));
        call_sb(0, 1);
    }
    const size_t after = open_descriptors().size();
    std::printf("descriptors: %zu before, %zu after %d unplugs (%.0f s)\n", before, after, count,
                (now_ms() - start) / 1000);
    device.reset();
    unlink(link.c_str());
}

std::vector<double> ea_times(int count)
{
    std::vector<double> times;
    for (int i = 0; i < count; ++i) {
        const double start = now_ms();
        const int reading = call_ea(0);
        if (right(reading))
            times.push_back(now_ms() - start);
    }
    return times;
}

}  // namespace

int main(int argc, char **argv)
{
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    const int return_count = quick ? 5 : 20, unplug_count = quick ? 20 : 100, ea_count = quick ? 30 : 100;
    const std::string folder = REOPEN_BENCH_FOLDER;
    mkdir(folder.c_str(), 0755);
    const std::string link = folder + "/board";
    unlink(link.c_str());
    setenv("ARDUINODRV_PORT", link.c_str(), 1);
    void *library = dlopen(BENCH_LIBRARY, RTLD_NOW);
    if (library == nullptr) {
        std::fprintf(stderr, "reopen_bench: %s\n", dlerror());
        return 1;
    }
    call_ea = reinterpret_cast<decltype(&ea)>(dlsym(library, "ea"));
    call_eb = reinterpret_cast<decltype(&eb)>(dlsym(library, "eb"));
    call_sb = reinterpret_cast<decltype(&sb)>(dlsym(library, "sb"));

    std::printf("times in ms                                  count       min    median       p90\n");
    row("boardsim back: first right ea", returns([&] {
            return std::make_unique<firmsim_process>(BOARDSIM_PROGRAM,
                                                     std::vector<std::string>{"--link", link, "--analog", "0=512"});
        }, return_count));
    const std::vector<std::string> firmsim_arguments{"--link", link, "--analog", "0=2500", FIRMSIM_FIRMWARE};
    row("firmsim back: first right ea", returns([&] {
            return std::make_unique<firmsim_process>(FIRMSIM_PROGRAM, firmsim_arguments);
        }, return_count));

    {
        firmsim_process direct(FIRMSIM_PROGRAM, firmsim_arguments);
        until_right(now_ms());
        row("ea, firmsim directly", ea_times(ea_count));
    }
    const std::string ser2net = find_program("ser2net"), socat = find_program("socat");
    if (ser2net.empty() || socat.empty()) {
        std::printf("ea through ser2net and socat: not measured (scripts/setup.sh installs them)\n");
    } else {
        firmsim_process board(FIRMSIM_PROGRAM, {"--analog", "0=2500", FIRMSIM_FIRMWARE});
        const int port = free_loopback_port();
        ser2net_server server(ser2net, folder, board.slave_path(), port);
        socat_link client(socat, link, port, folder + "/socat.log");
        if (!board.failed() && server.start() && client.start() && client.wait_for_link(10000) &&
            until_right(now_ms()) >= 0)
            row("ea through ser2net and socat", ea_times(ea_count));
        else
            std::printf("ea through ser2net and socat: the bridge did not come up (see %s)\n", server.log().c_str());
        client.stop();
        server.stop();
    }

    unlink(link.c_str());
    cpu_while_gone(3);
    descriptors_over_unplugs(link, unplug_count);
    dlclose(library);
    return 0;
}
