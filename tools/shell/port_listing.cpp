#include "port_listing.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "file_text.h"
#include "installed_files.h"
#include "library_port.h"
#include "printable_text.h"
#include "protocol/board_line.h"
#include "shell.h"

namespace {

// A sysfs attribute is at most a page.
constexpr size_t largest_attribute = 4096;

std::string joined(const std::string &folder, const std::string &name)
{
    return folder.ends_with('/') ? folder + name : folder + "/" + name;
}

// The path with every link followed, "" when it leads nowhere.
std::string resolved(const std::string &path)
{
    char *real = realpath(path.c_str(), nullptr);
    if (real == nullptr)
        return "";
    std::string result(real);
    std::free(real);
    return result;
}

bool is_file(const std::string &path)
{
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::vector<std::string> entries_of(const std::string &folder)
{
    std::vector<std::string> names;
    DIR *dir = opendir(folder.c_str());
    if (dir == nullptr)
        return names;
    while (const dirent *entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(dir);
    return names;
}

// An attribute's text without the line end, "" when there is none.
std::string attribute(const std::string &folder, const char *name)
{
    std::string text, error;
    if (!read_file_text(joined(folder, name), largest_attribute, &text, &error))
        return "";
    return trimmed(text);
}

// Names in the order people count them: ttyUSB2 before ttyUSB10.
bool natural_less(const std::string &a, const std::string &b)
{
    const auto is_digit = [](char ch) { return ch >= '0' && ch <= '9'; };
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (is_digit(a[i]) && is_digit(b[j])) {
            size_t end_a = i, end_b = j;
            while (end_a < a.size() && is_digit(a[end_a]))
                ++end_a;
            while (end_b < b.size() && is_digit(b[end_b]))
                ++end_b;
            // Leading zeros say nothing of the number.
            const size_t from_a = std::min(a.find_first_not_of('0', i), end_a);
            const size_t from_b = std::min(b.find_first_not_of('0', j), end_b);
            const std::string_view number_a(a.data() + from_a, end_a - from_a);
            const std::string_view number_b(b.data() + from_b, end_b - from_b);
            if (number_a.size() != number_b.size())
                return number_a.size() < number_b.size();
            if (number_a != number_b)
                return number_a < number_b;
            i = end_a;
            j = end_b;
        } else {
            if (a[i] != b[j])
                return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
            ++i;
            ++j;
        }
    }
    if (i < a.size() || j < b.size())
        return j < b.size() && i >= a.size();
    return a < b;
}

class sysfs {
public:
    explicit sysfs(const std::string &sys) : root_(resolved(sys)) {}

    bool found() const { return !root_.empty(); }
    std::string path(const std::string &inside) const { return joined(root_, inside); }

    // The USB device (the folder with idVendor) that `device` is part of,
    // "" when it is on no USB bus.
    std::string usb_device_of(const std::string &device) const
    {
        for (std::string folder = device; inside(folder); folder = folder_of(folder))
            if (is_file(joined(folder, "idVendor")))
                return folder;
        return "";
    }

    // The kernel driver of the USB interface (cdc_acm, ch341, ftdi_sio,
    // cp210x), else of the device itself.
    std::string driver_of(const std::string &device) const
    {
        for (std::string folder = device; inside(folder); folder = folder_of(folder)) {
            if (is_file(joined(folder, "bInterfaceNumber"))) {
                const std::string driver = resolved(joined(folder, "driver"));
                if (!driver.empty())
                    return name_of(driver);
            }
            if (is_file(joined(folder, "idVendor")))
                break;
        }
        const std::string driver = resolved(joined(device, "driver"));
        return driver.empty() ? "" : name_of(driver);
    }

private:
    bool inside(const std::string &folder) const
    {
        return folder.size() > root_.size() && folder.starts_with(root_) && folder[root_.size()] == '/';
    }

    std::string root_;  // resolved, so that the devices' resolved paths lie under it
};

// Device name -> its links in /dev/serial/by-id/, named as under /dev.
std::vector<std::pair<std::string, std::string>> by_id_links(const std::string &dev)
{
    std::vector<std::pair<std::string, std::string>> links;
    const std::string folder = joined(dev, "serial/by-id");
    std::vector<std::string> entries = entries_of(folder);
    std::sort(entries.begin(), entries.end());
    for (const std::string &entry : entries) {
        char target[PATH_MAX];
        const ssize_t n = readlink(joined(folder, entry).c_str(), target, sizeof target - 1);
        if (n > 0)
            links.emplace_back(name_of(std::string(target, static_cast<size_t>(n))), "/dev/serial/by-id/" + entry);
    }
    return links;
}

// The path as one word of a shell command line: quoted only when it must be.
std::string shell_word(const std::string &text)
{
    const bool plain = !text.empty() && text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                                                "0123456789_./:+,=@%-") == std::string::npos;
    if (plain)
        return text;
    std::string quoted = "'";
    for (const char ch : text)
        quoted += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
    return quoted + "'";
}

}  // namespace

std::vector<serial_device> list_serial_devices(const std::string &root, const usb_id_list &known)
{
    std::vector<serial_device> devices;
    const sysfs sys(joined(root, "sys"));
    if (!sys.found())
        return devices;
    const auto links = by_id_links(joined(root, "dev"));
    std::vector<std::string> names = entries_of(sys.path("class/tty"));
    std::sort(names.begin(), names.end(), natural_less);
    for (const std::string &name : names) {
        // Consoles and pseudo-terminals have no device.
        const std::string device = resolved(sys.path("class/tty/" + name + "/device"));
        if (device.empty())
            continue;
        const std::string usb = sys.usb_device_of(device);
        // The machine's own UARTs: no board behind them.
        if (usb.empty() && !is_candidate_family_name(name))
            continue;
        serial_device found;
        found.name = name;
        found.device = "/dev/" + name;
        for (const auto &[target, link] : links)
            if (target == name)
                found.by_id.push_back(link);
        found.driver = sys.driver_of(device);
        if (!usb.empty()) {
            found.vendor = attribute(usb, "idVendor");
            found.product = attribute(usb, "idProduct");
            found.maker = attribute(usb, "manufacturer");
            found.product_name = attribute(usb, "product");
            found.serial = attribute(usb, "serial");
            if (!found.vendor.empty())
                if (const std::string *description = known_usb_id(known, found.vendor, found.product))
                    found.known = *description;
        }
        devices.push_back(found);
    }
    return devices;
}

std::string describe_device(const serial_device &device)
{
    std::vector<std::string> parts = {(device.known.empty() ? "  " : "* ") + device.device};
    if (!device.vendor.empty())
        parts.push_back("usb " + device.vendor + ":" + (device.product.empty() ? "????" : device.product));
    if (!device.known.empty())
        parts.push_back("[" + device.known + "]");
    for (const auto &[label, value] : {std::pair<const char *, const std::string &>{"maker", device.maker},
                                       {"product", device.product_name},
                                       {"serial", device.serial}})
        if (!value.empty())
            parts.push_back(std::string(label) + " \"" + value + "\"");
    if (!device.driver.empty())
        parts.push_back("driver " + device.driver);
    parts.insert(parts.end(), device.by_id.begin(), device.by_id.end());
    // The stable name when there is one: it survives replugging.
    const std::string path = shell_word(device.by_id.empty() ? device.device : device.by_id.front());
    parts.push_back("-> " + std::string(port_variable) + "=" + path + "  arduinodrv-shell --port " + path);
    std::string line;
    for (const std::string &part : parts)
        line += (line.empty() ? "" : "  ") + part;
    // What a device says of itself could hold terminal controls.
    return printable_text(line);
}

int print_ports(FILE *out, FILE *err, const std::string &root, const std::vector<std::string> &usb_ids)
{
    int status = 0;
    usb_id_list known;
    std::string error;
    if (!find_usb_ids(usb_ids, &known, &error)) {
        std::fprintf(err, "ports: %s: no device is marked\n", printable_text(error).c_str());
        status = 1;
    }
    const std::vector<serial_device> devices = list_serial_devices(root, known);
    for (const serial_device &device : devices)
        std::fprintf(out, "%s\n", describe_device(device).c_str());
    std::fflush(out);
    if (devices.empty()) {
        std::fprintf(err, "ports: no USB serial device (is the board plugged in, with its cable's data lines?)\n");
        return 1;
    }
    if (std::any_of(devices.begin(), devices.end(), [](const serial_device &d) { return !d.known.empty(); }))
        std::fprintf(out, "* its USB ids are a board's or a usual USB-serial chip's\n");
    std::fflush(out);
    return status;
}

bool ports_command(const std::vector<std::string> &words)
{
    std::string root = "/";
    for (size_t i = 0; i < words.size(); ++i) {
        if (words[i] == "--root" && i + 1 < words.size()) {
            root = words[++i];
        } else if (words[i].starts_with("--root=")) {
            root = words[i].substr(7);
        } else {
            std::fprintf(shell_err, "ports: usage: ports (it takes no arguments)\n");
            return false;
        }
    }
    return print_ports(shell_out, shell_err, root, usb_ids_candidates()) == 0;
}
