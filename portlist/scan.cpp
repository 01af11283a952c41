#include "portlist/scan.h"

#include "portlist/console.h"
#include "serial/serial_port.h"

namespace {

constexpr const char *candidate_prefixes[] = {"ttyUSB", "ttyACM"};
constexpr int last_candidate_index = 20;

}  // namespace

void scan_candidates(std::string &found_ports, std::string &last_port)
{
    for (const char *prefix : candidate_prefixes) {
        for (int index = 0; index <= last_candidate_index; ++index) {
            const std::string path =
                std::string(device_folder) + "/" + prefix + std::to_string(index);
            // Only opened and closed again: a device that another program is
            // using keeps its line settings and its unread input.
            if (!device_opens(path.c_str()))
                continue;
            found_ports += '|';
            found_ports += path;
            print_line(path);
            last_port = path;
        }
    }
}
