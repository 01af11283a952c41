#include "fake_sysfs.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace fs = std::filesystem;

fake_sysfs::fake_sysfs()
{
    std::string name = (fs::temp_directory_path() / "fake_sysfs.XXXXXX").string();
    if (mkdtemp(name.data()) == nullptr)
        throw std::runtime_error("fake_sysfs: no temporary folder");
    root_ = name;
}

fake_sysfs::~fake_sysfs()
{
    std::error_code ignored;
    fs::remove_all(root_, ignored);
}

void fake_sysfs::write(const fs::path &file, const std::string &text)
{
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
}

fs::path fake_sysfs::usb_tty(const std::string &name, const std::string &bus_path, const std::string &vendor,
                             const std::string &product, const std::string &driver, const std::string &product_name,
                             bool port_folder)
{
    const fs::path device = root_ / "sys/devices/pci0000:00/usb1" / bus_path;
    write(device / "idVendor", vendor + "\n");
    if (!product.empty())
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
    return device;
}

void fake_sysfs::class_tty(const std::string &name, const fs::path &device)
{
    const fs::path entry = root_ / "sys/class/tty" / name;
    fs::create_directories(entry);
    fs::create_directory_symlink(fs::relative(device, entry), entry / "device");
}

void fake_sysfs::uart(const std::string &name)
{
    const fs::path device = root_ / "sys/devices/platform/serial8250/tty" / name;
    fs::create_directories(device);
    class_tty(name, device);
}

void fake_sysfs::console(const std::string &name) { fs::create_directories(root_ / "sys/class/tty" / name); }

void fake_sysfs::by_id(const std::string &link, const std::string &name)
{
    fs::create_directories(root_ / "dev/serial/by-id");
    fs::create_symlink("../../" + name, root_ / "dev/serial/by-id" / link);
}
