#pragma once

#include <QElapsedTimer>
#include <QTimer>
#include <cmath>
#include <cstdint>
#include <deque>
#include <memory>
#include <numbers>
#include <span>
#include <vector>

#include "audio/wave_devices.h"

namespace quorell::test {

// An input device that records a signal instead of a microphone. Once opened it delivers the
// signal in real time, a portion every 20 ms, when an application object runs the event loop;
// tests can also hand samples over themselves with Feed or Produce.
class FakeToneInput : public IWaveInputDevice {
public:
    enum class Signal {
        kSine,  // 440 Hz at a quarter of full scale
        kRamp,  // value i is sample i counted over all channels, wrapping at 16 bits
    };

    int Open(int rate, int channels, DataHandler handler) override {
        ++opens;
        opened_rate = rate;
        opened_channels = channels;
        if (open_result != 0) return open_result;
        handler_ = std::move(handler);
        if (paced) {
            timer_ = std::make_unique<QTimer>();
            clock_.start();
            QObject::connect(timer_.get(), &QTimer::timeout, [this] {
                const std::int64_t due = clock_.elapsed() * opened_rate / 1000;
                Produce(static_cast<int>(due - frames_));
            });
            timer_->start(20);
        }
        return 0;
    }

    // Hands samples to the recording component as the device would.
    void Feed(std::span<const std::int16_t> samples) {
        if (handler_) handler_(samples);
    }
    // The next frames of the signal.
    void Produce(int frames) {
        if (frames <= 0 || opened_channels <= 0) return;
        std::vector<std::int16_t> samples;
        for (int f = 0; f < frames; ++f, ++frames_) {
            for (int c = 0; c < opened_channels; ++c) samples.push_back(Value(values_++));
        }
        Feed(samples);
    }
    std::int16_t Value(std::int64_t i) const {
        if (signal == Signal::kRamp) return static_cast<std::int16_t>(i & 0xFFFF);
        const double t = static_cast<double>(i / opened_channels) / opened_rate;
        return static_cast<std::int16_t>(8192 * std::sin(2 * std::numbers::pi * 440 * t));
    }
    bool Opened() const { return static_cast<bool>(handler_); }

    int open_result = 0;
    bool paced = false;
    Signal signal = Signal::kRamp;
    int opens = 0;
    int opened_rate = 0;
    int opened_channels = 0;

private:
    DataHandler handler_;
    std::unique_ptr<QTimer> timer_;
    QElapsedTimer clock_;
    std::int64_t frames_ = 0;
    std::int64_t values_ = 0;
};

// An output device that keeps every block written to it. Blocks are reported played when the
// test calls PlayAll, or at once when play_at_once is set.
class FakeRecordingOutput : public IWaveOutputDevice {
public:
    int Open(int rate, int channels, PlayedHandler played) override {
        ++opens;
        opened_rate = rate;
        opened_channels = channels;
        if (open_result != 0) return open_result;
        played_ = std::move(played);
        return 0;
    }
    int Write(std::span<const std::int16_t> samples, std::uint64_t* id) override {
        ++writes;
        if (write_result != 0) return write_result;
        blocks.emplace_back(samples.begin(), samples.end());
        *id = next_id_++;
        queued_.push_back(*id);
        if (play_at_once) PlayAll();
        return 0;
    }
    void Close() override {
        ++closes;
        queued_.clear();
        played_ = nullptr;
    }

    // Reports every queued block played, in the order written.
    void PlayAll() {
        while (PlayOldest()) {
        }
    }
    // Reports the oldest queued block played; false when none is queued.
    bool PlayOldest() {
        if (queued_.empty()) return false;
        const std::uint64_t id = queued_.front();
        queued_.pop_front();
        if (played_) played_(id);
        return true;
    }
    std::size_t Queued() const { return queued_.size(); }
    // The device goes away after opening: writes fail with error, and so does opening it again,
    // until it comes back.
    void Lose(int error) { write_result = open_result = error; }
    void ComeBack() { write_result = open_result = 0; }
    // Every sample written, in order.
    std::vector<std::int16_t> AllSamples() const {
        std::vector<std::int16_t> all;
        for (const auto& b : blocks) all.insert(all.end(), b.begin(), b.end());
        return all;
    }
    int open_result = 0;
    int write_result = 0;
    bool play_at_once = false;
    int opens = 0;
    int writes = 0;
    int closes = 0;
    int opened_rate = 0;
    int opened_channels = 0;
    std::vector<std::vector<std::int16_t>> blocks;

private:
    PlayedHandler played_;
    std::deque<std::uint64_t> queued_;
    std::uint64_t next_id_ = 1;
};

}  // namespace quorell::test
