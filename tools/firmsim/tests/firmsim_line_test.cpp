// The sketch's firmware on firmsim, spoken to straight on its terminal: the
// converter reads as the chip's, the line carries a character's 10 bits, a
// fast rate needs both ends, and a stream of six inputs at 1 kHz arrives
// whole at real time. The classic build answers none of the extensions.
#include <gtest/gtest.h>

#include "board_line.h"
#include "firmsim_process.h"
#include "stream_frame.h"
#include "stream_reader.h"
#include "serial/line_rate.h"

#include <chrono>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

std::vector<std::string> with_firmware(std::vector<std::string> arguments, const std::string &firmware = FIRMSIM_FIRMWARE)
{
    arguments.insert(arguments.begin(), {"--start-delay", "0ms"});
    arguments.push_back(firmware);
    return arguments;
}

long field(firmsim_process &sim, const std::string &name)
{
    return std::atol(sim.report()[name].c_str());
}

// Lets the chip run this long of its own time: a busy machine slows it down
// (its report says so), never its clock.
void let_chip_run(firmsim_process &sim, double seconds)
{
    const double until = std::atof(sim.report()["sim"].c_str()) + seconds;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (std::atof(sim.report()["sim"].c_str()) < until && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

TEST(FirmsimLine, ConverterReadsAsTheChip)
{
    firmsim_process sim(FIRMSIM_PROGRAM, with_firmware({}));
    ASSERT_FALSE(sim.failed());
    board_line line(sim.slave_path());
    ASSERT_TRUE(line.wait_for_sketch(20000));
    // 0, 128 ... 4992 mV: simavr's own scale (x 1023 / 5000) reads 21 of
    // them one count low.
    int simavr_differs = 0;
    for (int millivolts = 0; millivolts < 5000; millivolts += 128) {
        ASSERT_EQ(sim.command("adc 2 " + std::to_string(millivolts)), "ok");
        const int chip = std::min(1023, millivolts * 1024 / 5000);
        simavr_differs += chip != millivolts * 1023 / 5000;
        EXPECT_EQ(line.request("EA2"), std::to_string(chip)) << millivolts;
    }
    EXPECT_EQ(simavr_differs, 21);
    ASSERT_EQ(sim.command("adc 2 5000"), "ok");
    EXPECT_EQ(line.request("EA2"), "1023");
}

TEST(FirmsimLine, LineCarriesTenBitsACharacter)
{
    firmsim_process sim(FIRMSIM_PROGRAM, with_firmware({}));
    ASSERT_FALSE(sim.failed());
    board_line line(sim.slave_path());
    ASSERT_TRUE(line.wait_for_sketch(20000));
    EXPECT_EQ(field(sim, "baud"), 9615);  // what 16 MHz makes of 9600
    // Requests of 4 bytes answered with 18 (every input): the board sends
    // without a pause, at its line's pace, while the requests come (it drops
    // what its receive buffer cannot hold, as the chip does). Bytes per
    // second of chip time, both counts from the same report.
    std::string requests;
    for (int i = 0; i < 200; ++i)
        requests += std::string("XA") + static_cast<char>('a' + i % 26) + "\r";
    ASSERT_EQ(write(line.fd(), requests.data(), requests.size()), static_cast<ssize_t>(requests.size()));
    const long tx_start = field(sim, "tx");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    char sink[4096];
    const auto when_sent = [&](long count) {
        std::map<std::string, std::string> fields;
        while ((fields = sim.report()), std::atol(fields["tx"].c_str()) < tx_start + count &&
                                            std::chrono::steady_clock::now() < deadline)
            line.read_some(sink, sizeof sink, 20);
        return fields;
    };
    auto first = when_sent(100);
    auto last = when_sent(900);
    ASSERT_GE(std::atol(last["tx"].c_str()), tx_start + 900);
    const double bytes = std::atof(last["tx"].c_str()) - std::atof(first["tx"].c_str());
    const double chip_seconds = std::atof(last["sim"].c_str()) - std::atof(first["sim"].c_str());
    EXPECT_NEAR(bytes / chip_seconds, 9615.0 / 10, 5) << bytes << " bytes in " << chip_seconds << " s";
}

TEST(FirmsimLine, FastRateNeedsBothEndsAndTheBoardComesBackAlone)
{
    firmsim_process sim(FIRMSIM_PROGRAM, with_firmware({}));
    ASSERT_FALSE(sim.failed());
    board_line line(sim.slave_path());
    ASSERT_TRUE(line.wait_for_sketch(20000));
    // This end stays at 9600: the board's answers and its ears are junk.
    EXPECT_EQ(line.request("XB1000000"), "1000000");
    EXPECT_EQ(line.ask("XI", "XI ", 300), "");
    EXPECT_EQ(field(sim, "baud"), 1000000);
    EXPECT_GT(field(sim, "garbled"), 0);
    // The host's silence (2 s) after its move, it is back at 9600, as is
    // this end.
    let_chip_run(sim, 2.1);
    EXPECT_TRUE(line.wait_for_sketch(3000));
    EXPECT_EQ(field(sim, "baud"), 9615);
    // Both ends moved: it answers, and stays while it hears this end.
    ASSERT_TRUE(line.move_to(500000));
    let_chip_run(sim, 1.1);
    EXPECT_EQ(line.ask("XI", "XI ", 1000).rfind("XI arduinodrv-board", 0), 0u);
    EXPECT_EQ(field(sim, "baud"), 500000);
    // This end alone at a fast rate hears nothing either.
    ASSERT_EQ(line.request("XB9600"), "9600");
    EXPECT_EQ(line.ask("XI", "XI ", 300), "");
    ASSERT_TRUE(set_descriptor_rate(line.fd(), 9600));
    EXPECT_TRUE(line.wait_for_sketch(3000));
}

TEST(FirmsimLine, SixInputsAtOneKilohertzArriveWholeAtRealTime)
{
    std::vector<std::string> inputs;
    stream_frame::sample_set expected{};
    for (int input = 0; input < 6; ++input) {
        const int millivolts = 300 + 850 * input;
        inputs.insert(inputs.end(), {"--analog", std::to_string(input) + "=" + std::to_string(millivolts)});
        expected.analog[input] = static_cast<uint16_t>(millivolts * 1024 / 5000);
    }
    firmsim_process sim(FIRMSIM_PROGRAM, with_firmware(inputs));
    ASSERT_FALSE(sim.failed());
    board_line line(sim.slave_path());
    ASSERT_TRUE(line.wait_for_sketch(20000));
    ASSERT_TRUE(line.move_to(1000000));
    ASSERT_EQ(line.request("XS63,0,1000"), "1000");
    stream_reader reader(63, 0, 1000, expected);
    const std::string first = line.take_rest();
    reader.take(first.data(), first.size());
    // Three seconds of the chip's time, however long they take here; a
    // question every half second, since the board keeps a stream only while
    // its host talks.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    auto asked_at = std::chrono::steady_clock::now();
    char bytes[8192];
    while (reader.tally().frames + reader.tally().lost < 3000 && std::chrono::steady_clock::now() < deadline) {
        reader.take(bytes, line.read_some(bytes, sizeof bytes, 100));
        if (std::chrono::steady_clock::now() - asked_at > std::chrono::milliseconds(500)) {
            line.send("XKa");
            asked_at = std::chrono::steady_clock::now();
        }
    }
    line.send("XEz");
    const auto asked = std::chrono::steady_clock::now();
    const auto ended = [&] { return !reader.tally().lines.empty() && reader.tally().lines.back().back() == 'z'; };
    while (!ended() && std::chrono::steady_clock::now() - asked < std::chrono::seconds(3))
        reader.take(bytes, line.read_some(bytes, sizeof bytes, 100));
    const stream_tally &tally = reader.tally();
    // However busy the machine (the chip may fall behind the wall clock,
    // its report says so), nothing is lost and every board time is right.
    EXPECT_GE(tally.frames, 3000u) << "lags " << sim.report()["lags"];
    EXPECT_EQ(tally.first_sequence, 0u);
    EXPECT_EQ(tally.lost, 0u);
    EXPECT_EQ(tally.bad, 0u);
    EXPECT_EQ(tally.wrong_time, 0u);
    EXPECT_EQ(tally.wrong_value, 0u);
    ASSERT_FALSE(tally.lines.empty());
    EXPECT_EQ(tally.lines.back(), std::to_string(tally.last_sequence + 1) + "z");  // framed, after the last frame
    EXPECT_EQ(field(sim, "lost"), 0);
    std::printf("[ figures  ] %llu frames of six inputs in %s s of chip time; chip fell behind %s times (%s ms)\n",
                static_cast<unsigned long long>(tally.frames), sim.report()["sim"].c_str(),
                sim.report()["lags"].c_str(), sim.report()["lag_ms"].c_str());
}

TEST(FirmsimLine, ClassicFirmwareAnswersNoExtension)
{
    firmsim_process sim(FIRMSIM_PROGRAM, with_firmware({"--analog", "1=5000"}, FIRMSIM_CLASSIC_FIRMWARE));
    ASSERT_FALSE(sim.failed());
    board_line line(sim.slave_path());
    ASSERT_TRUE(sim.wait_for("sim", 1, 20000));
    EXPECT_EQ(line.ask("XI", "XI", 500), "");
    EXPECT_EQ(line.request("XB1000000", 500), "(none)");
    EXPECT_EQ(line.request("EA1", 500), "(none)");
    EXPECT_EQ(line.ask("EA1", "1023", 2000), "1023");
    EXPECT_EQ(field(sim, "baud"), 9615);
}

}  // namespace
