#include "port_trace.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include "posix/clock.h"
#include "protocol/trace_line.h"

bool port_trace::open(const char *value, const char *library)
{
    library_ = library;
    start_ms_ = elapsed_ms();
    return sink_.open(value);
}

void port_trace::name_port(std::string_view path)
{
    const std::string word = path_word(path, port_room);
    const size_t size = word.size() < sizeof port_ - 1 ? word.size() : sizeof port_ - 1;
    std::memcpy(port_, word.data(), size);
    port_[size] = '\0';
}

void port_trace::event(const char *event, std::string_view details)
{
    if (!sink_.is_open())
        return;
    const int64_t ms = ms_since(start_ms_);
    char head[64 + port_room];
    const int head_size = std::snprintf(head, sizeof head, "%s[%ld] %lld.%03lld %s %s", library_,
                                        static_cast<long>(getpid()), static_cast<long long>(ms / 1000),
                                        static_cast<long long>(ms % 1000), port_, event);
    std::string line(head, head_size <= 0 ? 0 : static_cast<size_t>(head_size) < sizeof head ? static_cast<size_t>(head_size) : sizeof head - 1);
    if (!details.empty()) {
        line += ": ";
        line += details;
    }
    line += '\n';
    sink_.write_line(line.data(), line.size());
}
