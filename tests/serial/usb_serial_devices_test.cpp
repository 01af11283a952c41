// The serial devices and the likely boards among them, listed from a fake
// /sys and /dev; the known ids are the project's own list.
#include <cerrno>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "fake_sysfs.h"
#include "serial/usb_serial_devices.h"

namespace {

namespace fs = std::filesystem;

std::vector<std::string> names_of(const usb_serial_listing &listing)
{
    std::vector<std::string> names;
    for (const usb_serial_device &device : listing.devices)
        names.push_back(device.name);
    return names;
}

std::string named(const std::vector<usb_serial_device> &devices, size_t size)
{
    std::vector<char> text(size + 1, '#');
    name_devices(devices, text.data(), size);
    EXPECT_EQ(text[size], '#') << "written past the end";
    return size == 0 ? "" : text.data();
}

class UsbSerialDevices : public ::testing::Test {
protected:
    fake_sysfs sys_;
    const std::string root_ = sys_.root().string();
};

TEST_F(UsbSerialDevices, KnownIdsByVendorOrExactProductAreTheLikelyBoards)
{
    sys_.usb_tty("ttyACM0", "1-1", "2341", "0043", "cdc_acm", "Uno");  // the maker's: any product
    sys_.usb_tty("ttyUSB10", "1-2", "1A86", "7523", "ch341", "", true);  // the chip's exact ids
    sys_.usb_tty("ttyUSB2", "1-3", "0403", "6001", "ftdi_sio", "", true);
    sys_.usb_tty("ttyACM1", "1-4", "abcd", "0001", "cdc_acm");  // not known
    sys_.usb_tty("ttyUSB3", "1-5", "1a86", "5524", "ch341", "", true);  // the chip's maker, another product
    sys_.uart("ttyS0");
    sys_.console("ptmx");
    sys_.by_id("usb-1a86_USB_Serial-if00-port0", "ttyUSB10");

    const usb_serial_listing all = serial_devices(root_.c_str());
    EXPECT_EQ(all.error, 0);
    EXPECT_EQ(names_of(all), (std::vector<std::string>{"ttyACM0", "ttyACM1", "ttyS0", "ttyUSB2", "ttyUSB3", "ttyUSB10"}));
    const usb_serial_device &uart = all.devices[2];
    EXPECT_FALSE(uart.on_usb);
    EXPECT_EQ(uart.vendor, "");
    EXPECT_EQ(uart.known, nullptr);

    const usb_serial_listing likely = likely_board_devices(root_.c_str());
    ASSERT_EQ(names_of(likely), (std::vector<std::string>{"ttyACM0", "ttyUSB2", "ttyUSB10"}));
    const usb_serial_device &board = likely.devices[0], &chip = likely.devices[2];
    EXPECT_EQ(board.path, root_ + "/dev/ttyACM0");
    EXPECT_STREQ(board.known->description, "Arduino board");
    EXPECT_EQ(board.product_name, "Uno");
    EXPECT_EQ(board.driver, "cdc_acm");
    EXPECT_EQ(chip.vendor + ":" + chip.product, "1a86:7523");
    EXPECT_STREQ(chip.known->description, "CH340 USB-serial chip");
    EXPECT_EQ(chip.driver, "ch341");
    EXPECT_EQ(chip.by_id, std::vector<std::string>{"usb-1a86_USB_Serial-if00-port0"});

    const std::string ttyacm0 = root_ + "/dev/ttyACM0", ttyusb2 = root_ + "/dev/ttyUSB2";
    const std::string all_three = ttyacm0 + ", " + ttyusb2 + ", " + root_ + "/dev/ttyUSB10";
    EXPECT_EQ(named(likely.devices, all_three.size() + 1), all_three);
    // What does not fit gives way whole, never a path cut in two.
    EXPECT_EQ(named(likely.devices, all_three.size()), ttyacm0 + ", " + ttyusb2 + ", ...");
    EXPECT_EQ(named(likely.devices, ttyacm0.size() + 6), ttyacm0 + ", ...");
    EXPECT_EQ(named(likely.devices, ttyacm0.size() + 5), "...");
    EXPECT_EQ(named(likely.devices, 3), "");
    EXPECT_EQ(named(likely.devices, 0), "");
    EXPECT_EQ(named({}, 10), "");
}

TEST_F(UsbSerialDevices, HalfThereLoopsAndPlantedFilesLeaveTheRestListed)
{
    // Going away: no idProduct. The maker's "*" still knows it; an exact
    // product cannot.
    sys_.usb_tty("ttyACM0", "1-1", "2341", "", "cdc_acm");
    sys_.usb_tty("ttyUSB0", "1-2", "1a86", "", "ch341", "", true);
    // A device link that leads round in a loop is no device.
    fs::create_directories(sys_.root() / "sys/class/tty/ttyUSB1");
    fs::create_symlink("device", sys_.root() / "sys/class/tty/ttyUSB1/device");
    // A fifo is never opened (it would block), a name longer than a page is none.
    const fs::path board = sys_.usb_tty("ttyACM1", "1-3", "239a", "800b", "cdc_acm");
    ASSERT_EQ(mkfifo((board / "manufacturer").c_str(), 0600), 0);
    fake_sysfs::write(board / "product", std::string(5000, 'x'));

    const usb_serial_listing all = serial_devices(root_.c_str());
    EXPECT_EQ(all.error, 0);
    ASSERT_EQ(names_of(all), (std::vector<std::string>{"ttyACM0", "ttyACM1", "ttyUSB0"}));
    EXPECT_EQ(all.devices[0].product, "");
    ASSERT_NE(all.devices[0].known, nullptr);
    EXPECT_STREQ(all.devices[0].known->description, "Arduino board");
    EXPECT_EQ(all.devices[2].known, nullptr);
    EXPECT_EQ(all.devices[1].maker, "");
    EXPECT_EQ(all.devices[1].product_name, "");
    EXPECT_EQ(names_of(likely_board_devices(root_.c_str())), (std::vector<std::string>{"ttyACM0", "ttyACM1"}));
}

TEST_F(UsbSerialDevices, NoSysfsIsAnEmptyListingThatSaysWhy)
{
    EXPECT_EQ(serial_devices(root_.c_str()).error, ENOENT);
    const usb_serial_listing none = likely_board_devices((root_ + "/nowhere").c_str());
    EXPECT_EQ(none.error, ENOENT);
    EXPECT_TRUE(none.devices.empty());
}

}  // namespace
