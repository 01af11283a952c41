// The library reaching a board on another machine, for real on the loopback
// address: the sketch's firmware on firmsim behind ser2net, the library on
// the pseudo-terminal link that socat makes, named by ARDUINODRV_PORT. One
// bridge and one load of the library serve the cases, in the order written.
#include <gtest/gtest.h>

#include "driver_loader.h"
#include "firmsim_process.h"
#include "network_bridge.h"
#include "protocol/board_channels.h"

#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int input_level[] = {1, 0, 1, 0};  // what firmsim drives on the digital inputs

int input_millivolts(int channel)
{
    return 600 + 750 * channel;
}

long long now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// What a 10-bit converter on 5 V reads for a voltage; the chip may round
// either way.
bool reading_fits(int reading, int millivolts)
{
    return std::abs(reading - std::min(1023, millivolts * 1024 / 5000)) <= 1;
}

std::string file_text(const std::string &path)
{
    std::string text;
    if (FILE *file = std::fopen(path.c_str(), "r")) {
        char bytes[4096];
        size_t count;
        while ((count = std::fread(bytes, 1, sizeof bytes, file)) > 0)
            text.append(bytes, count);
        std::fclose(file);
    }
    return text;
}

class BoardThroughNetworkBridge : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        const std::string ser2net = find_program("ser2net"), socat = find_program("socat");
        if (ser2net.empty() || socat.empty()) {
            missing_ = "ser2net or socat is not installed (scripts/setup.sh installs both)";
            return;
        }
        const std::string folder = BRIDGE_TEST_FOLDER;
        mkdir(folder.c_str(), 0755);
        std::vector<std::string> arguments;
        for (int channel = 0; channel < analog_input_count; ++channel)
            arguments.insert(arguments.end(),
                             {"--analog", std::to_string(channel) + "=" + std::to_string(input_millivolts(channel))});
        for (int channel = 0; channel < 4; ++channel)
            arguments.insert(arguments.end(), {"--digital", std::to_string(digital_input_pins[channel]) + "=" +
                                                                std::to_string(input_level[channel])});
        arguments.push_back(FIRMSIM_FIRMWARE);
        sim_ = std::make_unique<firmsim_process>(FIRMSIM_PROGRAM, arguments);
        if (sim_->failed())
            return;
        const int port = free_loopback_port();
        server_ = std::make_unique<ser2net_server>(ser2net, folder, sim_->slave_path(), port);
        if (!server_->start())
            return;
        const std::string link = folder + "/remote-board";
        unlink(link.c_str());
        client_ = std::make_unique<socat_link>(socat, link, port, folder + "/socat.log");
        if (!client_->start() || !client_->wait_for_link(10000))
            return;
        setenv("ARDUINODRV_PORT", link.c_str(), 1);
        driver_ = std::make_unique<loaded_driver>(TEST_LIBRARY_USB0);
    }

    static void TearDownTestSuite()
    {
        driver_.reset();
        client_.reset();
        server_.reset();
        sim_.reset();
    }

    void SetUp() override
    {
        if (!missing_.empty())
            GTEST_SKIP() << missing_;
        ASSERT_NE(driver_, nullptr) << "the bridge did not come up; see " << BRIDGE_TEST_FOLDER
                                    << "/ser2net.log and socat.log:\n"
                                    << file_text(std::string(BRIDGE_TEST_FOLDER) + "/ser2net.log")
                                    << file_text(std::string(BRIDGE_TEST_FOLDER) + "/socat.log");
    }

    int ea(int channel) { return GET_EXPORT(*driver_, ea)(channel); }
    double ead(int channel) { return GET_EXPORT(*driver_, ead)(channel); }
    int eb(int channel) { return GET_EXPORT(*driver_, eb)(channel); }
    int sa(int channel, int value) { return GET_EXPORT(*driver_, sa)(channel, value); }
    int sb(int channel, int value) { return GET_EXPORT(*driver_, sb)(channel, value); }

    // Outputs go without answer: an answered request after them means the
    // firmware has taken every line before it. Then what its pins show
    // must be what was last set.
    void expect_outputs(const std::map<std::string, std::string> &expected, int request)
    {
        ea(0);
        auto shown = sim_->report();
        for (const auto &[pin, value] : expected)
            EXPECT_EQ(shown[pin], value) << pin << " after request " << request;
    }

    // `count` requests of every kind in a random order, each answer checked
    // against what firmsim was told, the outputs against its pins.
    void mixed_requests(int count, unsigned seed)
    {
        std::mt19937 random(seed);
        std::map<std::string, std::string> outputs;
        for (int request = 1; request <= count; ++request) {
            const int channel = static_cast<int>(random() % 4);
            switch (random() % 5) {
            case 0: {
                const int analog = static_cast<int>(random() % analog_input_count);
                const int reading = ea(analog);
                EXPECT_TRUE(reading_fits(reading, input_millivolts(analog)))
                    << "ea(" << analog << ") = " << reading << ", request " << request;
                break;
            }
            case 1: {
                const int analog = static_cast<int>(random() % analog_input_count);
                EXPECT_NEAR(ead(analog), input_millivolts(analog) / 1000.0, 2 * 5.0 / 1024)
                    << "ead(" << analog << "), request " << request;
                break;
            }
            case 2:
                EXPECT_EQ(eb(channel), input_level[channel]) << "eb(" << channel << "), request " << request;
                break;
            case 3: {
                const int duty = static_cast<int>(random() % 256);
                sa(channel, duty);
                outputs["pwm" + std::to_string(pwm_output_pins[channel])] = std::to_string(duty);
                break;
            }
            default: {
                const int level = static_cast<int>(random() % 2);
                sb(channel, level);
                outputs["d" + std::to_string(digital_output_pins[channel])] = std::to_string(level);
                break;
            }
            }
            if (request % 25 == 0 || request == count)
                expect_outputs(outputs, request);
        }
    }

    static inline std::string missing_;
    static inline std::unique_ptr<firmsim_process> sim_;
    static inline std::unique_ptr<ser2net_server> server_;
    static inline std::unique_ptr<socat_link> client_;
    static inline std::unique_ptr<loaded_driver> driver_;
};

TEST_F(BoardThroughNetworkBridge, MixedRequestsAreAllRight)
{
    mixed_requests(200, 17);
}

TEST_F(BoardThroughNetworkBridge, ReadingsComeBackAfterTheServerRestarts)
{
    server_->stop();
    // The bridge down: a neutral result in the request's usual time.
    const long long asked = now_ms();
    EXPECT_EQ(ea(2), 0);
    EXPECT_LT(now_ms() - asked, 3000);

    ASSERT_TRUE(server_->start()) << file_text(server_->log());
    // socat connects again, ser2net opens the board's port, the board
    // restarts; the library opens the new link at a request.
    const long long back = now_ms();
    int reading = 0;
    while (!reading_fits(reading, input_millivolts(2)) && now_ms() - back < 30000)
        reading = ea(2);
    ASSERT_TRUE(reading_fits(reading, input_millivolts(2)))
        << "no right reading 30 s after the server came back; socat's log:\n"
        << file_text(client_->log());
    mixed_requests(50, 29);
}

}  // namespace
