// Boards shared: several boards in one program, one board among threads,
// closed while in use, claimed against another user, and across a fork.
#include <sys/wait.h>
#include <unistd.h>
#include <thread>
#include <vector>

#include "board_helpers.h"

namespace {

sketch_pins pins_reading(uint16_t value)
{
    sketch_pins pins;
    for (uint16_t &analog : pins.analog)
        analog = value;
    return pins;
}

// Each board in its own thread, at the line's pace: every reading is its
// own board's.
TEST(BoardSharing, SeveralBoardsInParallelEachGetTheirOwnReadings)
{
    constexpr int boards = 4;
    std::vector<std::unique_ptr<fake_board>> fakes;
    std::vector<std::unique_ptr<open_board>> opened;
    for (int i = 0; i < boards; ++i) {
        fakes.push_back(std::make_unique<fake_board>(TEST_DEVICE_FOLDER, "ttyACM" + std::to_string(i)));
        fakes.back()->pace_like_line();
        fakes.back()->answer_as_sketch(pins_reading(static_cast<uint16_t>(100 + i)));
        opened.push_back(std::make_unique<open_board>(*fakes.back()));
        ASSERT_EQ(opened.back()->status, AB_OK) << ab_last_error();
    }
    std::vector<int> wrong(boards, 0);
    std::vector<std::thread> threads;
    for (int i = 0; i < boards; ++i)
        threads.emplace_back([&, i] {
            for (int k = 0; k < 20; ++k) {
                const analog_result got = read_analog(**opened[i], k % AB_ANALOG_INPUTS);
                if (got.status != AB_OK || got.reading.raw != 100 + i)
                    ++wrong[i];
            }
        });
    for (std::thread &thread : threads)
        thread.join();
    for (int i = 0; i < boards; ++i)
        EXPECT_EQ(wrong[i], 0) << "board " << i;
}

// Threads on one board take turns: every answer goes to its own request.
TEST(BoardSharing, ThreadsOnOneBoardTakeTurns)
{
    fake_board fake(TEST_DEVICE_FOLDER, "ttyUSB0");
    fake.pace_like_line();
    sketch_pins pins;
    for (int channel = 0; channel < 6; ++channel)
        pins.analog[channel] = static_cast<uint16_t>(10 * channel);
    pins.input_high[7] = true;
    fake.answer_as_sketch(pins);
    open_board board(fake);
    ASSERT_EQ(board.status, AB_OK) << ab_last_error();
    std::atomic<int> wrong = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([&, t] {
            for (int k = 0; k < 15; ++k) {
                if (t == 2) {
                    ab_reading reading{};
                    if (ab_read_digital(*board, 2, &reading) != AB_OK || reading.raw != 1)
                        ++wrong;
                    if (ab_write_pwm(*board, k % 4, k) != AB_OK)
                        ++wrong;
                    continue;
                }
                const int channel = (k + t) % AB_ANALOG_INPUTS;
                const analog_result got = read_analog(*board, channel);
                if (got.status != AB_OK || got.reading.raw != 10 * channel)
                    ++wrong;
            }
        });
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(link_of(*board).requests, 60u);
}

// ab_close waits for the call in progress; a call waiting for the board is
// turned away once it is closed; a call after the close is refused.
TEST(BoardSharing, CloseWaitsForTheCallInProgress)
{
    fake_board fake(TEST_DEVICE_FOLDER, "ttyUSB0");  // silent
    ab_board *board = nullptr;
    const ab_options options = fake_board_options(1000);
    ASSERT_EQ(ab_open(fake.link_path().c_str(), &options, &board), AB_OK) << ab_last_error();
    ab_status in_progress = AB_OK, waiting = AB_OK;
    fake.clear_received();  // the open's questions
    std::thread first([&] { in_progress = read_analog(board, 0).status; });
    ASSERT_TRUE(fake.wait_received(std::string("\rEA0\r\r").size(), 2000));
    std::thread second([&] { waiting = read_analog(board, 1).status; });
    usleep(100000);
    const long long took = ms_taken([&] { ab_close(board); });
    first.join();
    second.join();
    EXPECT_EQ(in_progress, AB_NO_ANSWER);
    EXPECT_EQ(waiting, AB_BAD_ARGUMENT);
    EXPECT_GE(took, 500);
    EXPECT_LT(took, 1000 + slow_machine_ms);
    EXPECT_EQ(fake.received(), "\rEA0\r\r");  // the waiting call sent nothing
    ab_reading reading{};
    EXPECT_EQ(ab_read_analog(board, 0, &reading), AB_BAD_ARGUMENT);
    EXPECT_EQ(ab_port(board), nullptr);
    ab_close(board);  // twice: nothing
}

// One user at a time, while the board is open: a second board object (the
// same claim another program meets) is turned away, until the first closes.
TEST(BoardSharing, ClaimKeepsASecondUserOut)
{
    fake_board fake(TEST_DEVICE_FOLDER, "ttyUSB0");
    fake.answer_as_sketch(pins_reading(321));
    ab_board *first = nullptr, *second = nullptr;
    const ab_options options = fake_board_options();
    ASSERT_EQ(ab_open(fake.link_path().c_str(), &options, &first), AB_OK) << ab_last_error();
    EXPECT_EQ(ab_open(fake.link_path().c_str(), &options, &second), AB_PORT_BUSY);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(std::string(ab_last_error()).find(fake.link_path()), std::string::npos) << ab_last_error();
    EXPECT_EQ(read_analog(first, 0).reading.raw, 321);
    ab_close(first);
    ASSERT_EQ(ab_open(fake.link_path().c_str(), &options, &second), AB_OK) << ab_last_error();
    EXPECT_EQ(read_analog(second, 0).reading.raw, 321);
    ab_close(second);
}

// A board belongs to the process that opened it: a forked child neither
// uses it nor frees it for others, and once the parent closes it the device
// is free though the child still holds its copy.
TEST(BoardSharing, ForkedChildLeavesTheBoardToItsParent)
{
    fake_board fake(TEST_DEVICE_FOLDER, "ttyUSB0");
    fake.answer_as_sketch(pins_reading(654));
    ab_board *board = nullptr;
    const ab_options options = fake_board_options();
    ASSERT_EQ(ab_open(fake.link_path().c_str(), &options, &board), AB_OK) << ab_last_error();
    int tried[2], go_on[2];
    ASSERT_EQ(pipe(tried), 0);
    ASSERT_EQ(pipe(go_on), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ab_reading reading{};
        ab_link link{};
        const char verdict = ab_read_analog(board, 0, &reading) == AB_PORT_BUSY &&
                                     ab_write_pwm(board, 0, 1) == AB_PORT_BUSY &&
                                     ab_link_state(board, &link) == AB_PORT_BUSY
                                 ? 'y'
                                 : 'n';
        (void)!write(tried[1], &verdict, 1);
        char byte;
        (void)!read(go_on[0], &byte, 1);  // holds its copy of the descriptor until then
        _exit(0);
    }
    char verdict = 0;
    ASSERT_EQ(read(tried[0], &verdict, 1), 1);
    EXPECT_EQ(verdict, 'y');
    EXPECT_EQ(read_analog(board, 0).reading.raw, 654);
    ab_board *other = nullptr;
    EXPECT_EQ(ab_open(fake.link_path().c_str(), &options, &other), AB_PORT_BUSY);
    ab_close(board);
    EXPECT_EQ(ab_open(fake.link_path().c_str(), &options, &other), AB_OK) << ab_last_error();
    ab_close(other);
    (void)!write(go_on[1], "x", 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(fake.received().find("SA"), std::string::npos);
    for (int fd : {tried[0], tried[1], go_on[0], go_on[1]})
        close(fd);
}

}  // namespace
