// check against boards played on a pseudo-terminal: one that answers, one
// that stays silent, one that is not there.
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "device_check.h"
#include "fake_board.h"
#include "shell.h"

namespace {

class Check : public ::testing::Test {
protected:
    void SetUp() override
    {
        mkdir(TEST_DEVICE_FOLDER, 0755);
        out_ = open_memstream(&text_, &size_);
        shell_out = out_;
        shell_err = out_;
    }
    void TearDown() override
    {
        shell_out = stdout;
        shell_err = stderr;
        std::fclose(out_);
        std::free(text_);
    }
    std::string report()
    {
        std::fflush(out_);
        return std::string(text_, size_);
    }

private:
    FILE *out_ = nullptr;
    char *text_ = nullptr;
    size_t size_ = 0;
};

TEST_F(Check, ABoardThatAnswersPasses)
{
    fake_board board(TEST_DEVICE_FOLDER, "ttyUSB0");
    board.respond_with([](const std::string &line) {
        return board_reply{line == "EA0" ? "512\r\n" : "", 0};
    });
    EXPECT_TRUE(run_line(std::string("check ") + board.link_path() + " --no-wait"));
    const std::string text = report();
    EXPECT_NE(text.find("-> " + board.slave_path()), std::string::npos) << text;
    EXPECT_NE(text.find("this user may read and write it"), std::string::npos) << text;
    EXPECT_NE(text.find("\"512\" after "), std::string::npos) << text;
    EXPECT_NE(text.find("EA0 = 2.5 V"), std::string::npos) << text;
    EXPECT_NE(text.find("result: the board answers"), std::string::npos) << text;
    EXPECT_EQ(board.received(), "EA0\r");
}

TEST_F(Check, ASilentBoardGetsAFix)
{
    fake_board board(TEST_DEVICE_FOLDER, "ttyUSB1");
    EXPECT_FALSE(run_line(std::string("check ") + board.link_path() + " --no-wait"));
    const std::string text = report();
    EXPECT_NE(text.find("none within 3000 ms"), std::string::npos) << text;
    EXPECT_NE(text.find("most likely fix: try again without --no-wait"), std::string::npos) << text;
}

TEST_F(Check, AMissingDeviceNamesTheOnesThatExist)
{
    fake_board other(TEST_DEVICE_FOLDER, "ttyACM3");
    const std::string missing = std::string(TEST_DEVICE_FOLDER) + "/ttyUSB7";
    EXPECT_FALSE(run_line("check " + missing));
    const std::string text = report();
    EXPECT_NE(text.find(missing + " does not exist"), std::string::npos) << text;
    EXPECT_NE(text.find("most likely fix: the board seems to be " + other.link_path()), std::string::npos)
        << text;
}

TEST_F(Check, AStaleLinkIsNamed)
{
    const std::string link = std::string(TEST_DEVICE_FOLDER) + "/ttyUSB5";
    std::remove(link.c_str());
    ASSERT_EQ(symlink("/dev/pts/nonexistent-pty", link.c_str()), 0);
    EXPECT_FALSE(run_line("check " + link));
    std::remove(link.c_str());
    EXPECT_NE(report().find("the link is stale"), std::string::npos);
}

TEST(CheckDevice, FollowsTheLibraryBuildsFolder)
{
    EXPECT_EQ(default_check_device("/usr/lib/arduinodrv/ttyUSB2/libarduinodrv.so"), "/dev/ttyUSB2");
    EXPECT_EQ(default_check_device("/opt/x/ttyACM0/libarduinodrv.so"), "/dev/ttyACM0");
    EXPECT_EQ(default_check_device("build/demo/lib/libarduinodrv.so"), "/dev/ttyUSB0");
}

}  // namespace
