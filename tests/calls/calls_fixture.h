#pragma once

// Calls controllers in memory: what one tells its window (Recorder), the session between two of
// them (Pipe: each message delivered in order from a thread of its own, like a session's), and
// two controllers on 127.0.0.1 joined by a pair of pipes (JoinedCalls).

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "call_pair.h"
#include "calls/session_calls.h"

namespace quorell::calls::test {

using namespace std::chrono_literals;
using media::MediaKind;

struct Told {
    enum class What { kPhase, kEnded, kProblem };
    What what;
    MediaKind kind;
    CallPhase phase = CallPhase::kIdle;
    CallEnd why = CallEnd::kClosed;
    std::string text;
};

class Recorder : public ISessionCallsEvents {
public:
    void CallPhaseChanged(MediaKind kind, CallPhase phase) override {
        Add({Told::What::kPhase, kind, phase, {}, {}});
        if (on_phase) on_phase(kind, phase);
    }
    void CallEnded(MediaKind kind, CallEnd why, const std::string& detail) override {
        Add({Told::What::kEnded, kind, {}, why, detail});
    }
    void CallProblem(MediaKind kind, const std::string& text) override {
        Add({Told::What::kProblem, kind, {}, {}, text});
    }
    void PeerVideoFrame(const media::VideoFrame& frame) override {
        frame_width = frame.width;
        frame_height = frame.height;
        ++frames;
    }

    // Waits for `pred` over everything told so far.
    bool WaitFor(const std::function<bool(const std::vector<Told>&)>& pred,
                 std::chrono::milliseconds timeout = 20s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return pred(told_); });
    }
    // Waits for the end of a call of `kind`, the `nth` one told (from 1).
    std::optional<Told> WaitEnd(MediaKind kind, int nth = 1,
                                std::chrono::milliseconds timeout = 20s) {
        std::optional<Told> found;
        WaitFor(
            [&](const std::vector<Told>& told) {
                int seen = 0;
                for (const Told& t : told) {
                    if (t.what == Told::What::kEnded && t.kind == kind && ++seen == nth) {
                        found = t;
                        return true;
                    }
                }
                return false;
            },
            timeout);
        return found;
    }
    bool WaitPhase(MediaKind kind, CallPhase phase, std::chrono::milliseconds timeout = 20s) {
        return WaitFor(
            [&](const std::vector<Told>& told) {
                for (auto it = told.rbegin(); it != told.rend(); ++it) {
                    if (it->what == Told::What::kPhase && it->kind == kind) {
                        return it->phase == phase;
                    }
                }
                return phase == CallPhase::kIdle;
            },
            timeout);
    }
    std::vector<Told> All() {
        std::lock_guard lock(mutex_);
        return told_;
    }
    std::size_t Ends() {
        std::size_t n = 0;
        for (const Told& t : All()) n += t.what == Told::What::kEnded;
        return n;
    }
    // The threads events came from (frames aside): one, never the test's.
    std::set<std::thread::id> Threads() {
        std::lock_guard lock(mutex_);
        return threads_;
    }

    std::function<void(MediaKind, CallPhase)> on_phase;  // before the test body starts
    std::atomic<int> frames{0};
    std::atomic<int> frame_width{0};
    std::atomic<int> frame_height{0};

private:
    void Add(Told t) {
        {
            std::lock_guard lock(mutex_);
            told_.push_back(std::move(t));
            threads_.insert(std::this_thread::get_id());
        }
        changed_.notify_all();
    }
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Told> told_;
    std::set<std::thread::id> threads_;
};

// One direction of the session: every message sent is kept, and delivered in order to `to`
// from the pipe's own thread unless held back.
class Pipe {
public:
    Pipe() : thread_([this] { Run(); }) {}
    ~Pipe() { Shut(); }

    void Connect(SessionCalls* to) {
        std::lock_guard lock(mutex_);
        to_ = to;
    }
    bool Send(const session::CallMessage& message) {
        {
            std::lock_guard lock(mutex_);
            if (shut_) return false;
            sent_.push_back(message);
            queue_.push_back(message);
        }
        wake_.notify_all();
        return true;
    }
    // While held, messages wait in the pipe.
    void Hold(bool held) {
        {
            std::lock_guard lock(mutex_);
            held_ = held;
        }
        wake_.notify_all();
    }
    std::vector<session::CallMessage> Sent() {
        std::lock_guard lock(mutex_);
        return sent_;
    }
    // The session ends: nothing more is taken or delivered.
    void Shut() {
        {
            std::lock_guard lock(mutex_);
            shut_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable()) thread_.join();
    }

private:
    void Run() {
        std::unique_lock lock(mutex_);
        while (true) {
            wake_.wait(lock, [this] { return shut_ || (!held_ && to_ && !queue_.empty()); });
            if (shut_) return;
            auto message = std::move(queue_.front());
            queue_.pop_front();
            SessionCalls* to = to_;
            lock.unlock();
            to->OnMessage(message);
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<session::CallMessage> queue_;
    std::vector<session::CallMessage> sent_;
    SessionCalls* to_ = nullptr;
    bool held_ = false;
    bool shut_ = false;
    std::thread thread_;
};

// The received voice of one side, for the tone checks of call_pair.h.
struct Ears {
    media::test::Heard heard;
    media::VoiceOutput Output() {
        media::VoiceOutput out;
        out.on_samples = [this](const media::VoiceSamples& block) {
            std::lock_guard lock(heard.mutex);
            heard.samples.insert(heard.samples.end(), block.samples,
                                 block.samples + block.frames * block.channels);
            if (heard.samples.size() > 48000) {
                heard.samples.erase(heard.samples.begin(), heard.samples.end() - 48000);
            }
            heard.sample_count += block.frames;
        };
        return out;
    }
    std::vector<std::int16_t> Latest(std::size_t count) {
        std::lock_guard lock(heard.mutex);
        const std::size_t n = std::min(count, heard.samples.size());
        return {heard.samples.end() - n, heard.samples.end()};
    }
    // 100 ms of the tone in a row, the latest heard.
    bool Hears(double hz) { return media::test::ToneShare(Latest(4800), hz) > 0.8; }
};

inline SessionCallsConfig LoopbackConfig(bool dialled, double tone_hz, Ears* ears) {
    SessionCallsConfig config;
    config.peer_address = "127.0.0.1";
    config.local_addresses = {"127.0.0.1"};
    config.dialled = dialled;
    config.voice_source.kind = media::VoiceSource::Kind::kTone;
    config.voice_source.tone_hz = tone_hz;
    if (ears) config.voice_output = ears->Output();
    config.video_source.kind = media::VideoSource::Kind::kPattern;
    return config;
}

// Two controllers joined in memory: `a` dialled the session, `a` sends 440 Hz, `b` 1000 Hz.
struct JoinedCalls {
    Ears ears_a, ears_b;
    std::shared_ptr<Recorder> told_a = std::make_shared<Recorder>();
    std::shared_ptr<Recorder> told_b = std::make_shared<Recorder>();
    Pipe a_to_b, b_to_a;
    std::unique_ptr<SessionCalls> a, b;

    explicit JoinedCalls(const std::function<void(SessionCallsConfig&)>& adjust_b = {}) {
        a = std::make_unique<SessionCalls>(
            LoopbackConfig(true, 440, &ears_a),
            [this](const session::CallMessage& m) { return a_to_b.Send(m); }, told_a);
        SessionCallsConfig config_b = LoopbackConfig(false, 1000, &ears_b);
        if (adjust_b) adjust_b(config_b);
        b = std::make_unique<SessionCalls>(
            std::move(config_b), [this](const session::CallMessage& m) { return b_to_a.Send(m); },
            told_b);
        a_to_b.Connect(b.get());
        b_to_a.Connect(a.get());
    }
    ~JoinedCalls() {
        a_to_b.Shut();
        b_to_a.Shut();
        a.reset();
        b.reset();
    }
    bool BothIn(MediaKind kind, CallPhase phase) {
        return told_a->WaitPhase(kind, phase) && told_b->WaitPhase(kind, phase);
    }
};

// Waits for `pred`, polling.
inline bool Eventually(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 20s) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

template <typename T>
std::vector<T> OfType(const std::vector<session::CallMessage>& messages) {
    std::vector<T> out;
    for (const auto& m : messages) {
        if (auto* x = std::get_if<T>(&m)) out.push_back(*x);
    }
    return out;
}

}  // namespace quorell::calls::test
