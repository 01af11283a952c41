// ports against a fake /sys and /dev laid out as the kernel and udev lay them
// out, with the known ids compiled in from the project's list.
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "fake_sysfs.h"
#include "port_listing.h"
#include "shell.h"
#include "shell_output.h"

namespace {

namespace fs = std::filesystem;

const std::string ch340_by_id = "/dev/serial/by-id/usb-1a86_USB_Serial-if00-port0";

class Ports : public ::testing::Test, protected shell_output {
protected:
    // The CH340 with its stable name, a board of unknown ids, the machine's
    // UART and a console.
    void usual_machine()
    {
        sys_.usb_tty("ttyUSB0", "1-2", "1a86", "7523", "ch341", "USB Serial", true);
        sys_.usb_tty("ttyACM10", "1-3", "abcd", "0001", "cdc_acm", "Bo\x1b[2Jard");
        sys_.usb_tty("ttyACM2", "1-4", "2341", "0043", "cdc_acm");
        sys_.uart("ttyS0");
        sys_.console("tty1");
        sys_.by_id(fs::path(ch340_by_id).filename(), "ttyUSB0");
    }

    fake_sysfs sys_;
    const fs::path &root_ = sys_.root();
};

TEST_F(Ports, KnownIdsMarkedStableNameToUseUartAndConsoleLeftOut)
{
    usual_machine();
    // The command as a user types it, with the list the shell finds itself.
    EXPECT_TRUE(run_line("ports --root " + root_.string())) << err();
    EXPECT_EQ(err(), "");
    const std::vector<std::string> lines = lines_of(out());
    ASSERT_EQ(lines.size(), 4u) << out();
    // Counted as people count: 2 before 10; a maker's every product marked.
    EXPECT_EQ(lines[0], "* /dev/ttyACM2  usb 2341:0043  [Arduino board]  driver cdc_acm  -> "
                        "ARDUINODRV_PORT=/dev/ttyACM2  arduinodrv-shell --port /dev/ttyACM2");
    // What the device says of itself reaches the terminal without its controls.
    EXPECT_EQ(lines[1], "  /dev/ttyACM10  usb abcd:0001  product \"Bo?[2Jard\"  driver cdc_acm  -> "
                        "ARDUINODRV_PORT=/dev/ttyACM10  arduinodrv-shell --port /dev/ttyACM10");
    // The stable name is the one to use: it survives replugging.
    EXPECT_EQ(lines[2], "* /dev/ttyUSB0  usb 1a86:7523  [CH340 USB-serial chip]  product \"USB Serial\"  driver ch341  " +
                            ch340_by_id + "  -> ARDUINODRV_PORT=" + ch340_by_id + "  arduinodrv-shell --port " +
                            ch340_by_id);
    EXPECT_EQ(lines[3], "* its USB ids are a board's or a usual USB-serial chip's");
}

TEST_F(Ports, NoSerialDeviceExitsOneWithAHint)
{
    EXPECT_FALSE(run_line("ports --root " + root_.string()));
    EXPECT_EQ(out(), "");
    EXPECT_NE(err().find("ports: no USB serial device"), std::string::npos) << err();
    EXPECT_FALSE(run_line("ports /dev/ttyUSB0"));
    EXPECT_NE(err().find("ports: usage"), std::string::npos) << err();
    EXPECT_TRUE(run_line("help ports"));
    EXPECT_NE(out().find("ports\n      the serial devices"), std::string::npos) << out();
}

}  // namespace
