// The board object's requests on a board that answers as the sketch does:
// what goes on the wire, what comes back with its time, the link's record;
// and every argument it refuses, at once and with nothing sent.
#include <cerrno>
#include <climits>
#include <cmath>
#include <fcntl.h>
#include <sys/stat.h>
#include <ctime>
#include <unistd.h>

#include "board_helpers.h"
#include "fake_sysfs.h"
#include "someones_terminal.h"

namespace {

int64_t realtime_ns()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

sketch_pins test_pins()
{
    sketch_pins pins;
    for (int channel = 0; channel < 6; ++channel)
        pins.analog[channel] = static_cast<uint16_t>(100 * channel + 12);
    pins.analog[5] = 1023;
    pins.input_high[4] = true;
    pins.input_high[8] = true;
    return pins;
}

class BoardRequests : public ::testing::Test {
protected:
    BoardRequests() : fake(TEST_DEVICE_FOLDER, "ttyUSB0") { fake.answer_as_sketch(test_pins(), sketch_kind::classic); }
    fake_board fake;
};

TEST_F(BoardRequests, ReadingsCarryValueVoltsAndTime)
{
    open_board board(fake);
    ASSERT_EQ(board.status, AB_OK) << ab_last_error();
    EXPECT_STREQ(ab_port(*board), fake.link_path().c_str());
    for (int channel = 0; channel < AB_ANALOG_INPUTS; ++channel) {
        const int64_t before = realtime_ns();
        const analog_result got = read_analog(*board, channel);
        const int64_t after = realtime_ns();
        ASSERT_EQ(got.status, AB_OK) << ab_last_error();
        EXPECT_STREQ(ab_last_error(), "");
        const int expected = channel == 5 ? 1023 : 100 * channel + 12;
        EXPECT_EQ(got.reading.raw, expected);
        EXPECT_DOUBLE_EQ(got.reading.volts, expected * 5.0 / 1024.0);
        EXPECT_GE(got.reading.time_ns, before);
        EXPECT_LE(got.reading.time_ns, after);
        EXPECT_GT(got.reading.round_trip_ns, 0);
        EXPECT_LE(got.reading.round_trip_ns, after - before);
    }
    const int expected_levels[] = {0, 1, 0, 1};  // pins 2, 4, 7, 8
    for (int channel = 0; channel < AB_DIGITAL_INPUTS; ++channel) {
        ab_reading reading{};
        ASSERT_EQ(ab_read_digital(*board, channel, &reading), AB_OK) << ab_last_error();
        EXPECT_EQ(reading.raw, expected_levels[channel]);
        EXPECT_DOUBLE_EQ(reading.volts, 5.0 * expected_levels[channel]);
        EXPECT_GT(reading.time_ns, 0);
    }
    // The wire is the 71 functions' own: an analog command with its empty
    // line after it, the digital one by pin. (With no start to wait for,
    // the open asked at the fast rates too, for a board left at one: the
    // first line ends what that left in a classic board's buffer.)
    const std::string wire = fake.received();
    EXPECT_EQ(wire.substr(0, 11), "\rEA0\r\rEA1\r\r");
    EXPECT_NE(wire.find("EB2\rEB4\rEB7\rEB8\r"), std::string::npos) << wire;
    const ab_link link = link_of(*board);
    EXPECT_EQ(link.connected, 1);
    EXPECT_EQ(link.opens, 1u);
    EXPECT_EQ(link.requests, 10u);
    EXPECT_EQ(link.no_answer + link.not_a_reading + link.no_port, 0u);
    EXPECT_GT(link.last_answer_ns, 0);
}

// Every input in one exchange: the classic commands back to back, analog
// and digital alternating, each value with its own time.
TEST_F(BoardRequests, ScanReadsEveryInputInOneExchange)
{
    fake.pace_like_line();
    open_board board(fake);
    ASSERT_EQ(board.status, AB_OK) << ab_last_error();
    ab_scan_result result{};
    ASSERT_EQ(ab_scan(*board, &result), AB_OK) << ab_last_error();
    for (int channel = 0; channel < AB_ANALOG_INPUTS; ++channel) {
        EXPECT_EQ(result.analog_status[channel], AB_OK);
        EXPECT_EQ(result.analog[channel].raw, channel == 5 ? 1023 : 100 * channel + 12) << channel;
        EXPECT_GT(result.analog[channel].time_ns, 0);
    }
    const int expected_levels[] = {0, 1, 0, 1};
    for (int channel = 0; channel < AB_DIGITAL_INPUTS; ++channel) {
        EXPECT_EQ(result.digital_status[channel], AB_OK);
        EXPECT_EQ(result.digital[channel].raw, expected_levels[channel]) << channel;
    }
    // Answers come in order: each one's time after the one before.
    EXPECT_LT(result.analog[0].time_ns, result.digital[0].time_ns);
    EXPECT_LT(result.digital[3].time_ns, result.analog[5].time_ns);
    EXPECT_EQ(fake.received(), "\rEA0\rEB2\rEA1\rEB4\rEA2\rEB7\rEA3\rEB8\rEA4\rEB0\rEA5\r");
    EXPECT_EQ(link_of(*board).requests, 10u);
    EXPECT_EQ(read_analog(*board, 2).reading.raw, 212);  // nothing left over
}

TEST_F(BoardRequests, OutputsGoOutExactlyAndTheLinkKeepsThem)
{
    open_board board(fake);
    ASSERT_EQ(board.status, AB_OK) << ab_last_error();
    ASSERT_EQ(ab_write_pwm(*board, 0, 255), AB_OK);
    ASSERT_EQ(ab_write_pwm(*board, 3, 0), AB_OK);
    ASSERT_EQ(ab_write_pwm(*board, 1, 128), AB_OK);
    ASSERT_EQ(ab_write_digital(*board, 0, 1), AB_OK);
    ASSERT_EQ(ab_write_digital(*board, 3, 0), AB_OK);
    ASSERT_TRUE(fake.wait_received(30, 2000));
    EXPECT_EQ(fake.received(), "\rSA3255\rSA90\rSA5128\rSBA1\rSBD0\r");
    const ab_link link = link_of(*board);
    EXPECT_EQ(link.pwm[0], 255);
    EXPECT_EQ(link.pwm[1], 128);
    EXPECT_EQ(link.pwm[3], 0);
    EXPECT_EQ(link.digital[0], 1);
    EXPECT_EQ(link.digital[3], 0);
    EXPECT_EQ(link.requests, 5u);
    const sketch_pins pins = fake.pins();
    EXPECT_EQ(pins.pwm_duty[3], 255);
    EXPECT_EQ(pins.output_level[10], 1);
}

TEST_F(BoardRequests, BadArgumentsAreRefusedAtOnceAndSendNothing)
{
    open_board board(fake);
    ASSERT_EQ(board.status, AB_OK) << ab_last_error();
    ab_reading reading{};
    reading.raw = 77;
    for (const int channel : {-1, 6, INT_MIN, INT_MAX}) {
        EXPECT_EQ(ab_read_analog(*board, channel, &reading), AB_BAD_CHANNEL) << channel;
        EXPECT_EQ(reading.raw, 0);
    }
    for (const int channel : {-1, 4, INT_MIN, INT_MAX}) {
        EXPECT_EQ(ab_read_digital(*board, channel, &reading), AB_BAD_CHANNEL) << channel;
        EXPECT_EQ(ab_write_pwm(*board, channel, 1), AB_BAD_CHANNEL) << channel;
        EXPECT_EQ(ab_write_digital(*board, channel, 1), AB_BAD_CHANNEL) << channel;
    }
    EXPECT_NE(std::string(ab_last_error()).find("digital output"), std::string::npos) << ab_last_error();
    for (const int duty : {-1, 256, INT_MIN, INT_MAX})
        EXPECT_EQ(ab_write_pwm(*board, 0, duty), AB_BAD_VALUE) << duty;
    for (const int on : {-1, 2, INT_MIN})
        EXPECT_EQ(ab_write_digital(*board, 0, on), AB_BAD_VALUE) << on;
    EXPECT_EQ(ab_read_analog(*board, 0, nullptr), AB_BAD_ARGUMENT);
    EXPECT_EQ(ab_read_digital(*board, 0, nullptr), AB_BAD_ARGUMENT);
    EXPECT_EQ(ab_link_state(*board, nullptr), AB_BAD_ARGUMENT);
    EXPECT_EQ(ab_scan(*board, nullptr), AB_BAD_ARGUMENT);
    ab_scan_result scanned{};
    EXPECT_EQ(ab_scan(nullptr, &scanned), AB_BAD_ARGUMENT);
    EXPECT_EQ(scanned.analog_status[0], AB_BAD_ARGUMENT);
    EXPECT_EQ(scanned.digital_status[3], AB_BAD_ARGUMENT);
    EXPECT_EQ(ab_read_analog(nullptr, 0, &reading), AB_BAD_ARGUMENT);
    EXPECT_EQ(ab_write_pwm(nullptr, 0, 1), AB_BAD_ARGUMENT);
    EXPECT_EQ(ab_write_digital(nullptr, 0, 1), AB_BAD_ARGUMENT);
    ab_link link{};
    EXPECT_EQ(ab_link_state(nullptr, &link), AB_BAD_ARGUMENT);
    EXPECT_EQ(ab_port(nullptr), nullptr);
    EXPECT_EQ(ab_open("x", nullptr, nullptr), AB_BAD_ARGUMENT);
    ab_close(nullptr);
    ab_default_options(nullptr);
    usleep(50000);
    EXPECT_EQ(fake.received(), "");
    EXPECT_EQ(link_of(*board).requests, 0u);
}

TEST(BoardStatus, EveryStatusHasAText)
{
    for (int status = AB_OK; status <= AB_NOT_STREAMING; ++status) {
        const std::string text = ab_status_text(static_cast<ab_status>(status));
        EXPECT_FALSE(text.empty());
        EXPECT_NE(text, "unknown status") << status;
    }
    EXPECT_STREQ(ab_status_text(static_cast<ab_status>(-1)), "unknown status");
    EXPECT_STREQ(ab_status_text(static_cast<ab_status>(1000)), "unknown status");
    EXPECT_STREQ(ab_version(), ARDUINOBOARD_TEST_VERSION);
}

// Paths a careless user, a stray echo or a hostile environment give: each
// refused with its status, and nothing opened or written.
TEST(BoardOpen, PathsThatAreNoPortAreRefused)
{
    const std::string folder = TEST_DEVICE_FOLDER;
    const std::string file = folder + "/ttyUSB9";
    {
        const int fd = open(file.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
        ASSERT_GE(fd, 0);
        close(fd);
    }
    const ab_options options = fake_board_options();
    struct {
        std::string path;
        ab_status status;
    } const cases[] = {
        {"", AB_BAD_ARGUMENT},
        {folder + "/ttyUSB0\n", AB_BAD_ARGUMENT},
        {folder + "/tty\x1b[2J", AB_BAD_ARGUMENT},
        {std::string(PATH_MAX, 'a'), AB_BAD_ARGUMENT},
        {folder + "/ttyUSB7", AB_NO_PORT},
        {folder, AB_NOT_A_PORT},
        {file, AB_NOT_A_PORT},
        {"/dev/null", AB_NOT_A_PORT},
        {"/dev/zero", AB_NOT_A_PORT},
    };
    for (const auto &c : cases) {
        ab_board *board = reinterpret_cast<ab_board *>(1);
        const long long took = ms_taken([&] { EXPECT_EQ(ab_open(c.path.c_str(), &options, &board), c.status) << c.path; });
        EXPECT_EQ(board, nullptr);
        EXPECT_LT(took, slow_machine_ms);
        if (c.status != AB_BAD_ARGUMENT) {
            EXPECT_NE(std::string(ab_last_error()).find(c.path), std::string::npos) << ab_last_error();
        }
    }
    struct stat info {};
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 0);
    unlink(file.c_str());

    // A person's terminal is never a board: never set raw, written or read.
    someones_terminal person;
    ab_board *board = nullptr;
    EXPECT_EQ(ab_open(person.path().c_str(), &options, &board), AB_NOT_A_PORT);
    EXPECT_EQ(board, nullptr);
    EXPECT_EQ(person.written(), "");
}

TEST(BoardOpen, OptionsOutOfRangeAreRefused)
{
    fake_board fake(TEST_DEVICE_FOLDER, "ttyUSB1");
    const auto with = [](auto change) {
        ab_options options = fake_board_options();
        change(options);
        return options;
    };
    const ab_options cases[] = {
        with([](ab_options &o) { o.timeout_ms = 0; }),
        with([](ab_options &o) { o.timeout_ms = 60001; }),
        with([](ab_options &o) { o.start_ms = -1; }),
        with([](ab_options &o) { o.start_ms = INT_MAX; }),
        with([](ab_options &o) { o.exclusive = 2; }),
        with([](ab_options &o) { o.baud = 115200; }),
        with([](ab_options &o) { o.baud = -1; }),
    };
    for (const ab_options &options : cases) {
        ab_board *board = nullptr;
        EXPECT_EQ(ab_open(fake.link_path().c_str(), &options, &board), AB_BAD_VALUE) << ab_last_error();
        EXPECT_EQ(board, nullptr);
    }
    ab_options defaults{};
    ab_default_options(&defaults);
    EXPECT_EQ(defaults.timeout_ms, 1000);
    EXPECT_EQ(defaults.start_ms, 2000);
    EXPECT_EQ(defaults.exclusive, 1);
    EXPECT_EQ(defaults.baud, 0);
}

// The board restarts as its port opens: the open waits start_ms before
// anything is sent. Then it asks what the sketch is, ends a stream an
// earlier program may have left, asks the board's uptime and, where the
// line can move, agrees on the fastest rate.
TEST(BoardOpen, WaitsForTheBoardToStart)
{
    fake_board fake(TEST_DEVICE_FOLDER, "ttyUSB2");
    fake.answer_as_sketch(test_pins());
    ab_options options = fake_board_options();
    options.start_ms = 400;
    ab_board *board = nullptr;
    const long long took = ms_taken([&] { ASSERT_EQ(ab_open(fake.link_path().c_str(), &options, &board), AB_OK); });
    EXPECT_GE(took, 400);
    EXPECT_LT(took, 400 + slow_machine_ms);
    if (lines_can_move()) {
        // The first line at the new rate ends any noise first.
        EXPECT_EQ(fake.received(), "XI\rXEa\rXKb\rXB1000000c\r\rXKd\r");
        EXPECT_EQ(link_of(board).baud, 1000000);
    } else {
        EXPECT_EQ(fake.received(), "XI\rXEa\rXKb\r");
    }
    ab_close(board);
    // The close leaves it at 9600.
    EXPECT_EQ(fake.sketch_line_rate(), 9600u);
}

// ab_open(NULL) opens the one device with a board's USB ids; none is no
// port, several are named for the user to choose.
TEST(BoardOpen, AutoOpensTheOneLikelyBoard)
{
    fake_sysfs system;
    const std::string sys = std::string(TEST_SYSTEM_ROOT) + "/sys";
    std::filesystem::remove_all(sys);
    std::filesystem::create_directory_symlink(system.root() / "sys", sys);
    const ab_options options = fake_board_options();
    ab_board *board = nullptr;

    EXPECT_EQ(ab_open(nullptr, &options, &board), AB_NO_PORT);
    EXPECT_NE(std::string(ab_last_error()).find("USB ids"), std::string::npos) << ab_last_error();

    fake_board unknown(TEST_DEVICE_FOLDER, "ttyUSB3"), genuine(TEST_DEVICE_FOLDER, "ttyACM0");
    genuine.answer_as_sketch(test_pins(), sketch_kind::classic);
    system.usb_tty("ttyUSB3", "1-1", "1234", "5678", "pl2303");
    system.usb_tty("ttyACM0", "1-2", "2341", "0043", "cdc_acm");
    ASSERT_EQ(ab_open("auto", &options, &board), AB_OK) << ab_last_error();
    EXPECT_STREQ(ab_port(board), genuine.link_path().c_str());
    EXPECT_EQ(read_analog(board, 1).reading.raw, 112);
    ab_close(board);

    fake_board clone(TEST_DEVICE_FOLDER, "ttyUSB0");
    system.usb_tty("ttyUSB0", "1-3", "1a86", "7523", "ch341", "", true);
    EXPECT_EQ(ab_open(nullptr, &options, &board), AB_SEVERAL_PORTS);
    EXPECT_EQ(board, nullptr);
    const std::string why = ab_last_error();
    EXPECT_NE(why.find(genuine.link_path()), std::string::npos) << why;
    EXPECT_NE(why.find(clone.link_path()), std::string::npos) << why;
    EXPECT_EQ(why.find(unknown.link_path()), std::string::npos) << why;
    EXPECT_EQ(clone.received() + unknown.received(), "");
    // A classic sketch answers no question: asked again, then the request.
    const std::string asked = genuine.received();
    ASSERT_GE(asked.size(), 5u);
    EXPECT_EQ(asked.substr(asked.size() - 5), "EA1\r\r");
    EXPECT_EQ(asked.find_first_not_of("XI\r"), asked.size() - 5) << asked;
    std::filesystem::remove(sys);
}

}  // namespace
