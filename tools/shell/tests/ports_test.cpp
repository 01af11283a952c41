// ports against a fake /sys and /dev laid out as the kernel and udev lay them
// out, with the project's own list of known ids and with broken ones.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "port_listing.h"
#include "shell.h"
#include "shell_output.h"

namespace {

namespace fs = std::filesystem;

const std::string ch340_by_id = "/dev/serial/by-id/usb-1a86_USB_Serial-if00-port0";

void write(const fs::path &file, const std::string &text)
{
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    for (size_t start = 0; start < text.size();) {
        const size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}

class Ports : public ::testing::Test, protected shell_output {
protected:
    void SetUp() override
    {
        char name[] = "/tmp/ports_test.XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        root_ = name;
    }
    void TearDown() override { fs::remove_all(root_); }

    // A tty of a USB device with `ids`, its interface bound to `driver`; a
    // usb-serial driver adds a port folder between interface and tty.
    void usb_tty(const std::string &name, const std::string &bus_path, const std::string &vendor,
                 const std::string &product, const std::string &driver, const std::string &product_name = "",
                 bool port_folder = false)
    {
        const fs::path device = root_ / "sys/devices/pci0000:00/usb1" / bus_path;
        write(device / "idVendor", vendor + "\n");
        write(device / "idProduct", product + "\n");
        if (!product_name.empty())
            write(device / "product", product_name + "\n");
        const fs::path interface = device / (bus_path + ":1.0");
        write(interface / "bInterfaceNumber", "00\n");
        fs::create_directories(root_ / "sys/bus/usb/drivers" / driver);
        fs::create_directory_symlink(root_ / "sys/bus/usb/drivers" / driver, interface / "driver");
        const fs::path tty = port_folder ? interface / name : interface;
        fs::create_directories(tty);
        class_tty(name, tty);
    }
    void class_tty(const std::string &name, const fs::path &device)
    {
        const fs::path entry = root_ / "sys/class/tty" / name;
        fs::create_directories(entry);
        fs::create_directory_symlink(fs::relative(device, entry), entry / "device");
    }
    // The CH340 with its stable name, a board of unknown ids, the machine's
    // UART and a console.
    void usual_machine()
    {
        usb_tty("ttyUSB0", "1-2", "1a86", "7523", "ch341", "USB Serial", true);
        usb_tty("ttyACM10", "1-3", "abcd", "0001", "cdc_acm", "Bo\x1b[2Jard");
        usb_tty("ttyACM2", "1-4", "2341", "0043", "cdc_acm");
        const fs::path uart = root_ / "sys/devices/platform/serial8250/tty/ttyS0";
        fs::create_directories(uart);
        class_tty("ttyS0", uart);
        fs::create_directories(root_ / "sys/class/tty/tty1");
        fs::create_directories(root_ / "dev/serial/by-id");
        fs::create_symlink("../../ttyUSB0", root_ / ("dev" + ch340_by_id.substr(4)));
    }
    int print(const std::vector<std::string> &usb_ids) { return print_ports(shell_out, shell_err, root_, usb_ids); }

    fs::path root_;
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

TEST_F(Ports, AListThatCannotBeReadIsNamedAndTheDevicesListedUnmarked)
{
    usual_machine();
    const fs::path ids = root_ / "usb_ids.txt";
    const struct {
        std::string content;
        std::string error;
    } cases[] = {
        {"# ids\n\n2341 *\n", ids.string() + ":3: not 'vendor product description'"},
        {"1a86 7523 CH340\n1A86 5523 CH341\n", ids.string() + ":2: not"},
        {"2341 ZZZZ board\n", ":1: not"},
        {"2341 * \xff board\n", ids.string() + ": cannot read the known USB ids: not UTF-8 text"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.content);
        write(ids, c.content);
        EXPECT_EQ(print({ids.string()}), 1);
        EXPECT_NE(err().find(c.error), std::string::npos) << err();
        EXPECT_EQ(out().find('*'), std::string::npos) << out();
        EXPECT_EQ(lines_of(out()).size(), 3u) << out();
        clear();
    }
    // None there: every place tried is named; a folder is not the list.
    EXPECT_EQ(print({root_.string(), "/nowhere/usb_ids.txt"}), 1);
    EXPECT_NE(err().find("not installed; tried " + root_.string() + ", /nowhere/usb_ids.txt: no device is marked"),
              std::string::npos)
        << err();
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
