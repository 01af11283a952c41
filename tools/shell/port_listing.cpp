#include "port_listing.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "library_port.h"
#include "printable_text.h"
#include "protocol/board_line.h"
#include "shell.h"

namespace {

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

std::string describe_device(const usb_serial_device &device)
{
    // Named as under the system's /dev, whatever root it was listed from.
    const std::string path = "/dev/" + device.name;
    std::vector<std::string> by_id;
    for (const std::string &link : device.by_id)
        by_id.push_back("/dev/serial/by-id/" + link);
    std::vector<std::string> parts = {(device.known == nullptr ? "  " : "* ") + path};
    if (!device.vendor.empty())
        parts.push_back("usb " + device.vendor + ":" + (device.product.empty() ? "????" : device.product));
    if (device.known != nullptr)
        parts.push_back("[" + std::string(device.known->description) + "]");
    for (const auto &[label, value] : {std::pair<const char *, const std::string &>{"maker", device.maker},
                                       {"product", device.product_name},
                                       {"serial", device.serial}})
        if (!value.empty())
            parts.push_back(std::string(label) + " \"" + value + "\"");
    if (!device.driver.empty())
        parts.push_back("driver " + device.driver);
    parts.insert(parts.end(), by_id.begin(), by_id.end());
    // The stable name when there is one: it survives replugging.
    const std::string use = shell_word(by_id.empty() ? path : by_id.front());
    parts.push_back("-> " + std::string(port_variable) + "=" + use + "  arduinodrv-shell --port " + use);
    std::string line;
    for (const std::string &part : parts)
        line += (line.empty() ? "" : "  ") + part;
    // What a device says of itself could hold terminal controls.
    return printable_text(line);
}

int print_ports(FILE *out, FILE *err, const std::string &root)
{
    usb_serial_listing listing = serial_devices(root.c_str());
    if (listing.error != 0 && listing.error != ENOENT) {
        std::fprintf(err, "ports: cannot list the serial devices: %s\n", std::strerror(listing.error));
        return 1;
    }
    // The machine's own UARTs: no board behind them.
    std::erase_if(listing.devices,
                  [](const usb_serial_device &d) { return !d.on_usb && !is_candidate_family_name(d.name); });
    for (const usb_serial_device &device : listing.devices)
        std::fprintf(out, "%s\n", describe_device(device).c_str());
    std::fflush(out);
    if (listing.devices.empty()) {
        std::fprintf(err, "ports: no USB serial device (is the board plugged in, with its cable's data lines?)\n");
        return 1;
    }
    if (std::any_of(listing.devices.begin(), listing.devices.end(),
                    [](const usb_serial_device &d) { return d.known != nullptr; }))
        std::fprintf(out, "* its USB ids are a board's or a usual USB-serial chip's\n");
    std::fflush(out);
    return 0;
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
    return print_ports(shell_out, shell_err, root) == 0;
}
