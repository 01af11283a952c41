// A board's stream (board_stream.cpp): the sketch samples on its own timer
// and sends framed records; a thread of the board object's reads them into
// a ring of samples that ab_stream_read takes from.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "arduinoboard.h"
#include "protocol/stream_decoder.h"

struct ab_board;

class board_stream {
public:
    board_stream(ab_board &board, unsigned analog_mask, unsigned digital_mask, int32_t interval_us);
    ~board_stream();
    board_stream(const board_stream &) = delete;
    board_stream &operator=(const board_stream &) = delete;

    // Starts the reading thread; false when it cannot be had.
    bool start();

    // Up to `max` samples, waiting at most timeout_ms for the first. AB_OK
    // with what there is (perhaps none); once the stream has ended and its
    // samples are taken, why it ended; AB_NO_ANSWER when the board has sent
    // nothing for longer than it ever should.
    ab_status read(ab_sample *samples, size_t max, int timeout_ms, size_t *count, std::string *why);

    // Asks the sketch to end the stream and waits for the thread; AB_OK when
    // the sketch said it ended.
    ab_status stop(std::string *why);

    // Sends every read waiting on the stream back with `status`: the board
    // is being closed.
    void end_reads(ab_status status, const std::string &why) { end(status, why); }

private:
    void run();
    void keep(const std::vector<decoded_frame> &frames, int64_t arrived_ns);
    bool stop_seen(const std::string &text) const;
    void end(ab_status status, const std::string &why);

    ab_board &board_;
    const unsigned analog_mask_, digital_mask_;
    const int32_t interval_us_;
    stream_decoder decoder_;
    int wake_fd_ = -1;
    std::thread thread_;

    std::mutex lock_;  // guards what follows
    std::condition_variable arrived_;
    std::vector<ab_sample> ring_;
    size_t first_ = 0, held_ = 0;
    bool stopping_ = false, ended_ = false, confirmed_ = false;
    ab_status end_status_ = AB_OK;
    std::string end_why_;
    int64_t last_frame_monotonic_ns_ = 0;
    uint32_t next_sequence_ = 0;
    uint32_t last_time_us_ = 0;
    int64_t time_high_us_ = 0;  // the board's clock beyond its 32 bits
    bool first_frame_ = true;
    // The reading thread's own: the bad frames told to the link so far.
    uint64_t out_of_order_ = 0, bad_told_ = 0;
};
