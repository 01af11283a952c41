// The library against the sketch's own firmware on firmsim's emulated chip,
// at the real pace of a 9600-baud line. One emulator and one load of the
// library serve every case; they run in the order written.
#include <gtest/gtest.h>

#include "driver_loader.h"
#include "firmsim_process.h"
#include "protocol/board_channels.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

long long now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// What a 10-bit converter on 5 V reads for a voltage; the chip may round
// either way.
bool reading_fits(int reading, int millivolts)
{
    const int ideal = std::min(1023, millivolts * 1024 / 5000);
    return std::abs(reading - ideal) <= 1;
}

class FirmwareEndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        const std::string link = std::string(TEST_DEVICE_FOLDER) + "/ttyUSB0";
        unlink(link.c_str());
        sim_ = new firmsim_process(FIRMSIM_PROGRAM, {"--link", link, FIRMSIM_FIRMWARE});
        if (!sim_->failed())
            driver_ = new loaded_driver(TEST_LIBRARY_USB0);
    }

    static void TearDownTestSuite()
    {
        delete driver_;
        driver_ = nullptr;
        delete sim_;
        sim_ = nullptr;
    }

    void SetUp() override { ASSERT_NE(driver_, nullptr) << "firmsim did not start"; }

    void set(const std::string &command) { ASSERT_EQ(sim_->command(command), "ok") << command; }

    void set_analog(int channel, int millivolts)
    {
        set("adc " + std::to_string(channel) + " " + std::to_string(millivolts));
    }
    void set_input(int pin, int level) { set("pin " + std::to_string(pin) + " " + std::to_string(level)); }

    // The outputs go without answer; an answered request after them means
    // the firmware has taken every line before it.
    std::map<std::string, std::string> outputs_after_settling()
    {
        ea(0);
        std::map<std::string, std::string> outputs;
        for (const auto &[name, value] : sim_->report())
            if (name.rfind("pwm", 0) == 0 || (name[0] == 'd' && name.size() <= 3))
                outputs[name] = value;
        return outputs;
    }

    int ea(int channel) { return GET_EXPORT(*driver_, ea)(channel); }
    double ead(int channel) { return GET_EXPORT(*driver_, ead)(channel); }
    int eb(int channel) { return GET_EXPORT(*driver_, eb)(channel); }
    int sa(int channel, int value) { return GET_EXPORT(*driver_, sa)(channel, value); }
    double sad(int channel, double volts) { return GET_EXPORT(*driver_, sad)(channel, volts); }
    int sb(int channel, int value) { return GET_EXPORT(*driver_, sb)(channel, value); }

    static firmsim_process *sim_;
    static loaded_driver *driver_;
};

firmsim_process *FirmwareEndToEnd::sim_ = nullptr;
loaded_driver *FirmwareEndToEnd::driver_ = nullptr;

TEST_F(FirmwareEndToEnd, AnalogInputsGiveWhatTheVoltageGives)
{
    set_analog(0, 2500);
    set_analog(1, 5000);
    set_analog(2, 0);
    const int half = ea(0);
    EXPECT_TRUE(half == 511 || half == 512) << half;
    EXPECT_EQ(ea(1), 1023);
    EXPECT_DOUBLE_EQ(ead(1), 1023 * 5.0 / 1024.0);
    EXPECT_EQ(ea(2), 0);
    EXPECT_EQ(ead(2), 0.0);
    for (int channel = 0; channel < analog_input_count; ++channel) {
        const int millivolts = 700 + 650 * channel;
        set_analog(channel, millivolts);
        const int reading = ea(channel);
        EXPECT_TRUE(reading_fits(reading, millivolts)) << "A" << channel << " read " << reading;
        const double volts = ead(channel);
        EXPECT_NEAR(volts, millivolts / 1000.0, 2 * 5.0 / 1024) << "A" << channel;
    }
    // Channels the board lacks are answered 0 at once, not after the limit.
    const long long start = now_ms();
    EXPECT_EQ(ea(6), 0);
    EXPECT_EQ(ea(10), 0);
    EXPECT_EQ(ead(-1), 0.0);
    EXPECT_LT(now_ms() - start, 900);
}

TEST_F(FirmwareEndToEnd, DigitalInputsReadBothLevelsOfTheirPin)
{
    for (int pin : digital_input_pins)
        set_input(pin, 0);
    for (int channel = 0; channel < 4; ++channel) {
        set_input(digital_input_pins[channel], 1);
        EXPECT_EQ(eb(channel), 1) << "channel " << channel;
        for (int other = 0; other < 4; ++other) {
            if (other == channel)
                continue;
            EXPECT_EQ(eb(other), 0) << "channel " << other << " while " << channel << " is high";
        }
        set_input(digital_input_pins[channel], 0);
        EXPECT_EQ(eb(channel), 0) << "channel " << channel;
    }
    // Channels without a pin ask for pin 0, which reads low.
    for (int pin : digital_input_pins)
        set_input(pin, 1);
    EXPECT_EQ(eb(4), 0);
    EXPECT_EQ(eb(-1), 0);
    EXPECT_EQ(eb(3), 1);
}

TEST_F(FirmwareEndToEnd, AnalogOutputsSetTheCompareValueOfTheirPin)
{
    for (int channel = 0; channel < 4; ++channel)
        sa(channel, 10);
    for (int channel = 0; channel < 4; ++channel) {
        const int value = 40 + 50 * channel;
        EXPECT_EQ(sa(channel, value), value / 2);
        auto outputs = outputs_after_settling();
        for (int other = 0; other < 4; ++other)
            EXPECT_EQ(outputs["pwm" + std::to_string(pwm_output_pins[other])], std::to_string(other == channel ? value : 10))
                << "after sa(" << channel << ", " << value << ")";
        sa(channel, 10);
    }
    EXPECT_EQ(sad(2, 2.0), 51.0);  // sends 102
    EXPECT_EQ(outputs_after_settling()["pwm6"], "102");
    sad(3, 5.0);
    sa(1, 0);
    auto outputs = outputs_after_settling();
    EXPECT_EQ(outputs["pwm9"], "255");
    EXPECT_EQ(outputs["pwm5"], "0");
}

TEST_F(FirmwareEndToEnd, DigitalOutputsSwitchTheirPin)
{
    for (int channel = 0; channel < 4; ++channel)
        sb(channel, 0);
    for (int channel = 0; channel < 4; ++channel) {
        EXPECT_EQ(sb(channel, 1), 1);
        auto outputs = outputs_after_settling();
        for (int other = 0; other < 4; ++other)
            EXPECT_EQ(outputs["d" + std::to_string(digital_output_pins[other])], other == channel ? "1" : "0")
                << "after sb(" << channel << ", 1)";
        EXPECT_EQ(sb(channel, 2), 2);  // anything but 1 is off
        EXPECT_EQ(outputs_after_settling()["d" + std::to_string(digital_output_pins[channel])], "0");
    }
}

TEST_F(FirmwareEndToEnd, ChannelsWithoutAPinChangeNothing)
{
    sa(0, 77);
    sb(1, 1);
    const auto before = outputs_after_settling();
    sa(4, 100);
    sa(8, 200);
    sa(-1, 50);
    sad(5, 3.0);
    sb(4, 1);   // sent for pin 0, the serial line, which the sketch leaves alone
    sb(8, 0);
    sb(-7, 1);
    EXPECT_EQ(outputs_after_settling(), before);
}

TEST_F(FirmwareEndToEnd, HaltedFirmwareGivesNeutralResultsThenWorksAgain)
{
    set_analog(4, 4000);
    set_input(digital_input_pins[2], 1);
    set("halt");
    long long start = now_ms();
    EXPECT_EQ(ea(4), 0);
    EXPECT_EQ(ead(4), 0.0);
    EXPECT_EQ(eb(2), 0);
    sa(0, 99);
    sb(0, 1);
    // Each input request waits its 1000 ms limit, no more: a generous bound.
    EXPECT_LT(now_ms() - start, 3 * 1000 + 2000);
    set("run");
    EXPECT_TRUE(reading_fits(ea(4), 4000));
    EXPECT_EQ(eb(2), 1);
    EXPECT_EQ(sa(0, 98), 49);
    EXPECT_EQ(outputs_after_settling()["pwm3"], "98");
}

// What the driver last set on every output pin, as the report shows it.
struct expected_outputs {
    std::map<std::string, std::string> fields;
    void analog(int channel, int value) { fields["pwm" + std::to_string(pwm_output_pins[channel])] = std::to_string(value); }
    void digital(int channel, int value)
    {
        fields["d" + std::to_string(digital_output_pins[channel])] = value == 1 ? "1" : "0";
    }
    void expect_in(const std::map<std::string, std::string> &outputs) const
    {
        for (const auto &[name, value] : fields)
            EXPECT_EQ(outputs.at(name), value) << name;
    }
};

TEST_F(FirmwareEndToEnd, ThousandMixedRequestsInRandomOrderAllAnswerRight)
{
    int millivolts[analog_input_count];
    for (int channel = 0; channel < analog_input_count; ++channel) {
        millivolts[channel] = 300 + 800 * channel;
        set_analog(channel, millivolts[channel]);
    }
    int level[4] = {1, 0, 1, 0};
    for (int channel = 0; channel < 4; ++channel)
        set_input(digital_input_pins[channel], level[channel]);

    std::mt19937 random(20261209);
    expected_outputs expected;
    int wrong = 0;
    std::string first_wrong;
    auto check = [&](bool right, const std::string &what) {
        if (!right && wrong++ == 0)
            first_wrong = what;
    };
    for (int request = 0; request < 1000; ++request) {
        if (request % 100 == 50) {  // the inputs move now and then
            const int channel = static_cast<int>(random() % 4);
            level[channel] ^= 1;
            set_input(digital_input_pins[channel], level[channel]);
        }
        const int kind = static_cast<int>(random() % 5);
        const std::string at = "request " + std::to_string(request) + ": ";
        if (kind == 0) {
            const int channel = static_cast<int>(random() % analog_input_count);
            const int reading = ea(channel);
            check(reading_fits(reading, millivolts[channel]), at + "ea(" + std::to_string(channel) + ") gave " +
                                                                  std::to_string(reading));
        } else if (kind == 1) {
            const int channel = static_cast<int>(random() % analog_input_count);
            const double volts = ead(channel);
            check(reading_fits(static_cast<int>(volts * 1024 / 5 + 0.5), millivolts[channel]),
                  at + "ead(" + std::to_string(channel) + ") gave " + std::to_string(volts));
        } else if (kind == 2) {
            const int channel = static_cast<int>(random() % 4);
            const int got = eb(channel);
            check(got == level[channel], at + "eb(" + std::to_string(channel) + ") gave " + std::to_string(got));
        } else if (kind == 3) {
            const int channel = static_cast<int>(random() % 4), value = static_cast<int>(random() % 256);
            sa(channel, value);
            expected.analog(channel, value);
        } else {
            const int channel = static_cast<int>(random() % 4), value = static_cast<int>(random() % 2);
            sb(channel, value);
            expected.digital(channel, value);
        }
    }
    EXPECT_EQ(wrong, 0) << "first: " << first_wrong;
    expected.expect_in(outputs_after_settling());
}

TEST_F(FirmwareEndToEnd, BurstOfOutputsArrivesWholeThenAReadingIsRight)
{
    set_analog(3, 1800);
    set_input(digital_input_pins[1], 1);
    ea(3);
    const long rx_before = std::atol(sim_->report()["rx"].c_str());
    std::mt19937 random(7);
    expected_outputs expected;
    long bytes = 0;
    const long long start = now_ms();
    for (int output = 0; output < 400; ++output) {
        const int channel = static_cast<int>(random() % 4);
        if (random() % 2) {
            const int value = static_cast<int>(random() % 256);
            sa(channel, value);
            expected.analog(channel, value);
            bytes += 4 + static_cast<long>(std::to_string(value).size());  // SA, pin, value, CR
        } else {
            const int value = static_cast<int>(random() % 2);
            sb(channel, value);
            expected.digital(channel, value);
            bytes += 5;  // SB, code, level, CR
        }
    }
    // Every byte reaches the chip: none lost, none cut off. The line takes
    // about 873 bytes a second; the bound is generous.
    ASSERT_TRUE(sim_->wait_for("rx", rx_before + bytes, 30000)) << sim_->report()["rx"];
    const double seconds = static_cast<double>(now_ms() - start) / 1000;
    std::printf("[ figures  ] %ld bytes of %d outputs reached the board in %.2f s: %.0f bytes/s\n", bytes, 400,
                seconds, bytes / seconds);
    EXPECT_EQ(std::atol(sim_->report()["rx"].c_str()), rx_before + bytes);
    EXPECT_TRUE(reading_fits(ea(3), 1800));
    EXPECT_EQ(eb(1), 1);
    expected.expect_in(outputs_after_settling());
}


// Each host session restarts the chip (a board resets when its port opens);
// the inputs firmsim was told to drive must hold through every restart.
class FirmwareAcrossSessions : public ::testing::Test {};

TEST_F(FirmwareAcrossSessions, SetInputsReadTheSameInEverySession)
{
    const std::string link = std::string(TEST_DEVICE_FOLDER) + "/ttyUSB0";
    unlink(link.c_str());
    firmsim_process sim(FIRMSIM_PROGRAM, {"--link", link, "--digital", "4=1", "--analog", "2=2500", FIRMSIM_FIRMWARE});
    ASSERT_FALSE(sim.failed());
    ASSERT_EQ(sim.command("pin 8 1"), "ok");
    for (int session = 1; session <= 3; ++session) {
        loaded_driver driver(TEST_LIBRARY_USB0);
        const int expected[] = {0, 1, 0, 1};  // pins 2, 4, 7, 8
        for (int channel = 0; channel < 4; ++channel)
            EXPECT_EQ(GET_EXPORT(driver, eb)(channel), expected[channel])
                << "session " << session << ", channel " << channel;
        const int half = GET_EXPORT(driver, ea)(2);
        EXPECT_TRUE(reading_fits(half, 2500)) << "session " << session << " read " << half;
        driver.unload();
        // The chip waits, its host gone, until the next session opens the port.
        ASSERT_TRUE(sim.wait_for_field("host", "closed", 5000)) << "session " << session;
    }
}

}  // namespace
