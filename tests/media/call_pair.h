#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "media/call.h"

namespace quorell::media::test {

// What one call said to the other, in order: the session's part, in memory.
class SignalingQueue {
public:
    using Item = std::variant<Description, Candidate>;
    void Push(Item item) {
        std::lock_guard lock(mutex_);
        items_.push_back(std::move(item));
    }
    std::deque<Item> Take() {
        std::lock_guard lock(mutex_);
        return std::exchange(items_, {});
    }

private:
    std::mutex mutex_;
    std::deque<Item> items_;
};

// What a test call heard through its events and its outputs (the streaming threads write the
// counters; the rest under the lock).
struct Heard {
    std::mutex mutex;
    std::vector<CallState> states;
    std::vector<std::string> problems;
    std::vector<std::string> refusals;  // of what the peer sent, as Handle* returned
    std::vector<std::int16_t> samples;  // the latest second of received voice
    std::atomic<std::size_t> sample_count{0};
    std::atomic<int> frames{0};
    std::atomic<int> frame_width{0};
    std::atomic<int> frame_height{0};

    bool Saw(CallState s) {
        std::lock_guard lock(mutex);
        for (CallState x : states) {
            if (x == s) return true;
        }
        return false;
    }
    std::size_t Problems() {
        std::lock_guard lock(mutex);
        return problems.size();
    }
};

// A call whose events land in a Heard and whose descriptions and candidates go to `out`.
inline std::unique_ptr<Call> MakeCall(CallConfig config, Heard& heard, SignalingQueue& out) {
    config.peer_address = "127.0.0.1";
    config.local_addresses = {"127.0.0.1"};
    // A call given a sink of the sound server plays to it; the others are heard here.
    if (config.voice && !config.voice_output.on_samples && config.voice_output.device.empty()) {
        config.voice_output.on_samples = [&heard](const VoiceSamples& block) {
            std::lock_guard lock(heard.mutex);
            heard.samples.insert(heard.samples.end(), block.samples,
                                 block.samples + block.frames * block.channels);
            if (heard.samples.size() > 48000) {
                heard.samples.erase(heard.samples.begin(), heard.samples.end() - 48000);
            }
            heard.sample_count += block.frames;
        };
    }
    if (config.video && !config.video_output.on_frame) {
        config.video_output.on_frame = [&heard](const VideoFrame& frame) {
            heard.frame_width = frame.width;
            heard.frame_height = frame.height;
            ++heard.frames;
        };
    }
    CallEvents events;
    events.on_description = [&out](const Description& d) { out.Push(d); };
    events.on_candidate = [&out](const Candidate& c) { out.Push(c); };
    events.on_state = [&heard](CallState s) {
        std::lock_guard lock(heard.mutex);
        heard.states.push_back(s);
    };
    events.on_problem = [&heard](const std::string& text) {
        std::lock_guard lock(heard.mutex);
        heard.problems.push_back(text);
    };
    return std::make_unique<Call>(std::move(config), std::move(events));
}

// Hands what was queued for `to` to it; refusals are kept in `heard`.
inline void Deliver(SignalingQueue& queue, Call& to, Heard& heard) {
    for (auto& item : queue.Take()) {
        std::optional<std::string> refusal;
        if (auto* d = std::get_if<Description>(&item)) {
            refusal = to.HandleDescription(*d);
        } else {
            refusal = to.HandleCandidate(std::get<Candidate>(item));
        }
        if (refusal) {
            std::lock_guard lock(heard.mutex);
            heard.refusals.push_back(*refusal);
        }
    }
}

// Two calls in one process on 127.0.0.1: `a` dials, `b` answers; the test's thread carries
// the signaling between them while it waits.
struct CallPair {
    Heard heard_a, heard_b;
    SignalingQueue a_to_b, b_to_a;
    std::unique_ptr<Call> a, b;

    CallPair(CallConfig config_a, CallConfig config_b) {
        config_a.dialling = true;
        config_b.dialling = false;
        a = MakeCall(std::move(config_a), heard_a, a_to_b);
        b = MakeCall(std::move(config_b), heard_b, b_to_a);
    }
    void Start() {
        ASSERT_EQ(b->Start(), std::nullopt);
        ASSERT_EQ(a->Start(), std::nullopt);
    }
    // Carries the signaling until pred() holds or the time runs out.
    bool PumpUntil(const std::function<bool()>& pred,
                   std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (true) {
            Deliver(a_to_b, *b, heard_b);
            Deliver(b_to_a, *a, heard_a);
            if (pred()) return true;
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
};

inline CallConfig ToneCall(double hz) {
    CallConfig config;
    config.voice = true;
    config.voice_source.kind = VoiceSource::Kind::kTone;
    config.voice_source.tone_hz = hz;
    return config;
}

inline CallConfig PatternCall() {
    CallConfig config;
    config.voice = false;
    config.video = true;
    config.video_source.kind = VideoSource::Kind::kPattern;
    return config;
}

// The share of the samples' energy at `hz` (Goertzel), 0 to 1 for a pure tone.
inline double ToneShare(const std::vector<std::int16_t>& samples, double hz, int rate = 48000) {
    if (samples.empty()) return 0;
    const double w = 2 * M_PI * hz / rate;
    const double coeff = 2 * std::cos(w);
    double s1 = 0, s2 = 0, total = 0;
    for (std::int16_t x : samples) {
        const double s0 = x + coeff * s1 - s2;
        s2 = s1;
        s1 = s0;
        total += double(x) * x;
    }
    const double power = s1 * s1 + s2 * s2 - coeff * s1 * s2;
    if (total <= 0) return 0;
    return 2 * power / (samples.size() * total);
}

inline double Rms(const std::vector<std::int16_t>& samples) {
    double sum = 0;
    for (std::int16_t x : samples) sum += double(x) * x;
    return samples.empty() ? 0 : std::sqrt(sum / samples.size());
}

}  // namespace quorell::media::test
