// Calls while the network loses a share of the datagrams. Run by scripts/netns-run, which drops
// them inside a network namespace of its own (only its loopback, so nothing leaves the machine)
// and says how much in QUORELL_LOSS_PERCENT; without it the tests skip.
#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>

#include "call_pair.h"
#include "sanitizers.h"

namespace quorell::media::test {
namespace {

class MediaCallLoss : public testing::Test {
protected:
    void SetUp() override {
        const char* loss = std::getenv("QUORELL_LOSS_PERCENT");
        if (!loss) GTEST_SKIP() << "runs under scripts/netns-run, which drops datagrams";
        loss_ = loss;
    }
    std::string loss_;
};

// With a fifth of the handshake's datagrams lost its repeats take seconds, and under a sanitizer
// on a loaded machine up to half a minute. A call whose handshake gives up (or is still going
// after this long) is placed again, as a user would, up to three times in all.
constexpr auto kConnectLimit = std::chrono::seconds(80);
constexpr int kAttempts = 3;

long Since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

bool GaveUp(CallPair& pair) {
    return pair.a->State() == CallState::kFailed || pair.b->State() == CallState::kFailed;
}

// A pair of calls that got through, judged by `ready`; null with the last attempt's states in
// `why` when none did.
template <typename Ready>
std::unique_ptr<CallPair> Connect(const CallConfig& a, const CallConfig& b, const Ready& ready,
                                  std::string* why) {
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        auto pair = std::make_unique<CallPair>(a, b);
        pair->Start();
        const bool through =
            pair->PumpUntil([&] { return GaveUp(*pair) || ready(*pair); }, kConnectLimit);
        if (through && !GaveUp(*pair)) return pair;
        *why = std::string(Describe(pair->a->State())) + " and " + Describe(pair->b->State()) +
               " after attempt " + std::to_string(attempt);
        std::cout << "handshake did not get through: " << *why << "\n";
    }
    return nullptr;
}

// How a counter grew while it was watched every 20 ms: in all, and the longest it stood still.
struct Flow {
    std::size_t grown = 0;
    std::chrono::milliseconds longest_still{0};
};

template <typename Counter>
Flow Watch(CallPair& pair, const Counter& counter, std::chrono::milliseconds span) {
    Flow flow;
    const auto start = std::chrono::steady_clock::now();
    const std::size_t first = counter();
    std::size_t last = first;
    auto moved = start;
    while (std::chrono::steady_clock::now() - start < span) {
        pair.PumpUntil([] { return true; });
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const auto now = std::chrono::steady_clock::now();
        const std::size_t value = counter();
        if (value != last) {
            last = value;
            moved = now;
        }
        flow.longest_still = std::max(
            flow.longest_still, std::chrono::duration_cast<std::chrono::milliseconds>(now - moved));
    }
    flow.grown = last - first;
    return flow;
}

// Lost voice is concealed: the peer's decoder hands on samples at least at the pace of speech,
// without a stall, and the tone is still recognisable.
TEST_F(MediaCallLoss, VoiceKeepsComingConcealed) {
    const auto t0 = std::chrono::steady_clock::now();
    std::string why;
    const auto connected = Connect(
        ToneCall(440), ToneCall(1000),
        [](CallPair& p) { return p.heard_a.sample_count > 4800 && p.heard_b.sample_count > 4800; },
        &why);
    // Under a sanitizer the connectivity checks run so slowly that, with a fifth of them lost,
    // the agent may give up (or still be trying after two minutes) before one gets through; that
    // says nothing of calls under way, which is what these tests watch.
    if (!connected && kUnderSanitizer) GTEST_SKIP() << "no handshake under a sanitizer: " << why;
    ASSERT_TRUE(connected) << why;
    CallPair& pair = *connected;
    std::cout << "loss " << loss_ << "%: voice after " << Since(t0) << " ms\n";
    // What the start's repeats held up has played out.
    Watch(
        pair, [] { return std::size_t(0); }, std::chrono::seconds(1));
    const Flow flow = Watch(
        pair, [&] { return std::size_t(pair.heard_b.sample_count); }, std::chrono::seconds(3));
    std::cout << "loss " << loss_ << "%: " << flow.grown << " samples in 3 s, still at most "
              << flow.longest_still.count() << " ms\n";
    // No fewer than the pace of speech. (At 20 % loss a burst of half as much again shows at
    // times, what is held back for repeats let go at once; the speaker's timing absorbs it.)
    // Under a sanitizer, on two cores shared with other tests, the pipelines fall behind real
    // time (60 % of it seen under ThreadSanitizer): there the lack of a stall is what counts.
    EXPECT_GT(flow.grown, (kUnderSanitizer ? 0.4 : 0.8) * 3 * 48000);
    EXPECT_LT(flow.longest_still.count(), 500);
    EXPECT_TRUE(pair.PumpUntil([&] {
        std::lock_guard lock(pair.heard_b.mutex);
        const std::vector<std::int16_t> latest(
            pair.heard_b.samples.end() - std::min<std::size_t>(4800, pair.heard_b.samples.size()),
            pair.heard_b.samples.end());
        return ToneShare(latest, 440) > 0.7;
    }));
    EXPECT_EQ(pair.a->State(), CallState::kConnected);
    EXPECT_EQ(pair.b->State(), CallState::kConnected);
}

// Pictures keep arriving both ways (what is lost is asked again, or skipped to the next whole
// picture).
TEST_F(MediaCallLoss, VideoKeepsComing) {
    CallConfig config = PatternCall();
    config.video_width = 320;
    config.video_height = 240;
    const auto t0 = std::chrono::steady_clock::now();
    std::string why;
    const auto connected = Connect(
        config, config, [](CallPair& p) { return p.heard_a.frames > 0 && p.heard_b.frames > 0; },
        &why);
    if (!connected && kUnderSanitizer) GTEST_SKIP() << "no handshake under a sanitizer: " << why;
    ASSERT_TRUE(connected) << why;
    CallPair& pair = *connected;
    std::cout << "loss " << loss_ << "%: pictures after " << Since(t0) << " ms\n";
    const int at_a = pair.heard_a.frames;
    const int at_b = pair.heard_b.frames;
    const Flow flow = Watch(
        pair, [&] { return std::size_t(pair.heard_b.frames); }, std::chrono::seconds(3));
    std::cout << "loss " << loss_ << "%: " << flow.grown << " frames in 3 s, still at most "
              << flow.longest_still.count() << " ms\n";
    EXPECT_LT(flow.longest_still.count(), 2000);
    // A loaded machine (or a sanitizer) may encode far below 30 frames a second.
    EXPECT_TRUE(pair.PumpUntil(
        [&] { return pair.heard_a.frames > at_a + 10 && pair.heard_b.frames > at_b + 10; },
        std::chrono::seconds(30)));
    EXPECT_EQ(pair.a->State(), CallState::kConnected);
    EXPECT_EQ(pair.b->State(), CallState::kConnected);
}

}  // namespace
}  // namespace quorell::media::test
