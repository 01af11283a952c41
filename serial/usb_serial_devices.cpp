#include "usb_serial_devices.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <new>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A sysfs attribute is at most a page.
constexpr size_t largest_attribute = 4096;

std::string joined(std::string_view folder, std::string_view name)
{
    std::string path(folder);
    if (!path.ends_with('/'))
        path += '/';
    return path.append(name);
}

std::string folder_of(const std::string &path)
{
    const size_t slash = path.rfind('/');
    return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

std::string name_of(const std::string &path) { return path.substr(path.rfind('/') + 1); }

// The path with every link followed, "" when it leads nowhere (or round in
// a loop), with the reason in `error`.
std::string resolved(const std::string &path, int *error = nullptr)
{
    const std::unique_ptr<char, decltype(&std::free)> real(realpath(path.c_str(), nullptr), &std::free);
    if (real == nullptr) {
        if (errno == ENOMEM)
            throw std::bad_alloc();
        if (error != nullptr)
            *error = errno;
        return "";
    }
    return real.get();
}

bool is_file(const std::string &path)
{
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

struct folder_closer {
    void operator()(DIR *dir) const { closedir(dir); }
};

// The names in a folder, none when it cannot be read (`error` says why).
std::vector<std::string> entries_of(const std::string &folder, int *error = nullptr)
{
    std::vector<std::string> names;
    const std::unique_ptr<DIR, folder_closer> dir(opendir(folder.c_str()));
    if (dir == nullptr) {
        if (error != nullptr)
            *error = errno;
        return names;
    }
    while (const dirent *entry = readdir(dir.get())) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..")
            names.emplace_back(name);
    }
    return names;
}

std::string trimmed(std::string_view text)
{
    constexpr std::string_view whitespace = " \t\r\n\v\f";
    const size_t first = text.find_first_not_of(whitespace);
    if (first == std::string_view::npos)
        return "";
    return std::string(text.substr(first, text.find_last_not_of(whitespace) - first + 1));
}

// An attribute's text without the whitespace around it; "" when there is
// none, it is no regular file (a link, a device, a fifo), or it is longer
// than a page (no sysfs attribute is).
std::string attribute(const std::string &folder, const char *name)
{
    const std::string path = joined(folder, name);
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return "";
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return "";
    char page[largest_attribute + 1];
    size_t size = 0;
    bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    while (ok && size < sizeof page) {
        const ssize_t n = read(fd, page + size, sizeof page - size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        size += static_cast<size_t>(n);
    }
    close(fd);
    if (!ok || size > largest_attribute)
        return "";
    return trimmed(std::string_view(page, size));
}

// A USB id as 4 lowercase hex digits; "" when the text is none.
std::string usb_id(std::string text)
{
    if (text.size() != 4)
        return "";
    for (char &ch : text) {
        if (ch >= 'A' && ch <= 'F')
            ch = static_cast<char>(ch - 'A' + 'a');
        if (!((ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f')))
            return "";
    }
    return text;
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
    explicit sysfs(const std::string &sys) : root_(resolved(sys, &error_)) {}

    // 0 when the folder is there, else why not.
    int error() const { return error_; }
    std::string path(std::string_view inside) const { return joined(root_, inside); }

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

    int error_ = 0;
    std::string root_;  // resolved, so that the devices' resolved paths lie under it
};

// Device name -> the names of its links in <dev>/serial/by-id/.
std::vector<std::pair<std::string, std::string>> by_id_links(const std::string &dev)
{
    std::vector<std::pair<std::string, std::string>> links;
    const std::string folder = joined(dev, "serial/by-id");
    std::vector<std::string> entries = entries_of(folder);
    std::sort(entries.begin(), entries.end());
    for (std::string &entry : entries) {
        char target[PATH_MAX];
        const ssize_t n = readlink(joined(folder, entry).c_str(), target, sizeof target);
        if (n > 0 && static_cast<size_t>(n) < sizeof target)
            links.emplace_back(name_of(std::string(target, static_cast<size_t>(n))), std::move(entry));
    }
    return links;
}

usb_serial_listing listing(const char *root_text, bool known_only)
{
    usb_serial_listing result;
    const std::string root = root_text == nullptr ? "/" : root_text;
    const sysfs sys(joined(root, "sys"));
    std::vector<std::string> names;
    if (sys.error() == 0)
        names = entries_of(sys.path("class/tty"), &result.error);
    else
        result.error = sys.error();
    if (names.empty())
        return result;
    const std::string dev = joined(root, "dev");
    const auto links = by_id_links(dev);
    std::sort(names.begin(), names.end(), natural_less);
    for (const std::string &name : names) {
        // Consoles and pseudo-terminals have no device.
        const std::string device = resolved(sys.path("class/tty/" + name + "/device"));
        if (device.empty())
            continue;
        usb_serial_device found;
        const std::string usb = sys.usb_device_of(device);
        found.on_usb = !usb.empty();
        if (found.on_usb) {
            found.vendor = usb_id(attribute(usb, "idVendor"));
            found.product = usb_id(attribute(usb, "idProduct"));
            if (!found.vendor.empty())
                found.known = known_usb_id_of(found.vendor, found.product);
        }
        if (known_only && found.known == nullptr)
            continue;
        found.name = name;
        found.path = joined(dev, name);
        if (found.on_usb) {
            found.maker = attribute(usb, "manufacturer");
            found.product_name = attribute(usb, "product");
            found.serial = attribute(usb, "serial");
        }
        found.driver = sys.driver_of(device);
        for (const auto &[target, link] : links)
            if (target == name)
                found.by_id.push_back(link);
        result.devices.push_back(std::move(found));
    }
    return result;
}

// The listing, or ENOMEM and nothing when memory ran out: what lies under
// the root is bounded, so that is the only exception there is.
usb_serial_listing listing_or_error(const char *root, bool known_only) noexcept
{
    try {
        return listing(root, known_only);
    } catch (const std::bad_alloc &) {
        usb_serial_listing failed;
        failed.error = ENOMEM;
        return failed;
    }
}

}  // namespace

usb_serial_listing serial_devices(const char *root) noexcept { return listing_or_error(root, false); }

usb_serial_listing likely_board_devices(const char *root) noexcept { return listing_or_error(root, true); }

void name_devices(const std::vector<usb_serial_device> &devices, char *text, size_t size) noexcept
{
    if (size == 0)
        return;
    constexpr std::string_view separator = ", ", more = "...";
    size_t total = 0;
    for (const usb_serial_device &device : devices)
        total += (total == 0 ? 0 : separator.size()) + device.path.size();
    size_t used = 0;
    const auto put = [&](std::string_view part) {
        std::memcpy(text + used, part.data(), part.size());
        used += part.size();
    };
    for (const usb_serial_device &device : devices) {
        const size_t gap = used == 0 ? 0 : separator.size();
        // Room for this path, and for ", ..." after it unless all fit.
        const size_t after = total < size ? 0 : separator.size() + more.size();
        if (used + gap + device.path.size() + after >= size) {
            if (used + gap + more.size() < size) {
                put(separator.substr(0, gap));
                put(more);
            }
            break;
        }
        put(separator.substr(0, gap));
        put(device.path);
    }
    text[used] = '\0';
}
