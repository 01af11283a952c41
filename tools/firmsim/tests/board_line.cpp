#include "board_line.h"

#include "serial/line_rate.h"

#include <chrono>
#include <unistd.h>

namespace {

long long now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

std::string board_line::ask(const std::string &command, const std::string &prefix, int timeout_ms)
{
    pending_.clear();
    if (!send(command))
        return "";
    const long long end = now_ms() + timeout_ms;
    for (;;) {
        for (size_t start = 0, cr; (cr = pending_.find("\r\n", start)) != std::string::npos; start = cr + 2) {
            const size_t begin = pending_.rfind(prefix, cr);
            if (begin != std::string::npos && begin >= start) {
                const std::string answer = pending_.substr(begin, cr - begin);
                pending_.erase(0, cr + 2);
                return answer;
            }
        }
        const long long left = end - now_ms();
        char bytes[512];
        const size_t count = left > 0 ? read_some(bytes, sizeof bytes, static_cast<int>(left)) : 0;
        if (count == 0 && now_ms() >= end)
            return "";
        pending_.append(bytes, count);
    }
}

std::string board_line::request(const std::string &command, int timeout_ms)
{
    const char tag = next_tag_;
    next_tag_ = tag == 'z' ? 'a' : static_cast<char>(tag + 1);
    pending_.clear();
    if (!send(command + tag))
        return "(none)";
    const long long end = now_ms() + timeout_ms;
    for (;;) {
        const size_t at = pending_.find(tag);
        if (at != std::string::npos) {
            size_t begin = at;
            while (begin > 0 && pending_.find_first_of("0123456789,", begin - 1) == begin - 1)
                --begin;
            const std::string value = pending_.substr(begin, at - begin);
            pending_.erase(0, at + 1);
            return value;
        }
        const long long left = end - now_ms();
        char bytes[512];
        const size_t count = left > 0 ? read_some(bytes, sizeof bytes, static_cast<int>(left)) : 0;
        if (count == 0 && now_ms() >= end)
            return "(none)";
        pending_.append(bytes, count);
    }
}

std::string board_line::take_rest()
{
    std::string rest;
    rest.swap(pending_);
    return rest;
}

bool board_line::wait_for_sketch(int timeout_ms)
{
    const long long end = now_ms() + timeout_ms;
    while (now_ms() < end) {
        if (ask("XI", "XI ", 300).rfind("XI arduinodrv-board", 0) == 0)
            return true;
    }
    return false;
}

bool board_line::move_to(uint32_t baud)
{
    if (request("XB" + std::to_string(baud)) != std::to_string(baud))
        return false;
    // The answer came whole: the board has moved (or does so as its last
    // bit leaves).
    usleep(2000);
    if (!set_descriptor_rate(fd(), static_cast<int32_t>(baud)))
        return false;
    return ask("XI", "XI ", 500).rfind("XI arduinodrv-board", 0) == 0;
}
