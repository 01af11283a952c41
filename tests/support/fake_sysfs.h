// A /sys and /dev of a fresh temporary folder, laid out as the kernel and
// udev lay them out, for the code that lists serial devices: it takes the
// folder as its root. Removed with everything in it at the end.
#pragma once

#include <filesystem>
#include <string>

class fake_sysfs {
public:
    fake_sysfs();  // throws std::runtime_error when no folder can be made
    ~fake_sysfs();
    fake_sysfs(const fake_sysfs &) = delete;
    fake_sysfs &operator=(const fake_sysfs &) = delete;

    const std::filesystem::path &root() const { return root_; }

    // Writes `text` to `file` (under the root or not), its folders made.
    static void write(const std::filesystem::path &file, const std::string &text);

    // A tty of the USB device sys/devices/pci0000:00/usb1/<bus_path> with
    // these ids (an empty product: no idProduct, a device half there), its
    // interface bound to `driver`; a usb-serial driver adds a port folder
    // between interface and tty. The USB device's folder.
    std::filesystem::path usb_tty(const std::string &name, const std::string &bus_path, const std::string &vendor,
                                  const std::string &product, const std::string &driver,
                                  const std::string &product_name = "", bool port_folder = false);
    // sys/class/tty/<name>, its device link to `device`.
    void class_tty(const std::string &name, const std::filesystem::path &device);
    // One of the machine's own UARTs, on the platform bus.
    void uart(const std::string &name);
    // A console or a pseudo-terminal: a class entry with no device.
    void console(const std::string &name);
    // dev/serial/by-id/<link>, leading to dev/<name> as udev's links do.
    void by_id(const std::string &link, const std::string &name);

private:
    std::filesystem::path root_;
};
