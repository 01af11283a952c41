#include "portlist/scan.h"

#include "portlist/console.h"
#include "protocol/board_line.h"
#include "serial/serial_port.h"

void scan_candidates(std::string &found_ports, std::string &last_port)
{
    for (const std::string &path : candidate_paths(device_folder)) {
        // Only opened and closed again: a device that another program is
        // using keeps its line settings and its unread input.
        opened_port tried = serial_port::open_untouched(path.c_str());
        if (!tried.ok())
            continue;
        tried.port.close();
        found_ports += '|';
        found_ports += path;
        print_line(path);
        last_port = path;
    }
}
