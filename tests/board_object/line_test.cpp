// The board's line as its reader owns it: events told without a call, a fast
// line kept while the program is idle, a restart seen by the board's clock,
// a board left streaming by a program that died, a claim no shared open
// touches, and requests that stay right on a starved, signalled host.
#include <atomic>
#include <csignal>
#include <poll.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "board_helpers.h"
#include "child.h"

namespace {

sketch_pins channel_pins()
{
    sketch_pins pins;
    for (int channel = 0; channel < 6; ++channel)
        pins.analog[channel] = static_cast<uint16_t>(100 * channel + 7);
    return pins;
}

// The events that come within timeout_ms, until one of `last`'s kind.
std::vector<ab_event> events_until(ab_board *board, int last, int timeout_ms = 10000)
{
    std::vector<ab_event> got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < end) {
        ab_event event{};
        EXPECT_EQ(ab_next_event(board, &event, 100), AB_OK);
        if (event.kind == AB_EVENT_NONE)
            continue;
        got.push_back(event);
        if (event.kind == last)
            break;
    }
    return got;
}

bool has_kind(const std::vector<ab_event> &events, int kind)
{
    for (const ab_event &event : events)
        if (event.kind == kind)
            return true;
    return false;
}

bool readable(int fd, int timeout_ms)
{
    pollfd waiting{fd, POLLIN, 0};
    return poll(&waiting, 1, timeout_ms) == 1;
}

// The device goes and comes back: the link and the events say so as the
// reader sees it, with no call made.
TEST(BoardLine, EventsAndTheLinkSayWhatHappensWithoutACall)
{
    auto fake = std::make_unique<fake_board>(TEST_DEVICE_FOLDER, "ttyUSB0");
    fake->answer_as_sketch(channel_pins());
    open_board board(*fake);
    ASSERT_EQ(board.status, AB_OK) << ab_last_error();
    const int fd = ab_event_fd(*board);
    ASSERT_GE(fd, 0);
    // The fast line's move at the open, if the line can move.
    ab_event event{};
    while (ab_next_event(*board, &event, 0) == AB_OK && event.kind != AB_EVENT_NONE)
        EXPECT_EQ(event.kind, AB_EVENT_RATE_CHANGED);
    EXPECT_FALSE(readable(fd, 0));
    const long long waited = ms_taken([&] { ASSERT_EQ(ab_next_event(*board, &event, 200), AB_OK); });
    EXPECT_EQ(event.kind, AB_EVENT_NONE);
    EXPECT_GE(waited, 150);

    fake->hang_up();
    EXPECT_TRUE(readable(fd, 5000));
    ASSERT_EQ(ab_next_event(*board, &event, 0), AB_OK);
    EXPECT_EQ(event.kind, AB_EVENT_DETACHED);
    EXPECT_GT(event.time_ns, 0);
    EXPECT_EQ(link_of(*board).connected, 0);

    fake.reset();
    fake = std::make_unique<fake_board>(TEST_DEVICE_FOLDER, "ttyUSB0");
    fake->answer_as_sketch(channel_pins());
    const std::vector<ab_event> back = events_until(*board, AB_EVENT_ATTACHED);
    ASSERT_FALSE(back.empty());
    EXPECT_EQ(back.back().kind, AB_EVENT_ATTACHED);
    EXPECT_EQ(link_of(*board).connected, 1);
    EXPECT_TRUE(eventually([&] { return read_analog(*board, 2).reading.raw == 207; }));
    EXPECT_EQ(link_of(*board).opens, 2u);
    EXPECT_EQ(ab_event_fd(nullptr), -1);
    EXPECT_EQ(ab_next_event(*board, nullptr, 0), AB_BAD_ARGUMENT);
}

// The board keeps a fast line only while its host talks: the reader talks
// for an idle program, so the line stays, and stays right.
TEST(BoardLine, TheFastLineStaysWhileTheProgramIsIdle)
{
    if (!lines_can_move())
        GTEST_SKIP() << "this system cannot give a line any rate (termios2 is missing under qemu-i386)";
    fake_board fake(TEST_DEVICE_FOLDER, "ttyUSB0");
    fake.pace_like_line();
    fake.answer_as_sketch(channel_pins());
    open_board board(fake);
    ASSERT_EQ(board.status, AB_OK) << ab_last_error();
    ASSERT_EQ(link_of(*board).baud, 1000000);
    std::this_thread::sleep_for(std::chrono::milliseconds(2 * board_wire::host_silence_ms));
    EXPECT_EQ(fake.sketch_line_rate(), 1000000u);
    EXPECT_EQ(read_analog(*board, 1).reading.raw, 107);
    EXPECT_EQ(link_of(*board).baud, 1000000);
}

// A board that restarts by itself (a reset, a brown-out) has every output
// off: its clock, which its answers tell, went back. At a fast rate it
// stops answering there, and the line is mended back to where it was.
TEST(BoardLine, ARestartIsSeenAndTheOutputsAreOff)
{
    for (const int baud : {9600, 0}) {
        if (baud == 0 && !lines_can_move())
            continue;
        SCOPED_TRACE(baud);
        fake_board fake(TEST_DEVICE_FOLDER, "ttyUSB0");
        fake.answer_as_sketch(channel_pins());
        ab_options options = fake_board_options();
        options.baud = baud;
        open_board board(fake, options);
        ASSERT_EQ(board.status, AB_OK) << ab_last_error();
        const int32_t rate = link_of(*board).baud;
        ASSERT_EQ(ab_write_pwm(*board, 1, 99), AB_OK) << ab_last_error();
        ab_event event{};
        while (ab_next_event(*board, &event, 0) == AB_OK && event.kind != AB_EVENT_NONE) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1600));  // the board's clock beyond the host's doubt
        fake.answer_as_sketch(channel_pins());
        const std::vector<ab_event> seen = events_until(*board, AB_EVENT_RESTARTED, 15000);
        ASSERT_TRUE(has_kind(seen, AB_EVENT_RESTARTED));
        EXPECT_EQ(link_of(*board).pwm[1], 0);
        EXPECT_TRUE(eventually([&] { return link_of(*board).baud == rate && fake.sketch_line_rate() == static_cast<uint32_t>(rate); }));
        EXPECT_EQ(read_analog(*board, 3).reading.raw, 307);
    }
}

// A program that died with its board streaming, on a link (the board did
// not restart when the next program opened it): the next open ends the
// stream, at 9600 or after the board's silence rule at a fast rate, and
// gets the board's answers, never its frames.
TEST(BoardLine, AnOpenEndsAStreamAProgramThatDiedLeft)
{
    for (const int baud : {9600, 0}) {
        if (baud == 0 && !lines_can_move())
            continue;
        SCOPED_TRACE(baud);
        fake_board fake(TEST_DEVICE_FOLDER, "ttyUSB0");
        fake.answer_as_sketch(channel_pins());
        const child_result child = run_in_child([&] {
            ab_options options = fake_board_options();
            options.baud = baud;
            ab_board *board = nullptr;
            ASSERT_EQ(ab_open(fake.link_path().c_str(), &options, &board), AB_OK);
            ASSERT_EQ(ab_stream_start(board, 0x3F, 0, 50000), AB_OK) << ab_last_error();
            _exit(0);  // no close
        });
        ASSERT_EQ(child.exit_code, 0);
        ASSERT_TRUE(fake.sketch_streaming());
        open_board board(fake, fake_board_options(1000));
        ASSERT_EQ(board.status, AB_OK) << ab_last_error();
        EXPECT_FALSE(fake.sketch_streaming());
        EXPECT_EQ(link_of(*board).sketch, 3);
        for (int channel = 0; channel < 6; ++channel)
            EXPECT_EQ(read_analog(*board, channel).reading.raw, 100 * channel + 7);
        size_t count = 0;
        ab_sample sample{};
        EXPECT_EQ(ab_stream_read(*board, &sample, 1, 0, &count), AB_NOT_STREAMING);
    }
}

// ab_close leaves the board as every open finds it: at 9600, no stream.
TEST(BoardLine, CloseLeavesTheBoardAt9600WithNoStream)
{
    fake_board fake(TEST_DEVICE_FOLDER, "ttyUSB0");
    fake.answer_as_sketch(channel_pins());
    ab_board *board = nullptr;
    const ab_options options = fake_board_options();
    ASSERT_EQ(ab_open(fake.link_path().c_str(), &options, &board), AB_OK) << ab_last_error();
    ASSERT_EQ(ab_stream_start(board, 1, 0, 10000), AB_OK) << ab_last_error();
    ASSERT_TRUE(fake.sketch_streaming());
    ab_close(board);
    EXPECT_FALSE(fake.sketch_streaming());
    EXPECT_EQ(fake.sketch_line_rate(), 9600u);
}

// An open that claims nothing never touches a device another handle holds
// alone: the holder's line and answers stay its own.
TEST(BoardLine, ASharedOpenNeverTouchesAClaimedBoard)
{
    fake_board fake(TEST_DEVICE_FOLDER, "ttyUSB0");
    fake.answer_as_sketch(channel_pins());
    open_board holder(fake);
    ASSERT_EQ(holder.status, AB_OK) << ab_last_error();
    ab_options shared = fake_board_options();
    shared.exclusive = 0;
    ab_board *second = nullptr;
    EXPECT_EQ(ab_open(fake.link_path().c_str(), &shared, &second), AB_PORT_BUSY);
    EXPECT_EQ(second, nullptr);
    int right = 0;
    for (int i = 0; i < 20; ++i)
        right += read_analog(*holder, i % 6).reading.raw == 100 * (i % 6) + 7;
    EXPECT_EQ(right, 20);
}

std::atomic<int> alarms = 0;
void count_alarm(int)
{
    alarms.fetch_add(1, std::memory_order_relaxed);
}

// A host whose cores are busy and whose process gets a signal every
// millisecond: each request gets its own answer, in time, never another's.
TEST(BoardLine, AStarvedAndSignalledHostStillGetsEachAnswer)
{
    fake_board fake(TEST_DEVICE_FOLDER, "ttyUSB0");
    fake.pace_like_line();
    fake.answer_as_sketch(channel_pins());
    const child_result child = run_in_child(
        [&] {
            struct sigaction action {};
            action.sa_handler = count_alarm;
            sigemptyset(&action.sa_mask);
            ASSERT_EQ(sigaction(SIGALRM, &action, nullptr), 0);  // no SA_RESTART: every wait is cut
            std::atomic<bool> busy = true;
            std::vector<std::thread> spinners;
            for (int i = 0; i < 2; ++i)
                spinners.emplace_back([&] {
                    while (busy.load(std::memory_order_relaxed)) {
                    }
                });
            ab_options options = fake_board_options(1000);
            options.baud = 9600;
            ab_board *board = nullptr;
            ASSERT_EQ(ab_open(fake.link_path().c_str(), &options, &board), AB_OK) << ab_last_error();
            itimerval timer{};
            timer.it_value.tv_usec = 1000;
            timer.it_interval.tv_usec = 1000;
            ASSERT_EQ(setitimer(ITIMER_REAL, &timer, nullptr), 0);
            int right = 0, wrong = 0;
            for (int i = 0; i < 200; ++i) {
                const int channel = i % 6;
                const analog_result got = read_analog(board, channel);
                if (got.status == AB_OK)
                    (got.reading.raw == 100 * channel + 7 ? right : wrong) += 1;
            }
            const itimerval off{};
            setitimer(ITIMER_REAL, &off, nullptr);
            busy = false;
            for (std::thread &spinner : spinners)
                spinner.join();
            EXPECT_EQ(wrong, 0);
            EXPECT_EQ(right, 200);
            EXPECT_GT(alarms.load(), 100);
            ab_close(board);
        },
        120000);
    EXPECT_EQ(child.exit_code, 0);
}

}  // namespace
