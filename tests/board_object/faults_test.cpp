// A board that misbehaves: silent, late, cut, garbled, flooding, or gone.
// Each request gets its own status in bounded time, never another request's
// answer, and the board is used again once it is back.
#include <atomic>
#include <memory>
#include <poll.h>
#include <unistd.h>
#include <thread>

#include "board_helpers.h"
#include "process_fds.h"
#include "trace_events.h"

namespace {

// Answers "EA<n>" with n repeated three times ("EA2" gets "222"), after
// what `special` says for the channels it knows.
std::function<board_reply(const std::string &)> echo_channels(std::function<board_reply(int)> special = nullptr)
{
    return [special](const std::string &line) {
        if (line.size() != 3 || line.compare(0, 2, "EA") != 0)
            return board_reply{};
        const int channel = line[2] - '0';
        if (special) {
            board_reply reply = special(channel);
            if (!reply.bytes.empty() || !reply.later.empty())
                return reply;
        }
        return board_reply{std::string(3, line[2]) + "\r\n"};
    };
}

TEST(BoardFaults, SilentBoardIsNoAnswerAtTheLimit)
{
    fake_board fake(TEST_DEVICE_FOLDER, "ttyUSB0");
    open_board board(fake);
    ASSERT_EQ(board.status, AB_OK) << ab_last_error();
    analog_result got{};
    const long long took = ms_taken([&] { got = read_analog(*board, 1); });
    EXPECT_EQ(got.status, AB_NO_ANSWER);
    EXPECT_EQ(got.reading.raw, 0);
    EXPECT_EQ(got.reading.time_ns, 0);
    EXPECT_GE(took, 300);
    EXPECT_LT(took, 300 + slow_machine_ms);
    ab_reading reading{};
    EXPECT_EQ(ab_read_digital(*board, 0, &reading), AB_NO_ANSWER);
    const ab_link link = link_of(*board);
    EXPECT_EQ(link.requests, 2u);
    EXPECT_EQ(link.no_answer, 2u);
    EXPECT_EQ(link.last_answer_ns, 0);
}

TEST(BoardFaults, AnswersThatAreNoReadings)
{
    fake_board fake(TEST_DEVICE_FOLDER, "ttyUSB0");
    const std::string answers[] = {"abc", "512abc", "-5", "1024", "99999", "", "5 1"};
    size_t next = 0;
    fake.respond_with([&](const std::string &line) {
        if (line.empty() || line[0] == 'X')  // a classic sketch: no answer to a question
            return board_reply{};
        if (line.compare(0, 2, "EB") == 0)
            return board_reply{"x"};
        return board_reply{answers[next++ % std::size(answers)] + "\r\n"};
    });
    open_board board(fake);
    ASSERT_EQ(board.status, AB_OK) << ab_last_error();
    for (size_t i = 0; i < std::size(answers); ++i) {
        const analog_result got = read_analog(*board, 0);
        // An empty line is a line end before the answer: no answer at all.
        EXPECT_EQ(got.status, answers[i].empty() ? AB_NO_ANSWER : AB_NOT_A_READING) << answers[i];
        EXPECT_EQ(got.reading.raw, 0);
    }
    ab_reading reading{};
    EXPECT_EQ(ab_read_digital(*board, 0, &reading), AB_NOT_A_READING);
    EXPECT_NE(std::string(ab_last_error()).find("\"x\""), std::string::npos) << ab_last_error();
    EXPECT_EQ(link_of(*board).not_a_reading, std::size(answers));
}

// The trace names the board on each line: a classic sketch that does not
// answer the question, a reading, and an answer that is none.
TEST(BoardFaults, TraceSaysWhatEachRequestGot)
{
    fake_board fake(TEST_DEVICE_FOLDER, "ttyUSB0");
    fake.respond_with([](const std::string &line) {
        return line == "EA1" ? board_reply{"512\r\n"} : line == "EA2" ? board_reply{"7x\r\n"} : board_reply{};
    });
    const std::string trace = std::string(TEST_DEVICE_FOLDER) + "/board.trace";
    unlink(trace.c_str());
    setenv("ARDUINODRV_TRACE", trace.c_str(), 1);
    {
        open_board board(fake);
        unsetenv("ARDUINODRV_TRACE");
        ASSERT_EQ(board.status, AB_OK) << ab_last_error();
        EXPECT_EQ(read_analog(*board, 1).status, AB_OK);
        EXPECT_EQ(read_analog(*board, 2).status, AB_NOT_A_READING);
    }
    const std::string port = fake.link_path();
    // The open's questions to the sketch, asked again and unanswered, go
    // first; then each request.
    std::vector<std::string> events = trace_events(file_text(trace), "arduinoboard");
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events[0], port + " open: opened");
    EXPECT_EQ(events[1], port + " send: \"XI\\r\"");
    size_t requests = 1;
    while (requests < events.size() && (events[requests] == port + " send: \"XI\\r\"" ||
                                        events[requests] == port + " send: \"\\rXI\\r\"" ||
                                        events[requests].find(port + " no-answer: within ") == 0))
        ++requests;
    // The first request ends what the questions at the fast rates may have
    // left in the board's buffer.
    const std::vector<std::string> expected = {
        port + " send: \"\\rEA1\\r\\r\"",
        port + " answer: \"512\" after N ms",
        port + " send: \"EA2\\r\\r\"",
        port + " answer: \"7x\" after N ms",
        port + " not-a-reading: \"7x\"",
        port + " close: ab_close",
    };
    EXPECT_EQ(std::vector<std::string>(events.begin() + static_cast<ptrdiff_t>(requests), events.end()), expected);
}

// Answers that come after the limit, or are cut by it, are never taken as
// the next request's: the next request waits for a quiet line first.
TEST(BoardFaults, LateAndCutAnswersNeverBecomeTheNextReading)
{
    fake_board fake(TEST_DEVICE_FOLDER, "ttyUSB0");
    fake.pace_like_line();
    fake.respond_with(echo_channels([](int channel) {
        switch (channel) {
        case 1: return board_reply{"111\r\n", 320};                           // 20 ms late
        case 2: return board_reply{"222\r\n", 500};                           // 200 ms late
        case 3: return board_reply{"3", 250, {{"33\r\n", 330}}};              // cut by the limit
        case 4: return board_reply{"4", 100, {{"4", 290}, {"4\r\n", 310}}};  // its end after the limit
        default: return board_reply{};
        }
    }));
    open_board board(fake);
    ASSERT_EQ(board.status, AB_OK) << ab_last_error();
    for (int late = 1; late <= 4; ++late) {
        EXPECT_EQ(read_analog(*board, late).status, AB_NO_ANSWER) << late;
        const analog_result next = read_analog(*board, 5);
        ASSERT_EQ(next.status, AB_OK) << late << ": " << ab_last_error();
        EXPECT_EQ(next.reading.raw, 555) << late;
    }
}

// A scan whose answers are partly missing, cut or garbled: each spoils its
// own value alone, never shifting another's.
TEST(BoardFaults, ScanAnswerSpoilsOnlyItsOwnValue)
{
    fake_board fake(TEST_DEVICE_FOLDER, "ttyUSB0");
    fake.pace_like_line();
    fake.respond_with([](const std::string &line) {
        if (line == "EA1")
            return board_reply{};            // missing
        if (line == "EA3")
            return board_reply{"3x3\r\n"};  // garbled
        if (line == "EA4")
            return board_reply{"44"};        // cut: no line end
        if (line == "EB8")
            return board_reply{};            // missing
        if (line == "EB7")
            return board_reply{"z"};         // not a level
        if (line.compare(0, 2, "EA") == 0)
            return board_reply{std::string(3, line[2]) + "\r\n"};
        if (line.compare(0, 2, "EB") != 0)
            return board_reply{};  // an empty line, a question: nothing, as a sketch
        return board_reply{std::string(1, line == "EB4" ? '\1' : '\0')};
    });
    open_board board(fake);
    ASSERT_EQ(board.status, AB_OK) << ab_last_error();
    ab_scan_result result{};
    EXPECT_EQ(ab_scan(*board, &result), AB_NO_ANSWER);
    const ab_status analog[] = {AB_OK, AB_NO_ANSWER, AB_OK, AB_NOT_A_READING, AB_NO_ANSWER, AB_OK};
    const int values[] = {0, 0, 222, 0, 0, 555};
    for (int channel = 0; channel < AB_ANALOG_INPUTS; ++channel) {
        EXPECT_EQ(result.analog_status[channel], analog[channel]) << channel;
        EXPECT_EQ(result.analog[channel].raw, values[channel]) << channel;
    }
    const ab_status digital[] = {AB_OK, AB_OK, AB_NOT_A_READING, AB_NO_ANSWER};
    for (int channel = 0; channel < AB_DIGITAL_INPUTS; ++channel)
        EXPECT_EQ(result.digital_status[channel], digital[channel]) << channel;
    EXPECT_EQ(result.digital[1].raw, 1);
    const std::string why = ab_last_error();
    EXPECT_NE(why.find("analog input 3: the answer \"3x3\" is not a reading"), std::string::npos) << why;
    const ab_link link = link_of(*board);
    EXPECT_EQ(link.no_answer, 3u);
    EXPECT_EQ(link.not_a_reading, 2u);
}

// A board that sends without end: every request ends in bounded time.
TEST(BoardFaults, FloodingBoardCannotHoldARequest)
{
    fake_board fake(TEST_DEVICE_FOLDER, "ttyUSB0");
    std::atomic<bool> flooding = true, flooded = false;
    open_board board(fake);
    ASSERT_EQ(board.status, AB_OK) << ab_last_error();
    std::thread flood([&] {
        while (flooding)
            fake.send(std::string(64, 'x'));
        flooded = true;
    });
    for (int i = 0; i < 3; ++i) {
        analog_result got{};
        const long long took = ms_taken([&] { got = read_analog(*board, 0); });
        EXPECT_TRUE(got.status == AB_NO_ANSWER || got.status == AB_NOT_A_READING) << got.status;
        EXPECT_LT(took, 3 * 300 + 2000 + slow_machine_ms);
    }
    // The line stays full once the library stops reading: empty it through
    // the test's own end until the flood has stopped.
    flooding = false;
    while (!flooded) {
        pollfd waiting{fake.slave_fd(), POLLIN, 0};
        char sink[4096];
        if (poll(&waiting, 1, 50) > 0 && read(fake.slave_fd(), sink, sizeof sink) < 0)
            break;
    }
    flood.join();
}

// A board unplugged in the middle of an answer: no port at once, then at
// once for every request while it is gone, then used again (restarted,
// outputs off) once it is back.
TEST(BoardFaults, UnpluggedBoardIsNoPortThenUsedAgain)
{
    const std::set<int> fds_before = open_fds();
    auto fake = std::make_unique<fake_board>(TEST_DEVICE_FOLDER, "ttyUSB0");
    fake->respond_with(echo_channels([](int channel) { return board_reply{channel == 1 ? "1" : ""}; }));
    ab_options options = fake_board_options(5000);
    ab_board *board = nullptr;
    ASSERT_EQ(ab_open(fake->link_path().c_str(), &options, &board), AB_OK) << ab_last_error();
    ASSERT_EQ(ab_write_pwm(board, 2, 200), AB_OK);
    ASSERT_EQ(link_of(board).pwm[2], 200);

    std::thread unplug([&] {
        fake->wait_received(std::string("XI\rSA6200\rEA1\r").size(), 5000);
        usleep(100000);
        fake->hang_up();
    });
    analog_result got{};
    long long took = ms_taken([&] { got = read_analog(board, 1); });
    unplug.join();
    EXPECT_EQ(got.status, AB_NO_PORT) << ab_last_error();
    EXPECT_LT(took, 4000);  // well before the 5000 ms limit
    EXPECT_EQ(link_of(board).connected, 0);
    for (int i = 0; i < 3; ++i) {
        took = ms_taken([&] { EXPECT_EQ(ab_write_digital(board, 0, 1), AB_NO_PORT); });
        EXPECT_LT(took, 1000);
    }

    fake.reset();  // its link goes; a new board comes at the same name
    fake = std::make_unique<fake_board>(TEST_DEVICE_FOLDER, "ttyUSB0");
    fake->respond_with(echo_channels());
    ab_status status = AB_NO_PORT;
    for (int i = 0; i < 100 && status == AB_NO_PORT; ++i) {
        status = read_analog(board, 4).status;
        if (status == AB_NO_PORT)
            usleep(50000);
    }
    ASSERT_EQ(status, AB_OK) << ab_last_error();
    const ab_link link = link_of(board);
    EXPECT_EQ(link.opens, 2u);
    EXPECT_EQ(link.connected, 1);
    EXPECT_EQ(link.pwm[2], 0);
    EXPECT_GE(link.no_port, 4u);
    ab_close(board);
    fake.reset();
    EXPECT_EQ(open_fds(), fds_before);
}

}  // namespace
