// firmsim itself: what it refuses, how a firmware that stops the chip ends
// it, its commands and its report, and a clean stop.
#include <gtest/gtest.h>

#include "firmsim_process.h"

#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <iterator>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

const std::string program = FIRMSIM_PROGRAM;
const std::string folder = FIRMSIM_TEST_FOLDER;

std::string write_file(const std::string &name, const std::string &content)
{
    const std::string path = folder + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

// An Intel hex file of `code` at address 0.
std::string hex_image(const std::string &code)
{
    unsigned sum = static_cast<unsigned>(code.size());
    char record[16];
    std::string text;
    std::snprintf(record, sizeof record, ":%02X000000", static_cast<unsigned>(code.size()));
    text += record;
    for (unsigned char byte : code) {
        std::snprintf(record, sizeof record, "%02X", byte);
        text += record;
        sum += byte;
    }
    std::snprintf(record, sizeof record, "%02X\n", (0x100 - (sum & 0xff)) & 0xff);
    return text + record + ":00000001FF\n";
}

// Runs firmsim on a file that it must refuse: exit status 3 and a message
// that names the file.
void expect_refused(const std::string &path, const std::string &reason)
{
    firmsim_process sim(program, {path}, true);
    EXPECT_TRUE(sim.failed());
    EXPECT_EQ(sim.wait_exit(5000), 3) << path;
    EXPECT_NE(sim.output().find("cannot run " + path), std::string::npos) << sim.output();
    EXPECT_NE(sim.output().find(reason), std::string::npos) << sim.output();
}

TEST(FirmsimTool, RefusesWhatIsNoAvrImage)
{
    expect_refused(folder + "/missing.hex", "No such file");
    expect_refused(write_file("text.hex", "hello\n"), "not an AVR firmware image");
    expect_refused(write_file("empty.hex", ""), "not an AVR firmware image");
    expect_refused(folder, "not a file");
    expect_refused(FIRMSIM_PROGRAM, "not for the AVR");  // an ELF file of this machine
    expect_refused(write_file("checksum.hex", ":02000000FFCF00\n:00000001FF\n"), "bad checksum");
    expect_refused(write_file("cut.hex", ":02000000FFCF30\n"), "cut short");
    expect_refused(write_file("big.hex", ":02800000FFCFB0\n:00000001FF\n"), "beyond");
}

TEST(FirmsimTool, RefusesAnElfForAnotherAvr)
{
    std::ifstream elf(FIRMSIM_FIRMWARE_ELF, std::ios::binary);
    std::string image((std::istreambuf_iterator<char>(elf)), std::istreambuf_iterator<char>());
    ASSERT_GT(image.size(), 52u);
    image[36] = 6;  // e_flags: avr6, the ATmega2560's family
    expect_refused(write_file("mega.elf", image), "avr6");
    expect_refused(write_file("short.elf", image.substr(0, 40)), "cut short");
}

// The sketch's ELF runs as well as its hex: an analog reading, straight on
// the terminal.
TEST(FirmsimTool, RunsTheSketchElf)
{
    firmsim_process sim(program, {"--start-delay", "0ms", "--analog", "2=5000", FIRMSIM_FIRMWARE_ELF});
    ASSERT_FALSE(sim.failed());
    const int host = open(sim.slave_path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(host, 0);
    termios raw{};
    tcgetattr(host, &raw);
    cfmakeraw(&raw);
    tcsetattr(host, TCSANOW, &raw);
    ASSERT_TRUE(sim.wait_for("sim", 1, 20000));  // the sketch is up
    ASSERT_EQ(write(host, "EA2\r\r", 5), 5);
    std::string answer;
    char byte;
    pollfd readable{host, POLLIN, 0};
    while (answer.find('\n') == std::string::npos && poll(&readable, 1, 5000) == 1 && read(host, &byte, 1) == 1)
        answer.push_back(byte);
    EXPECT_EQ(answer, "1023\r\n");
    close(host);
}

TEST(FirmsimTool, RefusesBadOptions)
{
    const std::string image = write_file("loop.hex", hex_image("\xff\xcf"));  // rjmp .-2
    for (const std::vector<std::string> &arguments :
         std::vector<std::vector<std::string>>{{},
                                               {image, image},
                                               {"--analog", "6=100", image},
                                               {"--analog", "0=5001", image},
                                               {"--digital", "1=1", image},
                                               {"--digital", "2=2", image},
                                               {"--speed", "0", image},
                                               {"--start-delay", "-1ms", image},
                                               {"--start-delay", "500", image},  // which unit?
                                               {"--link", folder + "/no-folder/ttyUSB0", image},
                                               {"--bogus", image}}) {
        firmsim_process sim(program, arguments, true);
        EXPECT_EQ(sim.wait_exit(5000), 2) << (arguments.empty() ? "" : arguments[0]);
        EXPECT_NE(sim.output().find("firmsim --help"), std::string::npos) << sim.output();
    }
}

TEST(FirmsimTool, HelpsWithAnExampleWhosePathsExist)
{
    firmsim_process sim(program, {"--help"});
    EXPECT_EQ(sim.wait_exit(5000), 0);
    const std::string text = sim.output();
    ASSERT_NE(text.find("Usage: firmsim"), std::string::npos) << text;
    const size_t example = text.find("\n  firmsim --link ");
    ASSERT_NE(example, std::string::npos) << text;
    const std::string line = text.substr(example + 3, text.find('\n', example + 3) - example - 3);
    const std::string link = line.substr(std::string("firmsim --link ").size(), line.find(' ', 15) - 15);
    const std::string firmware = line.substr(line.rfind(' ') + 1);
    struct stat info {};
    EXPECT_EQ(stat(link.substr(0, link.rfind('/')).c_str(), &info), 0) << "the link's folder: " << line;
    EXPECT_TRUE(S_ISDIR(info.st_mode)) << line;
    EXPECT_EQ(access(firmware.c_str(), R_OK), 0) << "the firmware: " << line;
    EXPECT_NE(text.find("--port " + link), std::string::npos) << "how a host finds it: " << text;
}

// The chip starts once a host holds the terminal; these firmwares then end
// the run with status 4 and say what happened.
void expect_chip_stops(const std::string &code, const std::string &reason)
{
    firmsim_process sim(program, {"--start-delay", "0s", write_file("stop.hex", hex_image(code))}, true);
    ASSERT_FALSE(sim.failed());
    const int host = open(sim.slave_path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(host, 0);
    EXPECT_EQ(sim.wait_exit(5000), 4);
    close(host);
    EXPECT_NE(sim.output().find(reason), std::string::npos) << sim.output();
}

TEST(FirmsimTool, FirmwareThatStopsTheChipEndsTheRun)
{
    expect_chip_stops(std::string("\xf8\x94\x88\x95", 4), "halted the chip");            // cli; sleep
    expect_chip_stops(std::string("\xe0\xe0\xf0\xe7\x09\x94", 6), "crashed the chip");  // ijmp past the flash
}

TEST(FirmsimTool, CommandsReportAndCleanStop)
{
    const std::string link = folder + "/ttyUSB0";
    unlink(link.c_str());
    firmsim_process sim(program, {"--link", link, "--analog", "all=1200", "--digital", "7=1",
                                  write_file("loop.hex", hex_image("\xff\xcf"))});
    ASSERT_FALSE(sim.failed());
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(sim.slave_path(), target);

    auto fields = sim.report();
    EXPECT_EQ(fields["chip"], "waiting");  // nobody has opened the port yet
    EXPECT_EQ(fields["host"], "closed");
    EXPECT_EQ(fields["a5"], "1200");
    EXPECT_EQ(fields["in7"], "1");
    EXPECT_EQ(fields["in8"], "0");
    EXPECT_EQ(fields["d13"], "-");
    EXPECT_EQ(fields["pwm9"], "-");

    EXPECT_EQ(sim.command("adc 3 4999"), "ok");
    EXPECT_EQ(sim.command("pin 7 0"), "ok");
    EXPECT_EQ(sim.command("speed 2"), "ok");
    fields = sim.report();
    EXPECT_EQ(fields["a3"], "4999");
    EXPECT_EQ(fields["in7"], "0");
    for (const char *bad : {"adc 6 100", "adc 0 5001", "adc 0", "pin 1 1", "pin 2 2", "speed 0", "speed fast",
                            "halt now", "jump"})
        EXPECT_EQ(sim.command(bad).rfind("error: ", 0), 0u) << bad;
    EXPECT_EQ(sim.command(std::string(300, 'x')), "error: line too long");

    EXPECT_EQ(sim.stop(), 0);
    EXPECT_NE(sim.output().find("report chip=waiting"), std::string::npos) << sim.output();
    struct stat info{};
    EXPECT_NE(lstat(link.c_str(), &info), 0);  // the link went with it
}

}  // namespace
