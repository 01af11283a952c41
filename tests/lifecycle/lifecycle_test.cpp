// Load and unload of the library: the probe of the candidate devices, the
// driver's port, the pause for the board, the console settings of standard
// input, and the state a new load starts from. Each case loads a build in a
// forked child, since the load routine runs once per load.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <map>
#include <mutex>
#include <optional>
#include <poll.h>
#include <set>
#include <string>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "child.h"
#include "claim_observer.h"
#include "elapsed.h"
#include "process_fds.h"
#include "pty_pair.h"
#include "someones_terminal.h"
#include "driver_loader.h"
#include "fake_board.h"

namespace {

using steady = std::chrono::steady_clock;

constexpr int child_timeout_ms = 60000;

// Links left by an earlier run that was killed would be probed as devices.
void empty_device_folder()
{
    DIR *dir = opendir(TEST_DEVICE_FOLDER);
    ASSERT_NE(dir, nullptr);
    std::vector<std::string> names;
    while (const dirent *entry = readdir(dir))
        if (entry->d_name[0] != '.')
            names.emplace_back(entry->d_name);
    closedir(dir);
    for (const std::string &name : names)
        unlink((std::string(TEST_DEVICE_FOLDER) + "/" + name).c_str());
}

// How many descriptors of this process lead to `path` (a pty slave whose
// master was closed shows as "<path> (deleted)").
int fds_on(const std::string &path)
{
    int count = 0;
    for (int fd : open_fds()) {
        char target[256];
        const std::string link = "/proc/self/fd/" + std::to_string(fd);
        const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        const std::string found(target, n > 0 ? static_cast<size_t>(n) : 0);
        if (found == path || found == path + " (deleted)")
            ++count;
    }
    return count;
}

bool fd_is_open(int fd)
{
    return fcntl(fd, F_GETFD) != -1 || errno != EBADF;
}

int bytes_unread(int fd)
{
    int count = -1;
    ioctl(fd, FIONREAD, &count);
    return count;
}

termios settings_of(int fd)
{
    termios t{};
    tcgetattr(fd, &t);
    return t;
}

// Settings no open of the library would make, to see whether it touched them.
void set_distinctive_settings(int fd)
{
    termios t = settings_of(fd);
    t.c_iflag = IGNBRK | IXON;
    t.c_oflag = OPOST | ONLCR;
    t.c_cflag = B4800 | CS8 | CREAD | CSTOPB | HUPCL;
    t.c_lflag = IEXTEN;
    std::memset(t.c_cc, 0, sizeof t.c_cc);
    t.c_cc[VMIN] = 3;
    t.c_cc[VTIME] = 7;
    t.c_cc[VSTART] = 17;
    t.c_cc[VSTOP] = 19;
    t.c_cc[VINTR] = 3;
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
}

::testing::AssertionResult same_settings(const termios &a, const termios &b)
{
    if (a.c_iflag != b.c_iflag || a.c_oflag != b.c_oflag || a.c_cflag != b.c_cflag ||
        a.c_lflag != b.c_lflag || a.c_line != b.c_line)
        return ::testing::AssertionFailure()
               << std::hex << "iflag " << a.c_iflag << "/" << b.c_iflag << " oflag " << a.c_oflag << "/"
               << b.c_oflag << " cflag " << a.c_cflag << "/" << b.c_cflag << " lflag " << a.c_lflag << "/"
               << b.c_lflag;
    for (int i = 0; i < NCCS; ++i)
        if (a.c_cc[i] != b.c_cc[i])
            return ::testing::AssertionFailure() << "c_cc[" << i << "] " << int(a.c_cc[i]) << "/" << int(b.c_cc[i]);
    return ::testing::AssertionSuccess();
}

// Read-back tables start at zero, inside and outside their entries.
void expect_read_backs_at_zero(const loaded_driver &driver)
{
    auto rsb = GET_EXPORT(driver, rsb);
    auto rsa = GET_EXPORT(driver, rsa);
    auto rsad = GET_EXPORT(driver, rsad);
    for (int channel : {0, 1, 2, 3, 4, 5, 6, 7, 8, -1, 9, INT_MIN, INT_MAX}) {
        EXPECT_EQ(rsb(channel), 0) << "channel " << channel;
        EXPECT_EQ(rsa(channel), 0) << "channel " << channel;
        EXPECT_EQ(rsad(channel), 0.0) << "channel " << channel;
    }
}

// A case of its own: its body runs in a fresh child, after the device
// folder is emptied (the load routine runs once per process).
void run_case(void (*body)())
{
    const child_result child = run_in_child(
        [body] {
            empty_device_folder();
            body();
        },
        child_timeout_ms);
    EXPECT_EQ(child.exit_code, 0);
}

#define LIFECYCLE_TEST(name)                         \
    void name##_case();                              \
    TEST(Lifecycle, name) { run_case(name##_case); } \
    void name##_case()

// Records, with the time it happened, every open and close of the watched
// devices (the pty slaves behind the links the library opens).
class open_watch {
public:
    open_watch() : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    {
        if (fd_ < 0)
            throw std::runtime_error("inotify_init1 failed");
    }
    ~open_watch()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        close(fd_);
    }
    open_watch(const open_watch &) = delete;
    open_watch &operator=(const open_watch &) = delete;

    void watch(const std::string &name, const std::string &path)
    {
        const int wd = inotify_add_watch(fd_, path.c_str(), IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE);
        if (wd < 0)
            throw std::runtime_error("inotify_add_watch failed: " + path);
        std::lock_guard<std::mutex> lock(mutex_);
        names_[wd] = name;
    }

    void start()
    {
        thread_ = std::thread([this] {
            while (!stop_) {
                pollfd p{fd_, POLLIN, 0};
                if (poll(&p, 1, 10) > 0)
                    drain();
            }
        });
    }

    // "O" for each open and "C" for each close, in order.
    std::string history(const std::string &name)
    {
        settle();
        std::lock_guard<std::mutex> lock(mutex_);
        std::string events;
        for (const auto &e : events_)
            if (e.name == name)
                events += e.open ? 'O' : 'C';
        return events;
    }

    std::optional<steady::time_point> last_open(const std::string &name)
    {
        settle();
        std::lock_guard<std::mutex> lock(mutex_);
        std::optional<steady::time_point> last;
        for (const auto &e : events_)
            if (e.name == name && e.open)
                last = e.when;
        return last;
    }

    void forget()
    {
        settle();
        std::lock_guard<std::mutex> lock(mutex_);
        events_.clear();
    }

private:
    struct event {
        std::string name;
        bool open;
        steady::time_point when;
    };

    // Events are queued when the open or close happens; give the reader a
    // moment to take what is queued.
    void settle() { std::this_thread::sleep_for(std::chrono::milliseconds(50)); }

    void drain()
    {
        alignas(inotify_event) char buffer[4096];
        for (;;) {
            const ssize_t got = read(fd_, buffer, sizeof buffer);
            if (got <= 0)
                return;
            const auto now = steady::now();
            std::lock_guard<std::mutex> lock(mutex_);
            for (ssize_t at = 0; at < got;) {
                const auto *e = reinterpret_cast<const inotify_event *>(buffer + at);
                at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
                const auto found = names_.find(e->wd);
                if (found == names_.end())
                    continue;
                if (e->mask & IN_OPEN)
                    events_.push_back({found->second, true, now});
                if (e->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE))
                    events_.push_back({found->second, false, now});
            }
        }
    }

    int fd_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::map<int, std::string> names_;
    std::vector<event> events_;
};

LIFECYCLE_TEST(LoadWithoutAnyDevice)
{
    const std::set<int> fds_before = open_fds();
    const auto start = steady::now();
    std::optional<loaded_driver> driver;
    driver.emplace(TEST_LIBRARY_USB0);
    const long long load_ms = ms_between(start, steady::now());
    EXPECT_GE(load_ms, 1990);  // the pause for the board, probe included
    EXPECT_LT(load_ms, 20000);
    EXPECT_EQ(open_fds(), fds_before);  // the probe's failed opens left nothing

    auto sb = GET_EXPORT(*driver, sb);
    auto rsb = GET_EXPORT(*driver, rsb);
    auto ea = GET_EXPORT(*driver, ea);
    auto eb = GET_EXPORT(*driver, eb);
    auto nea = GET_EXPORT(*driver, nea);
    expect_read_backs_at_zero(*driver);
    // Writes go nowhere but are still recorded.
    EXPECT_EQ(sb(0, 1), 1);
    EXPECT_EQ(rsb(0), 1);
    EXPECT_EQ(sb(INT_MIN, 1), 1);

    // No answer can come: the analog input waits out its limit.
    const auto asked = steady::now();
    EXPECT_EQ(ea(0), 0);
    const long long waited = ms_between(asked, steady::now());
    EXPECT_GE(waited, 990);
    EXPECT_LT(waited, 10000);
    const auto digital = steady::now();
    EXPECT_EQ(eb(0), 0);
    EXPECT_LT(ms_between(digital, steady::now()), 5000);
    EXPECT_STREQ(nea(0), "EA0");
    EXPECT_STREQ(nea(6), "");

    driver.reset();
    EXPECT_EQ(open_fds(), fds_before);
}

LIFECYCLE_TEST(ProbeThenDriverPortThenPauseAndUnload)
{
    claim_observer claims;
    const char *const names[] = {"ttyUSB0", "ttyUSB20", "ttyUSB21", "ttyACM0", "ttyACM20", "ttyACM21"};
    std::map<std::string, std::unique_ptr<fake_board>> boards;
    open_watch watch;
    for (const char *name : names) {
        boards[name] = std::make_unique<fake_board>(TEST_DEVICE_FOLDER, name);
        watch.watch(name, boards[name]->slave_path());
    }
    fake_board &port = *boards["ttyUSB0"];

    // A device another program uses: its own settings and unread input.
    fake_board &other = *boards["ttyACM0"];
    set_distinctive_settings(other.slave_fd());
    other.send("$GPGGA");
    const termios other_before = settings_of(other.slave_fd());
    // Input that waited on the driver's port before load is discarded.
    port.send("stale");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(bytes_unread(other.slave_fd()), 6);

    watch.start();
    const auto start = steady::now();
    std::optional<loaded_driver> driver;
    driver.emplace(TEST_LIBRARY_USB0);
    const auto loaded = steady::now();
    EXPECT_GE(ms_between(start, loaded), 1990);

    // Each candidate that exists is opened and closed once; the
    // default port is opened once more and stays open.
    EXPECT_EQ(watch.history("ttyUSB0"), "OCO");
    for (const char *name : {"ttyUSB20", "ttyACM0", "ttyACM20"})
        EXPECT_EQ(watch.history(name), "OC") << name;
    EXPECT_EQ(watch.history("ttyUSB21"), "");
    EXPECT_EQ(watch.history("ttyACM21"), "");
    // The pause came after the driver's port opened.
    const auto opened = watch.last_open("ttyUSB0");
    ASSERT_TRUE(opened.has_value());
    EXPECT_GE(ms_between(*opened, loaded), 1900);

    // The probe left the other device as it was.
    EXPECT_TRUE(same_settings(settings_of(other.slave_fd()), other_before));
    EXPECT_EQ(bytes_unread(other.slave_fd()), 6);
    // The driver's port has its own settings and no stale input.
    const termios driver_settings = settings_of(port.slave_fd());
    EXPECT_EQ(driver_settings.c_cflag, 0x8BDu);
    EXPECT_EQ(driver_settings.c_iflag, 0x104u);
    EXPECT_EQ(bytes_unread(port.slave_fd()), 0);

    auto sb = GET_EXPORT(*driver, sb);
    expect_read_backs_at_zero(*driver);

    // Requests go to the default port only.
    EXPECT_EQ(sb(1, 1), 1);
    ASSERT_TRUE(port.wait_received(5, 2000));
    EXPECT_EQ(port.received(), "SBB1\r");
    EXPECT_EQ(sb(8, 7), 7);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (const char *name : names) {
        if (std::string(name) != "ttyUSB0") {
            EXPECT_EQ(boards[name]->received(), "") << name;
        }
    }

    // The driver's port is this process's alone; the probe claimed
    // nothing. (The observer's own opens are no history of the
    // library's.)
    EXPECT_EQ(watch.history("ttyUSB0"), "OCO");
    EXPECT_TRUE(claims.held_exclusively(port.slave_path()));
    EXPECT_FALSE(claims.held_exclusively(other.slave_path()));
    watch.forget();

    // Unload closes the driver's port: only the test's own descriptor
    // of that device is left, and the claim is gone with it.
    EXPECT_EQ(fds_on(port.slave_path()), 2);
    driver->unload();
    EXPECT_EQ(watch.history("ttyUSB0"), "C");
    EXPECT_EQ(fds_on(port.slave_path()), 1);
    EXPECT_FALSE(claims.held_exclusively(port.slave_path()));
    EXPECT_EQ(dlopen(TEST_LIBRARY_USB0, RTLD_NOW | RTLD_NOLOAD), nullptr)
        << "the library stayed in the process after its unload";
    EXPECT_TRUE(same_settings(settings_of(other.slave_fd()), other_before));
    EXPECT_EQ(bytes_unread(other.slave_fd()), 6);

    // A new load starts from the beginning, with fresh state.
    watch.forget();
    port.clear_received();
    driver.emplace(TEST_LIBRARY_USB0);
    EXPECT_EQ(watch.history("ttyUSB0"), "OCO");
    EXPECT_EQ(watch.history("ttyACM0"), "OC");
    auto sb2 = GET_EXPORT(*driver, sb);
    auto rsb2 = GET_EXPORT(*driver, rsb);
    EXPECT_EQ(rsb2(1), 0);
    EXPECT_EQ(rsb2(8), 0);
    EXPECT_EQ(sb2(3, 0), 0);
    ASSERT_TRUE(port.wait_received(5, 2000));
    EXPECT_EQ(port.received(), "SBD0\r");
    driver.reset();
    EXPECT_EQ(fds_on(port.slave_path()), 1);
}

// Load and unload again and again in one process: what the library takes at
// load it gives back at unload. The first cycle may leave what the C++
// runtime keeps for good.
LIFECYCLE_TEST(ManyLoadsLeaveDescriptorsAndMemoryFlat)
{
    fake_board port(TEST_DEVICE_FOLDER, "ttyUSB0");
    const auto cycle = [] {
        loaded_driver driver(TEST_LIBRARY_USB0);
        GET_EXPORT(driver, stddetail)();
        GET_EXPORT(driver, sb)(0, 1);
    };
    cycle();
    const std::set<int> fds_before = open_fds();
    const size_t heap_before = mallinfo2().uordblks;
    for (int i = 0; i < 4; ++i)
        cycle();
    EXPECT_EQ(open_fds(), fds_before);
    // The dynamic loader and the C++ runtime keep a few hundred bytes
    // a load; the runtime's emergency pool for exceptions (20 KB and
    // more) must go back at each unload.
    EXPECT_LT(mallinfo2().uordblks, heap_before + 4 * 2048);
}

// The build whose default port is ttyUSB2 never takes ttyUSB0 instead.
LIFECYCLE_TEST(OtherDefaultPortStaysWithoutPort)
{
    fake_board board(TEST_DEVICE_FOLDER, "ttyUSB0");
    open_watch watch;
    watch.watch("ttyUSB0", board.slave_path());
    set_distinctive_settings(board.slave_fd());
    const termios before = settings_of(board.slave_fd());
    watch.start();

    std::optional<loaded_driver> driver;
    driver.emplace(TEST_LIBRARY_USB2);
    EXPECT_EQ(watch.history("ttyUSB0"), "OC");
    EXPECT_EQ(fds_on(board.slave_path()), 1);

    auto sb = GET_EXPORT(*driver, sb);
    auto rsb = GET_EXPORT(*driver, rsb);
    EXPECT_EQ(sb(0, 1), 1);
    EXPECT_EQ(rsb(0), 1);
    EXPECT_FALSE(board.wait_received(1, 300));
    EXPECT_EQ(board.received(), "");

    driver.reset();
    EXPECT_EQ(watch.history("ttyUSB0"), "OC");
    EXPECT_TRUE(same_settings(settings_of(board.slave_fd()), before));
}

// A console as standard input: the host may change its settings while the
// library is loaded; unload puts back those found at load.
LIFECYCLE_TEST(UnloadRestoresTheConsoleSettings)
{
    pty_pair console;
    ASSERT_EQ(dup2(console.slave, 0), 0);
    const termios at_load = settings_of(0);
    ASSERT_NE(at_load.c_lflag & ICANON, 0u);

    std::optional<loaded_driver> driver;
    driver.emplace(TEST_LIBRARY_USB0);
    EXPECT_TRUE(same_settings(settings_of(0), at_load));  // the load only reads them

    termios changed = at_load;
    cfmakeraw(&changed);
    changed.c_cc[VMIN] = 9;
    ASSERT_EQ(tcsetattr(0, TCSANOW, &changed), 0);
    ASSERT_FALSE(same_settings(settings_of(0), at_load));

    driver.reset();
    EXPECT_TRUE(same_settings(settings_of(0), at_load));
}

// A host started in the background of an interactive shell, with the console
// as its standard input: unload must neither stop it (a background group that
// sets the console's settings gets SIGTTOU) nor change the settings of the
// job in the foreground.
LIFECYCLE_TEST(BackgroundHostIsNotStoppedAtUnload)
{
    pty_pair console;
    // This child becomes the session leader in the foreground of the
    // console; the host runs in a group of its own, in the background.
    ASSERT_NE(setsid(), -1);
    ASSERT_EQ(ioctl(console.slave, TIOCSCTTY, 0), 0);
    ASSERT_EQ(dup2(console.slave, 0), 0);
    const pid_t host = fork();
    ASSERT_GE(host, 0);
    if (host == 0) {
        setpgid(0, 0);
        {
            loaded_driver driver(TEST_LIBRARY_USB0);
        }
        _exit(0);
    }
    setpgid(host, host);
    // The foreground job changes the settings while the host runs.
    termios foreground = settings_of(0);
    cfmakeraw(&foreground);
    ASSERT_EQ(tcsetattr(0, TCSANOW, &foreground), 0);
    int status = 0;
    ASSERT_EQ(waitpid(host, &status, WUNTRACED), host);
    if (WIFSTOPPED(status)) {
        ADD_FAILURE() << "the host was stopped by signal " << WSTOPSIG(status);
        kill(host, SIGKILL);
        waitpid(host, &status, 0);
    } else {
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_TRUE(same_settings(settings_of(0), foreground));
    // The console closes at the end and hangs up its foreground
    // group: this child.
    signal(SIGHUP, SIG_IGN);
}

// Standard input closed, then read from a file: the port works in both, the
// console step changes nothing, and a board that vanishes costs no crash.
LIFECYCLE_TEST(StandardInputClosedOrAFile)
{
    fake_board board(TEST_DEVICE_FOLDER, "ttyUSB0");
    // The file that becomes standard input later, made while
    // descriptor 0 is still taken.
    char file_name[] = "/tmp/arduinodrv-stdin-XXXXXX";
    const int file = mkstemp(file_name);
    ASSERT_GE(file, 3);
    unlink(file_name);
    ASSERT_EQ(write(file, "input\n", 6), 6);
    ASSERT_EQ(lseek(file, 0, SEEK_SET), 0);
    close(0);

    std::optional<loaded_driver> driver;
    driver.emplace(TEST_LIBRARY_USB0);
    // The port did not take the free descriptor 0, where it would
    // count as closed.
    EXPECT_FALSE(fd_is_open(0));
    {
        auto sb = GET_EXPORT(*driver, sb);
        EXPECT_EQ(sb(0, 1), 1);
        ASSERT_TRUE(board.wait_received(5, 2000));
        EXPECT_EQ(board.received(), "SBA1\r");
    }
    driver.reset();
    EXPECT_FALSE(fd_is_open(0));
    EXPECT_EQ(fds_on(board.slave_path()), 1);

    ASSERT_EQ(dup2(file, 0), 0);
    close(file);

    board.clear_received();
    driver.emplace(TEST_LIBRARY_USB0);
    auto sb = GET_EXPORT(*driver, sb);
    auto rsb = GET_EXPORT(*driver, rsb);
    auto ea = GET_EXPORT(*driver, ea);
    auto eb = GET_EXPORT(*driver, eb);
    EXPECT_EQ(rsb(0), 0);  // fresh tables after the new load
    EXPECT_EQ(sb(2, 1), 1);
    ASSERT_TRUE(board.wait_received(5, 2000));
    EXPECT_EQ(board.received(), "SBC1\r");

    // The board vanishes: every request still returns, with its
    // neutral result.
    board.hang_up();
    const auto start = steady::now();
    EXPECT_EQ(sb(0, 1), 1);
    EXPECT_EQ(sb(3, 5), 5);
    EXPECT_EQ(rsb(3), 5);
    EXPECT_EQ(eb(1), 0);
    EXPECT_EQ(ea(2), 0);
    EXPECT_LT(ms_between(start, steady::now()), 10000);

    driver.reset();
    EXPECT_EQ(fds_on(board.slave_path()), 1);
    // Standard input is still the file, unread.
    char line[8] = {};
    EXPECT_EQ(read(0, line, sizeof line), 6);
    EXPECT_STREQ(line, "input\n");
}

// A host that forks: the child's unload, by exit(0) or _exit, leaves the
// parent's claim and console as they are; a daemon's parent half that calls
// exit leaves the claim to the child that goes on using the port.
TEST(Lifecycle, ForkedChildOrDaemonKeepsTheBoard)
{
    for (const char *how : {"child exit", "child _exit", "daemon"}) {
        const child_result child = run_in_child(
            [how] {
                empty_device_folder();
                claim_observer claims;
                fake_board board(TEST_DEVICE_FOLDER, "ttyUSB0");
                sketch_pins pins;
                pins.analog[3] = 512;
                board.answer_as_sketch(pins);
                pty_pair console;
                ASSERT_EQ(dup2(console.slave, 0), 0);
                loaded_driver driver(TEST_LIBRARY_USB0);
                auto ea = GET_EXPORT(driver, ea);
                termios changed = settings_of(0);
                cfmakeraw(&changed);
                ASSERT_EQ(tcsetattr(0, TCSANOW, &changed), 0);
                const bool daemon = std::string(how) == "daemon";
                int go[2];
                ASSERT_EQ(pipe(go), 0);
                const pid_t pid = fork();
                ASSERT_GE(pid, 0);
                if (pid == 0) {
                    bool ok = ea(3) == 512;
                    if (daemon) {
                        // Once the parent half has unloaded, the port is
                        // still this process's alone.
                        char byte;
                        ok = read(go[0], &byte, 1) == 1 && claims.held_exclusively(board.slave_path()) && ea(3) == 512;
                        _exit(ok ? 0 : 1);
                    }
                    if (std::string(how) == "child exit")
                        exit(ok ? 0 : 1);
                    _exit(ok ? 0 : 1);
                }
                if (daemon) {
                    driver.unload();
                    ASSERT_EQ(write(go[1], "x", 1), 1);
                }
                int status = 0;
                ASSERT_EQ(waitpid(pid, &status, 0), pid);
                EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << how;
                if (!daemon) {
                    EXPECT_TRUE(claims.held_exclusively(board.slave_path())) << how;
                    EXPECT_TRUE(same_settings(settings_of(0), changed)) << how;
                    EXPECT_EQ(ea(3), 512) << how;
                }
                close(go[0]);
                close(go[1]);
            },
            child_timeout_ms);
        EXPECT_EQ(child.exit_code, 0) << how;
    }
}

// Unplugged (the board's pty closes) and plugged back (a new pty at the
// same name), again and again: requests keep their bounds while the board
// is gone, right readings come back without a new load, and the library's
// descriptors stay flat. A board that comes only after the load is found too.
TEST(Lifecycle, BoardBackAfterEveryUnplug)
{
    const child_result child = run_in_child(
        [] {
            empty_device_folder();
            sketch_pins pins;
            pins.analog[3] = 512;
            std::optional<loaded_driver> driver;
            driver.emplace(TEST_LIBRARY_USB0);  // no board yet
            auto ea = GET_EXPORT(*driver, ea);
            auto sb = GET_EXPORT(*driver, sb);
            EXPECT_EQ(ea(3), 0);
            std::set<int> fds_before;
            for (int cycle = 0; cycle < 4; ++cycle) {
                auto board = std::make_unique<fake_board>(TEST_DEVICE_FOLDER, "ttyUSB0");
                board->answer_as_sketch(pins);
                board->pace_like_line(9600);
                const auto back = steady::now();
                int raw = 0;
                while (raw != 512 && ms_between(back, steady::now()) < 2000 + 1100 + 2000)
                    raw = ea(3);
                EXPECT_EQ(raw, 512) << "cycle " << cycle;
                EXPECT_LT(ms_between(back, steady::now()), 2000 + 1100 + 2000) << "cycle " << cycle;
                if (cycle == 1)
                    fds_before = open_fds();
                if (cycle > 1) {
                    EXPECT_EQ(open_fds().size(), fds_before.size()) << "cycle " << cycle;
                }

                board->hang_up();
                // Gone: neutral results in their usual time, nothing written.
                const auto gone = steady::now();
                EXPECT_EQ(ea(3), 0);
                EXPECT_EQ(sb(0, 1), 1);
                EXPECT_LT(ms_between(gone, steady::now()), 1500);
                EXPECT_EQ(fds_on(board->slave_path()), 1) << "the gone device stayed open";
                board.reset();
            }
            // Replaced by a regular file: never written.
            const std::string path = std::string(TEST_DEVICE_FOLDER) + "/ttyUSB0";
            const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ASSERT_GE(file, 0);
            close(file);
            for (int i = 0; i < 3; ++i)
                EXPECT_EQ(ea(3), 0);
            struct stat info {};
            ASSERT_EQ(stat(path.c_str(), &info), 0);
            EXPECT_EQ(info.st_size, 0);
            unlink(path.c_str());
            driver.reset();
        },
        child_timeout_ms * 2);
    EXPECT_EQ(child.exit_code, 0);
}

// A board's link left behind (an emulator that was killed) now leads to
// someone's terminal, a new one that took the same pty number: the library,
// trying its path again after the unplug, never makes that terminal raw nor
// writes to it, and its requests keep their neutral results.
LIFECYCLE_TEST(AStaleLinkToSomeonesTerminalIsNeverUsed)
{
    someones_terminal terminal;
    const int own = open(terminal.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(own, 0);
    const termios before = settings_of(own);
    auto board = std::make_unique<fake_board>(TEST_DEVICE_FOLDER, "ttyUSB0");
    sketch_pins pins;
    pins.analog[3] = 512;
    board->answer_as_sketch(pins);
    std::optional<loaded_driver> driver;
    driver.emplace(TEST_LIBRARY_USB0);
    auto ea = GET_EXPORT(*driver, ea);
    auto sb = GET_EXPORT(*driver, sb);
    EXPECT_EQ(ea(3), 512);

    board->hang_up();
    board.reset();
    const std::string link = std::string(TEST_DEVICE_FOLDER) + "/ttyUSB0";
    ASSERT_EQ(symlink(terminal.path().c_str(), link.c_str()), 0);
    // Each request without a port tries the path again, at most
    // every 500 ms: three analog requests make several tries.
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(ea(3), 0);
        EXPECT_EQ(sb(0, 1), 1);
    }
    EXPECT_EQ(terminal.written(), "");
    EXPECT_TRUE(same_settings(settings_of(own), before));
    EXPECT_EQ(fds_on(terminal.path()), 1);  // the test's own
    unlink(link.c_str());
    driver.reset();
    close(own);
}

}  // namespace
