#include "fake_board.h"

#include "board_protocol.h"

#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

// The sketch's side of the board: its interpreter, reading and setting pins.
struct fake_board::sketch final : board_io {
    sketch_pins pins;
    std::string answer;
    command_interpreter interpreter{*this, 6};

    uint16_t read_analog(uint8_t channel) override { return channel < 8 ? pins.analog[channel] : 0; }
    bool read_digital(uint8_t pin) override { return pin < 14 && pins.input_high[pin]; }
    void write_pwm(uint8_t pin, uint8_t duty) override
    {
        if (pin < 14)
            pins.pwm_duty[pin] = duty;
    }
    void write_digital(uint8_t pin, bool high) override
    {
        if (pin < 14)
            pins.output_level[pin] = high ? 1 : 0;
    }
    void send(uint8_t byte) override { answer.push_back(static_cast<char>(byte)); }
};

fake_board::fake_board(const std::string &folder, const std::string &name)
    : link_(folder + "/" + name)
{
    char slave_name[128];
    if (openpty(&master_fd_, &slave_fd_, slave_name, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    slave_ = slave_name;
    fcntl(master_fd_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_fd_, F_SETFD, FD_CLOEXEC);
    // Raw on both sides until the driver sets its own line settings.
    termios raw{};
    tcgetattr(slave_fd_, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave_fd_, TCSANOW, &raw);
    unlink(link_.c_str());
    if (symlink(slave_.c_str(), link_.c_str()) != 0)
        throw std::runtime_error("symlink failed: " + link_);
    if (pipe2(stop_pipe_, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    thread_ = std::thread([this] { serve(); });
}

fake_board::~fake_board()
{
    char stop = 1;
    (void)!write(stop_pipe_[1], &stop, 1);
    thread_.join();
    close(stop_pipe_[0]);
    close(stop_pipe_[1]);
    if (master_fd_ >= 0)
        close(master_fd_);
    close(slave_fd_);
    unlink(link_.c_str());
}

void fake_board::respond_with(std::function<board_reply(const std::string &)> responder)
{
    std::lock_guard<std::mutex> lock(mutex_);
    responder_ = std::move(responder);
}

void fake_board::answer_as_sketch(const sketch_pins &pins)
{
    std::lock_guard<std::mutex> lock(mutex_);
    responder_ = nullptr;
    sketch_ = std::make_unique<sketch>();
    sketch_->pins = pins;
}

sketch_pins fake_board::pins()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return sketch_ ? sketch_->pins : sketch_pins();
}

void fake_board::send(const std::string &bytes)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (master_fd_ >= 0)
        (void)!write(master_fd_, bytes.data(), bytes.size());
}

std::string fake_board::received()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

void fake_board::clear_received()
{
    std::lock_guard<std::mutex> lock(mutex_);
    received_.clear();
    line_.clear();
}

bool fake_board::wait_received(size_t count, int timeout_ms)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return arrived_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [&] { return received_.size() >= count; });
}

void fake_board::hang_up()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (master_fd_ >= 0)
        close(master_fd_);
    master_fd_ = -1;
}

void fake_board::serve()
{
    for (;;) {
        int master;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            master = master_fd_;
        }
        pollfd fds[2] = {{stop_pipe_[0], POLLIN, 0}, {master, POLLIN, 0}};
        const int nfds = master >= 0 ? 2 : 1;
        if (poll(fds, nfds, 20) < 0)
            continue;
        if (fds[0].revents & POLLIN)
            return;
        if (nfds < 2 || !(fds[1].revents & POLLIN))
            continue;
        char buffer[512];
        const ssize_t got = read(master, buffer, sizeof buffer);
        if (got <= 0)
            continue;
        std::unique_lock<std::mutex> lock(mutex_);
        received_.append(buffer, static_cast<size_t>(got));
        arrived_.notify_all();
        if (sketch_) {
            for (ssize_t i = 0; i < got; ++i)
                sketch_->interpreter.feed(static_cast<uint8_t>(buffer[i]));
            const std::string answer = std::move(sketch_->answer);
            sketch_->answer.clear();
            lock.unlock();
            if (!answer.empty())
                send(answer);
            continue;
        }
        for (ssize_t i = 0; i < got; ++i) {
            if (buffer[i] != '\r') {
                line_.push_back(buffer[i]);
                continue;
            }
            const std::string line = line_;
            line_.clear();
            if (!responder_)
                continue;
            const board_reply reply = responder_(line);
            if (reply.bytes.empty())
                continue;
            lock.unlock();
            if (reply.delay_ms > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(reply.delay_ms));
            send(reply.bytes);
            lock.lock();
        }
    }
}
