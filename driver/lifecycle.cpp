// Load and unload of the library: the loader runs them as its initialiser and
// finaliser, so a host never calls a start or stop function.
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <termios.h>
#include <unistd.h>

#include "driver_state.h"
#include "serial/clock.h"
#include "serial/serial_port.h"
#include "text_convert.h"

const char *port_path = nullptr;
int32_t sa_values[read_back_entries];
double sad_values[read_back_entries];
int32_t sb_values[read_back_entries];

namespace {
termios saved_console_settings;
// Restore only what was really saved: writing back an all-zero record would
// hang up a terminal that standard input became after load.
bool console_settings_saved = false;

// The board resets when its port opens and needs this long to start its sketch.
constexpr int32_t board_start_ms = 2000;
constexpr int32_t last_candidate = 20;

void open_driver_port(const char *path, int32_t id)
{
    open_port(id, path, driver_baud, 0, 8, 1.0f, 0, 1024, 1024);
}
}  // namespace

void probe_ports()
{
    // Only tries each candidate: another program may be using it, so its
    // settings and unread input stay untouched.
    for (const char *prefix : {"/ttyUSB", "/ttyACM"}) {
        for (uint64_t n = 0; n <= last_candidate; ++n) {
            const std::string path = device_folder + (prefix + unsigned_decimal_text(n));
            device_opens(path.c_str());
        }
    }
}

__attribute__((constructor)) static void load_driver()
{
    fwide(stdin, -1);
    fwide(stdout, -1);
    fwide(stderr, -1);
    std::memset(&saved_console_settings, 0, sizeof saved_console_settings);
    console_settings_saved = tcgetattr(0, &saved_console_settings) == 0;
    if (!console_settings_saved)
        std::memset(&saved_console_settings, 0, sizeof saved_console_settings);

    init_port_table();
    for (int32_t i = 0; i < read_back_entries; ++i)
        sa_values[i] = 0;
    for (int32_t i = 0; i < read_back_entries; ++i)
        sad_values[i] = 0.0;
    for (int32_t i = 0; i < read_back_entries; ++i)
        sb_values[i] = 0;

    probe_ports();
    port_path = default_port_path;
    open_driver_port(port_path, driver_port);
    delay_ms(board_start_ms);
}

// A host in the background of its console (started with "&") must leave the
// console alone: setting it would stop the host with SIGTTOU as it ends, and
// would overwrite the settings of the job in the foreground.
static bool console_in_background()
{
    const pid_t foreground = tcgetpgrp(0);
    return foreground > 0 && foreground != getpgrp();
}

__attribute__((destructor)) static void unload_driver()
{
    close_all_ports();
    if (console_settings_saved && !console_in_background())
        tcsetattr(0, TCSANOW, &saved_console_settings);
}
