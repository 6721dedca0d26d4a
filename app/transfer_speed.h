#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

namespace quorell {

// The speed of one file transfer: the rate over the last few seconds, the time left at that
// rate, and the average over the whole transfer. Fed with the count of bytes moved so far
// whenever the window looks; knows nothing of sockets or widgets.
class TransferSpeed {
public:
    using Clock = std::chrono::steady_clock;

    explicit TransferSpeed(Clock::duration window = std::chrono::seconds(3));

    // A transfer of total bytes (negative: not known), done of them already moved, is measured
    // from now; forgets the last one.
    void Start(Clock::time_point now, std::int64_t total, std::int64_t done = 0);
    // done bytes have moved by now. A count that goes back (a new file under way) starts the
    // measure afresh from it.
    void Sample(Clock::time_point now, std::int64_t done);
    // Ends the measure; the figures stay for the average.
    void Stop() { running_ = false; }

    bool Running() const { return running_; }
    std::int64_t Done() const { return samples_.empty() ? 0 : samples_.back().done; }
    std::int64_t Total() const { return total_; }

    // Bytes a second over the last window; nothing before the measure spans a quarter second.
    std::optional<double> Rate() const;
    // Whole seconds left at the current rate (rounded up); nothing when the total is unknown,
    // the rate is nothing or zero, or the answer would exceed 100 hours.
    std::optional<std::int64_t> SecondsLeft() const;
    // Bytes a second from the start to the last sample; nothing before any time has passed.
    std::optional<double> AverageRate() const;

    // "1.2 MB/s · 剩余 0:42", "1.2 MB/s", or "" while nothing can be said yet (UTF-8).
    std::string Summary() const;

private:
    struct Point {
        Clock::time_point at;
        std::int64_t done;
    };
    Clock::duration window_;
    bool running_ = false;
    std::int64_t total_ = -1;
    Clock::time_point start_{};
    std::int64_t start_done_ = 0;
    std::deque<Point> samples_;
};

// "512 B", "12.3 kB", "5.0 MB": powers of 1000, one decimal below 100 of the unit.
std::string FormatBytes(double bytes);
// "512 B/s", "12.5 kB/s", "1.2 MB/s", "850 MB/s": powers of 1000, one decimal below 100 of
// the unit.
std::string FormatRate(double bytes_per_second);
// "剩余 0:42", "剩余 12:05", "剩余 1:02:03" (UTF-8: time left).
std::string FormatTimeLeft(std::int64_t seconds);

}  // namespace quorell
