// ea, ead and eb against boards that misbehave: silent, late, never ending a
// line, flooding the line, hanging up. Each gives a neutral result in bounded
// time.
#include <atomic>
#include <climits>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <utility>

#include "driver_session.h"
#include "request_helpers.h"

namespace {

// Requests that end by the answer limit (1000 ms after the write).
DRIVER_TEST_WITHIN(InputFaults, SilentLateAndUnendedAnswers, 60000)
{
    // Too late: 0 after the limit, and the late answer, once it has
    // arrived, is drained by the next request instead of being taken.
    board.respond_with(answer_all("111\r", 1300));
    int raw = -1;
    double took = time_ms([&] { raw = ea(1); });
    EXPECT_EQ(raw, 0);
    EXPECT_GE(took, 1000.0);
    EXPECT_LT(took, slow_machine_bound_ms);
    board.respond_with(answer_all("222\r"));
    ASSERT_TRUE(wait_waiting_for_driver(board, 4, 5000));
    EXPECT_EQ(ea(2), 222);

    board.respond_with(nullptr);
    double volts = -1.0;
    took = time_ms([&] { volts = ead(3); });
    EXPECT_EQ(volts, 0.0);
    EXPECT_GE(took, 1000.0);
    EXPECT_LT(took, slow_machine_bound_ms);

    int level = -1;
    took = time_ms([&] { level = eb(0); });
    EXPECT_EQ(level, 0);
    EXPECT_GE(took, 1000.0);
    EXPECT_LT(took, slow_machine_bound_ms);

    // No line end: what came within the limit is no answer.
    board.respond_with(answer_all(" 42 "));
    took = time_ms([&] { raw = ea(3); });
    EXPECT_EQ(raw, 0);
    EXPECT_GE(took, 1000.0);
    EXPECT_LT(took, slow_machine_bound_ms);
}

// At the line's pace, an answer later than its limit, or cut by it, is
// neither this request's reading nor the next one's: channel 0 answers
// late, channel 1 and the digital input (low) at once.
DRIVER_TEST_WITHIN(InputFaults, LateAndCutAnswersAreNeverTaken, 120000)
{
    board.pace_like_line(9600);
    const double channel_1_volts = 100 * 5.0 / 1024.0;
    std::atomic<int> late_ms{0};
    std::atomic<bool> cut{false};
    board.respond_with([&](const std::string &line) {
        if (line == "EA0")
            return cut ? board_reply{"6", 995, {{"00\r\n", 1030}}} : board_reply{"600\r\n", late_ms};
        if (line == "EA1")
            return board_reply{"100\r\n"};
        if (line == "EB2")
            return board_reply{std::string(1, '\0')};
        return board_reply{};
    });
    for (int delay : {990, 1000, 1005, 1015}) {
        late_ms = delay;
        for (int round = 0; round < 3; ++round) {
            const int raw = ea(0);
            EXPECT_TRUE(raw == 600 || raw == 0) << delay << " ms: " << raw;
            EXPECT_EQ(eb(0), 0) << delay << " ms, round " << round;
            ea(0);
            EXPECT_EQ(ead(1), channel_1_volts) << delay << " ms, round " << round;
            EXPECT_EQ(ea(1), 100) << delay << " ms, round " << round;
        }
    }
    // The first digit within the limit, the rest after it.
    cut = true;
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(ea(0), 0) << "round " << round;
        EXPECT_EQ(ea(1), 100) << "round " << round;
        EXPECT_EQ(ea(0), 0) << "round " << round;
        EXPECT_EQ(eb(0), 0) << "round " << round;
    }
}

// Plays a board that writes `pattern` without pause until stopped.
class flood {
public:
    flood(fake_board &board, std::string pattern) : board_(board)
    {
        std::string chunk;
        while (chunk.size() < 256)
            chunk += pattern;
        writer_ = std::thread([this, chunk] {
            while (!stop_)
                board_.send(chunk);
            done_ = true;
        });
    }
    ~flood()
    {
        stop_ = true;
        // The writer may be blocked on a full line: read on the driver's side
        // until it notices.
        char sink[4096];
        while (!done_) {
            pollfd p{board_.slave_fd(), POLLIN, 0};
            if (poll(&p, 1, 10) > 0)
                (void)!read(board_.slave_fd(), sink, sizeof sink);
        }
        writer_.join();
        // What the line still holds would be taken for the next answers.
        pollfd p{board_.slave_fd(), POLLIN, 0};
        while (poll(&p, 1, 100) > 0)
            (void)!read(board_.slave_fd(), sink, sizeof sink);
    }

private:
    fake_board &board_;
    std::atomic<bool> stop_{false}, done_{false};
    std::thread writer_;
};

DRIVER_TEST_WITHIN(InputFaults, FloodingBoard, 60000)
{
    {
        // Lines without pause: the drain gives up after its limit and the
        // answer is whatever line (or piece of one) comes next.
        flood lines(board, "123\r");
        int raw = -1;
        const double took = time_ms([&] { raw = ea(3); });
        EXPECT_TRUE(raw == 123 || raw == 23 || raw == 3 || raw == 0) << raw;
        EXPECT_LT(took, slow_machine_bound_ms);
    }
    // Bytes that are never a line end, or line ends alone: eb takes the
    // first byte that is not a line end; ea meets its drain limit, then
    // its answer limit.
    for (const auto &[pattern, expected_level] : {std::pair{"x", 1}, std::pair{"\r\n", 0}}) {
        flood bytes(board, pattern);
        int level = -1;
        double took = time_ms([&] { level = eb(0); });
        EXPECT_EQ(level, expected_level) << pattern;
        EXPECT_LT(took, slow_machine_bound_ms);
        int raw = -1;
        took = time_ms([&] { raw = ea(3); });
        EXPECT_EQ(raw, 0);
        EXPECT_GE(took, 1000.0);
        EXPECT_LT(took, slow_machine_bound_ms);
    }
    // Once the flood stops the line works again.
    board.respond_with(answer_all("512\r"));
    EXPECT_EQ(ea(3), 512);
}

DRIVER_TEST_WITHIN(InputFaults, BoardHangsUpInTheMiddleOfAnAnswer, 60000)
{
    // The board sends half an answer, then vanishes once the driver has
    // read those bytes.
    std::thread vanish([&] {
        if (!board.wait_received(5, 10000))
            return;
        board.send("51");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        for (int i = 0; i < 200 && waiting_for_driver(board) != 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        board.hang_up();
    });
    int raw = -1;
    double took = time_ms([&] { raw = ea(3); });
    vanish.join();
    EXPECT_EQ(raw, 0);  // the line never ended: no answer
    EXPECT_LT(took, slow_machine_bound_ms);

    // Afterwards: neutral results, bounded time.
    double volts = -1.0;
    took = time_ms([&] { volts = ead(3); });
    EXPECT_EQ(volts, 0.0);
    EXPECT_LT(took, slow_machine_bound_ms);
    took = time_ms([&] { raw = eb(1); });
    EXPECT_EQ(raw, 0);
    EXPECT_LT(took, slow_machine_bound_ms);
    EXPECT_EQ(sa(0, 255), 127);
    EXPECT_EQ(rsa(0), 255);
    EXPECT_EQ(sb(0, 1), 1);
}

}  // namespace
