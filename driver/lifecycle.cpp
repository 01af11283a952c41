// Load and unload of the library: the loader runs them as its initialiser and
// finaliser, so a host never calls a start or stop function.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>
#include <pthread.h>
#include <unistd.h>

#include "driver_state.h"
#include "driver_exchange.h"
#include "port_trace.h"
#include "posix/clock.h"
#include "posix/console.h"
#include "protocol/board_line.h"
#include "protocol/trace_line.h"
#include "serial/serial_port.h"

char port_path[PATH_MAX];

namespace {
// The process that loaded the library. A child forked from it shares the
// board's descriptor and the console: its unload must leave both to the
// parent.
pid_t loader_pid = 0;
// Set in the loader when it forks: a child (a daemon whose parent exits, a
// worker) may still be using the port after the loader's own unload.
bool loader_forked = false;
void note_fork()
{
    loader_forked = true;
}
}  // namespace

// The C++ runtime built into the library keeps an emergency pool for
// exceptions on the heap; this gives it back (nothing of the runtime runs
// after the unload routine).
namespace __gnu_cxx {
void __freeres();
}

namespace {
// The driver's trace, when ARDUINODRV_TRACE names one.
constinit port_trace driver_trace;

void probe_ports()
{
    // Only tries each candidate: another program may be using it, so its
    // settings and unread input stay untouched.
    const std::vector<std::string> candidates = candidate_paths(device_folder);
    std::string opened;
    size_t count = 0;
    for (const std::string &path : candidates) {
        opened_port tried = serial_port::open_untouched(path.c_str());
        if (tried.ok() && driver_trace.is_open()) {
            opened += " " + path_word(path, path.size());
            ++count;
        }
        tried.port.close();
    }
    if (driver_trace.is_open())
        driver_trace.event(trace_event::probe, std::to_string(count) + " of " + std::to_string(candidates.size()) +
                                                   " candidate devices open" + (count > 0 ? ":" + opened : ""));
}

// ARDUINODRV_PORT, set and not empty, names the driver's port instead of the
// build's default. A path that cannot be one (too long, or holding a control
// character such as the newline of a careless `echo`) leaves the driver
// without a port rather than opening something else. Where it came from,
// for the trace; null when the path was refused.
const char *choose_port_path()
{
    port_path[0] = '\0';
    const char *chosen = secure_getenv(port_variable);
    const char *source = "the build's default";
    if (chosen == nullptr || chosen[0] == '\0')
        chosen = default_port_path;
    else
        source = port_variable;
    const size_t length = std::strlen(chosen);
    if (length >= sizeof port_path)
        return nullptr;
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(chosen[i]);
        if (c < 0x20 || c == 0x7F)
            return nullptr;
    }
    std::memcpy(port_path, chosen, length + 1);
    return source;
}

// Opens the driver's port at load, and says how it went in the trace.
void open_port(const char *source)
{
    if (source == nullptr) {
        if (driver_trace.is_open())
            driver_trace.event(trace_event::open, std::string("not opened: ") + port_variable +
                                                      " is no path (longer than PATH_MAX, or a control character in it)");
        return;
    }
    // One host per board: a second program opening it would mix its
    // requests and answers with ours.
    // Kept open on its path: a board unplugged, or not there yet, is opened
    // again by the first request after it is back.
    const open_failure failure =
        driver_exchange.port().keep(port_path, driver_line, open_options{.exclusive = true});
    if (driver_trace.is_open())
        driver_trace.event(trace_event::open, (failure.error == 0 ? std::string("opened")
                                                                  : std::string("not opened: ") + failure.reason()) +
                                                  " (" + source + ")");
}
}  // namespace

__attribute__((constructor)) static void load_driver()
{
    fwide(stdin, -1);
    fwide(stdout, -1);
    fwide(stderr, -1);
    save_console();
    loader_pid = getpid();
    loader_forked = false;
    // The loader's handler goes with the library at dlclose.
    pthread_atfork(nullptr, note_fork, nullptr);

    // The trace (ARDUINODRV_TRACE) first, so that it tells the whole load.
    if (driver_trace.open(secure_getenv(trace_variable), "arduinodrv"))
        driver_exchange.trace_to(&driver_trace);
    const char *source = choose_port_path();
    driver_trace.name_port(port_path);
    probe_ports();
    open_port(source);
    delay_ms(board_start_ms);
}

__attribute__((destructor)) static void unload_driver()
{
    // The claim is shared with a forked child: its lock belongs to the open,
    // which the child's descriptor shares, and the terminal's exclusive mode
    // to the device. A child's unload (a worker's exit) closes its own
    // descriptors only, and a loader that forked (a daemon's parent half
    // calling exit) leaves the claim to the child still using the port. The
    // kernel drops the lock with the last descriptor.
    const bool loader = getpid() == loader_pid;
    if (loader && !loader_forked)
        driver_exchange.port().port().release_claim();
    driver_exchange.port().forget();
    if (driver_trace.is_open()) {
        driver_trace.event(trace_event::close, "unloaded");
        driver_trace.close();
    }
    driver_exchange.trace_to(nullptr);
    __gnu_cxx::__freeres();
    // A host in the background leaves the console to the job in front.
    if (loader && !console_in_background())
        restore_console();
}
