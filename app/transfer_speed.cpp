#include "app/transfer_speed.h"

#include <cmath>
#include <cstdio>

namespace quorell {

namespace {

constexpr auto kShortestMeasure = std::chrono::milliseconds(250);
constexpr std::int64_t kLongestEstimate = 100 * 3600;
constexpr const char* kLeft = "剩余";  // UTF-8, as every text of these figures

double Seconds(TransferSpeed::Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

}  // namespace

TransferSpeed::TransferSpeed(Clock::duration window) : window_(window) {}

void TransferSpeed::Start(Clock::time_point now, std::int64_t total, std::int64_t done) {
    running_ = true;
    total_ = total;
    start_ = now;
    start_done_ = done;
    samples_.clear();
    samples_.push_back({now, done});
}

void TransferSpeed::Sample(Clock::time_point now, std::int64_t done) {
    if (samples_.empty() || done < samples_.back().done) {
        start_ = now;
        start_done_ = done;
        samples_.clear();
    }
    if (!samples_.empty() && now < samples_.back().at) now = samples_.back().at;
    samples_.push_back({now, done});
    // Keep one point at or before the start of the window, to measure the window from.
    while (samples_.size() > 2 && samples_[1].at <= now - window_) samples_.pop_front();
}

std::optional<double> TransferSpeed::Rate() const {
    if (samples_.size() < 2) return std::nullopt;
    const Point& first = samples_.front();
    const Point& last = samples_.back();
    if (last.at - first.at < kShortestMeasure) return std::nullopt;
    return static_cast<double>(last.done - first.done) / Seconds(last.at - first.at);
}

std::optional<std::int64_t> TransferSpeed::SecondsLeft() const {
    const std::optional<double> rate = Rate();
    if (total_ < 0 || !rate || *rate <= 0) return std::nullopt;
    const std::int64_t rest = total_ - Done();
    if (rest <= 0) return 0;
    const double left = std::ceil(static_cast<double>(rest) / *rate);
    if (left > static_cast<double>(kLongestEstimate)) return std::nullopt;
    return static_cast<std::int64_t>(left);
}

std::optional<double> TransferSpeed::AverageRate() const {
    if (samples_.empty()) return std::nullopt;
    const Point& last = samples_.back();
    if (last.at <= start_) return std::nullopt;
    return static_cast<double>(last.done - start_done_) / Seconds(last.at - start_);
}

std::string TransferSpeed::Summary() const {
    const std::optional<double> rate = Rate();
    if (!rate) return {};
    std::string text = FormatRate(*rate);
    if (const std::optional<std::int64_t> left = SecondsLeft())
        text += " \xC2\xB7 " + FormatTimeLeft(*left);  // a middle dot
    return text;
}

std::string FormatBytes(double bytes) {
    static const char* const kUnits[] = {"B", "kB", "MB", "GB", "TB", "PB", "EB"};
    double value = std::isfinite(bytes) && bytes > 0 ? bytes : 0;
    std::size_t unit = 0;
    // Rounded as it will be shown, so 999.96 kB reads "1.0 MB", never "1000.0 kB".
    while (unit + 1 < std::size(kUnits) && std::round(value * 10) / 10 >= 1000) {
        value /= 1000;
        ++unit;
    }
    char buffer[32];
    if (unit == 0 || std::round(value * 10) / 10 >= 100) {
        std::snprintf(buffer, sizeof buffer, "%.0f %s", value, kUnits[unit]);
    } else {
        std::snprintf(buffer, sizeof buffer, "%.1f %s", value, kUnits[unit]);
    }
    return buffer;
}

std::string FormatRate(double bytes_per_second) {
    return FormatBytes(bytes_per_second) + "/s";
}

std::string FormatTimeLeft(std::int64_t seconds) {
    if (seconds < 0) seconds = 0;
    const std::int64_t h = seconds / 3600;
    const std::int64_t m = seconds / 60 % 60;
    const std::int64_t s = seconds % 60;
    char buffer[48];
    if (h > 0) {
        std::snprintf(buffer, sizeof buffer, "%s %lld:%02lld:%02lld", kLeft,
                      static_cast<long long>(h), static_cast<long long>(m),
                      static_cast<long long>(s));
    } else {
        std::snprintf(buffer, sizeof buffer, "%s %lld:%02lld", kLeft, static_cast<long long>(m),
                      static_cast<long long>(s));
    }
    return buffer;
}

}  // namespace quorell
