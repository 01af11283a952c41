// Figures of a stream on firmsim: the sketch's own firmware on the emulated
// chip, its line moved to a fast rate, one stream read for a while as a host
// reads it. Prints what came (frames, lost, bad, board times off the
// interval, wrong values) and how the chip kept to real time; asserts
// nothing, and ends with status 1 when the stream could not be had.
//
// Usage: firmsim_stream_bench [--rate BAUD] [--analog MASK] [--digital MASK]
//            [--interval US] [--seconds S] [--speed X|max] [--firmware FILE]
// Defaults: 1000000 baud, all six analog inputs, no digital ones, the
// shortest interval the board allows, 10 s, real time, the sketch's firmware.
#include "bench_inputs.h"
#include "board_line.h"
#include "firmsim_process.h"
#include "stream_frame.h"
#include "stream_reader.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

double now_s()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

struct settings {
    uint32_t rate = 1000000;
    unsigned amask = stream_frame::all_analog, dmask = 0;
    uint32_t interval_us = 0;  // 0: the shortest
    double seconds = 10;
    std::string speed = "1";
    std::string firmware = FIRMSIM_FIRMWARE;
};

bool parse(int argc, char **argv, settings &chosen)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i], value = argv[i + 1];
        if (name == "--rate")
            chosen.rate = static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
        else if (name == "--analog")
            chosen.amask = static_cast<unsigned>(std::strtoul(value.c_str(), nullptr, 0));
        else if (name == "--digital")
            chosen.dmask = static_cast<unsigned>(std::strtoul(value.c_str(), nullptr, 0));
        else if (name == "--interval")
            chosen.interval_us = static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
        else if (name == "--seconds")
            chosen.seconds = std::atof(value.c_str());
        else if (name == "--speed")
            chosen.speed = value;
        else if (name == "--firmware")
            chosen.firmware = value;
        else
            return false;
    }
    return argc % 2 == 1 && stream_frame::masks_valid(static_cast<uint8_t>(chosen.amask),
                                                       static_cast<uint8_t>(chosen.dmask));
}

}  // namespace

int main(int argc, char **argv)
{
    settings chosen;
    if (!parse(argc, argv, chosen)) {
        std::fprintf(stderr, "usage: firmsim_stream_bench [--rate BAUD] [--analog MASK] [--digital MASK] "
                             "[--interval US] [--seconds S] [--speed X|max] [--firmware FILE]\n");
        return 2;
    }
    const auto amask = static_cast<uint8_t>(chosen.amask), dmask = static_cast<uint8_t>(chosen.dmask);
    if (chosen.interval_us == 0)
        chosen.interval_us = stream_frame::shortest_interval_us(amask, dmask, chosen.rate);

    std::vector<std::string> arguments = input_arguments();
    arguments.insert(arguments.end(), {"--start-delay", "0ms", "--speed", chosen.speed, chosen.firmware});
    const stream_frame::sample_set expected = input_samples();
    firmsim_process sim(FIRMSIM_PROGRAM, arguments);
    if (sim.failed()) {
        std::fprintf(stderr, "firmsim_stream_bench: firmsim did not start\n");
        return 1;
    }
    board_line line(sim.slave_path());
    if (!line.ok() || !line.wait_for_sketch(20000)) {
        std::fprintf(stderr, "firmsim_stream_bench: the sketch did not answer XI\n");
        return 1;
    }
    if (chosen.rate != 9600 && !line.move_to(chosen.rate)) {
        std::fprintf(stderr, "firmsim_stream_bench: the line did not move to %u baud\n", chosen.rate);
        return 1;
    }
    const auto before = sim.report();
    const double chip_before = std::atof(before.at("sim").c_str());
    const std::string start = "XS" + std::to_string(chosen.amask) + "," + std::to_string(chosen.dmask) + "," +
                              std::to_string(chosen.interval_us);
    const std::string started = line.request(start);
    if (started != std::to_string(chosen.interval_us)) {
        std::fprintf(stderr, "firmsim_stream_bench: %s was answered \"%s\"\n", start.c_str(), started.c_str());
        return 1;
    }
    stream_reader reader(amask, dmask, chosen.interval_us, expected);
    const std::string first = line.take_rest();
    reader.take(first.data(), first.size());
    const double wall_start = now_s();
    char bytes[8192];
    uint64_t received = 0;
    // The board keeps a stream only while its host talks: a question every
    // half second, as libarduinoboard's reader asks (its answers come framed
    // between the frames).
    double asked_at = wall_start;
    while (now_s() - wall_start < chosen.seconds) {
        const size_t count = line.read_some(bytes, sizeof bytes, 100);
        received += count;
        reader.take(bytes, count);
        if (now_s() - asked_at >= 0.5) {
            line.send("XKa");
            asked_at = now_s();
        }
    }
    line.send("XEz");
    std::string end;
    const double end_asked = now_s();
    while (end.empty() && now_s() - end_asked < 5) {
        reader.take(bytes, line.read_some(bytes, sizeof bytes, 100));
        for (const std::string &answer : reader.tally().lines)
            if (!answer.empty() && answer.back() == 'z')
                end = answer.substr(0, answer.size() - 1);
    }
    const double wall = now_s() - wall_start;
    const auto after = sim.report();
    const double chip = std::atof(after.at("sim").c_str()) - chip_before;
    const stream_tally &tally = reader.tally();
    std::printf("stream of analog 0x%02x digital 0x%x every %u us at %u baud (%u-byte frames):\n", chosen.amask,
                chosen.dmask, chosen.interval_us, chosen.rate, stream_frame::frame_bytes(amask, dmask));
    std::printf("  %llu frames in %.1f s (%.0f a second), %llu lost, %llu bad, %llu off the interval, "
                "%llu with wrong values; the end: %s frames, the last frame %u\n",
                static_cast<unsigned long long>(tally.frames), wall, static_cast<double>(tally.frames) / wall,
                static_cast<unsigned long long>(tally.lost), static_cast<unsigned long long>(tally.bad),
                static_cast<unsigned long long>(tally.wrong_time), static_cast<unsigned long long>(tally.wrong_value),
                end.empty() ? "(none)" : end.c_str(), tally.last_sequence);
    std::printf("  chip at %.3f x real time, fell behind %s times; %llu bytes read (%.0f a second)%s%s\n",
                chip / wall, after.count("lags") ? after.at("lags").c_str() : "?",
                static_cast<unsigned long long>(received), static_cast<double>(received) / wall,
                after.count("lost") ? ", firmsim lost " : "", after.count("lost") ? after.at("lost").c_str() : "");
    return 0;
}
