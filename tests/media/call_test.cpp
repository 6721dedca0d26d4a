// Two calls in one process, joined on 127.0.0.1 by an in-memory signaling queue.
#include <gtest/gtest.h>

#include <gst/gst.h>

#include "call_pair.h"

namespace quorell::media::test {
namespace {

std::vector<std::int16_t> Latest(Heard& heard, std::size_t count) {
    std::lock_guard lock(heard.mutex);
    const std::size_t n = std::min(count, heard.samples.size());
    return {heard.samples.end() - n, heard.samples.end()};
}

bool Connected(CallPair& pair) {
    return pair.a->State() == CallState::kConnected && pair.b->State() == CallState::kConnected;
}

// Each side comes to hear the other's tone, not its own, with the energy it was sent with: 100 ms
// of it in a row, the latest heard. A loaded machine (or a sanitizer) may stall the stream for a
// while, which the decoder conceals, so the test waits for the tone rather than counting samples.
void ExpectTones(CallPair& pair, double a_hz, double b_hz) {
    constexpr std::size_t kWindow = 4800;
    const bool heard = pair.PumpUntil([&] {
        return ToneShare(Latest(pair.heard_b, kWindow), a_hz) > 0.8 &&
               ToneShare(Latest(pair.heard_a, kWindow), b_hz) > 0.8;
    });
    const auto at_b = Latest(pair.heard_b, kWindow);
    const auto at_a = Latest(pair.heard_a, kWindow);
    ASSERT_TRUE(heard) << "tone shares " << ToneShare(at_b, a_hz) << " and "
                       << ToneShare(at_a, b_hz);
    EXPECT_LT(ToneShare(at_b, b_hz), 0.05);
    // The tone goes out at half of full scale: an RMS near 0.5 * 32767 / sqrt(2).
    EXPECT_GT(Rms(at_b), 8000);
    EXPECT_GT(Rms(at_a), 8000);
}

TEST(MediaCall, VoiceArrivesBothWaysWithEachSidesTone) {
    CallPair pair(ToneCall(440), ToneCall(1000));
    pair.Start();
    ASSERT_TRUE(pair.PumpUntil([&] { return Connected(pair); }));
    ExpectTones(pair, 440, 1000);
    EXPECT_TRUE(pair.heard_a.Saw(CallState::kNegotiating));
    EXPECT_EQ(pair.heard_a.Problems(), 0u);
    EXPECT_EQ(pair.heard_b.Problems(), 0u);
    EXPECT_TRUE(pair.heard_a.refusals.empty());
    EXPECT_TRUE(pair.heard_b.refusals.empty());
}

TEST(MediaCall, MutedVoiceArrivesAsSilenceUntilUnmuted) {
    CallPair pair(ToneCall(440), ToneCall(1000));
    pair.a->SetVoiceMuted(true);  // before the start, kept by it
    pair.Start();
    // b hears silence while a hears b's tone.
    ASSERT_TRUE(pair.PumpUntil([&] {
        return pair.heard_b.sample_count > 24000 &&
               ToneShare(Latest(pair.heard_a, 4800), 1000) > 0.8;
    }));
    EXPECT_LT(Rms(Latest(pair.heard_b, 12000)), 100);
    pair.a->SetVoiceMuted(false);
    ExpectTones(pair, 440, 1000);
}

TEST(MediaCall, VideoArrivesAt640x480) {
    CallPair pair(PatternCall(), PatternCall());
    pair.Start();
    // A loaded machine (or a sanitizer) may encode far below 30 frames a second.
    ASSERT_TRUE(pair.PumpUntil([&] { return pair.heard_a.frames > 5 && pair.heard_b.frames > 5; },
                               std::chrono::seconds(30)))
        << "frames: " << pair.heard_a.frames << " and " << pair.heard_b.frames;
    EXPECT_EQ(pair.heard_b.frame_width, 640);
    EXPECT_EQ(pair.heard_b.frame_height, 480);
    EXPECT_EQ(pair.heard_a.frame_width, 640);
    EXPECT_EQ(pair.heard_a.frame_height, 480);
}

TEST(MediaCall, ReceiveOnlySideGetsThePeersVideo) {
    CallConfig viewer = PatternCall();
    viewer.video_source.kind = VideoSource::Kind::kNone;
    CallPair pair(PatternCall(), viewer);
    pair.Start();
    ASSERT_TRUE(pair.PumpUntil([&] { return pair.heard_b.frames > 5; }));
    EXPECT_EQ(pair.heard_a.frames, 0);
}

TEST(MediaCall, StopsAndStartsAgain) {
    CallPair pair(ToneCall(440), ToneCall(1000));
    pair.Start();
    ASSERT_TRUE(pair.PumpUntil([&] { return Connected(pair); }));
    pair.a->Stop();
    pair.b->Stop();
    pair.a->Stop();  // twice is harmless
    EXPECT_EQ(pair.a->State(), CallState::kIdle);
    EXPECT_EQ(pair.a->HandleCandidate({0, "candidate:1 1 UDP 1 127.0.0.1 5000 typ host"}),
              "the call is not started");
    pair.a_to_b.Take();
    pair.b_to_a.Take();
    pair.Start();
    ASSERT_TRUE(pair.PumpUntil([&] { return Connected(pair); }));
    ExpectTones(pair, 440, 1000);
}

TEST(MediaCall, OneSideStoppingEndsMediaOnTheOther) {
    CallPair pair(ToneCall(440), ToneCall(1000));
    pair.Start();
    ASSERT_TRUE(pair.PumpUntil([&] { return pair.heard_b.sample_count > 4800; }));
    pair.a->Stop();
    // Nothing more arrives at b once what was on the way is played out: at most the decoder's
    // concealment of what is missing, not half a second of voice.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const std::size_t samples = pair.heard_b.sample_count;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_LT(pair.heard_b.sample_count - samples, 4800u);
    pair.b->Stop();
    EXPECT_EQ(pair.b->State(), CallState::kIdle);
}

TEST(MediaCall, AFailingCameraIsToldOnceAndVoiceGoesOn) {
    CallConfig a = ToneCall(440);
    a.video = true;
    a.video_source.kind = VideoSource::Kind::kCamera;
    a.video_source.device = "/dev/quorell-no-such-camera";
    CallConfig b = ToneCall(1000);
    b.video = true;
    b.video_source.kind = VideoSource::Kind::kNone;
    CallPair pair(a, b);
    pair.Start();
    ASSERT_TRUE(pair.PumpUntil([&] { return Connected(pair); }));
    ExpectTones(pair, 440, 1000);
    std::lock_guard lock(pair.heard_a.mutex);
    ASSERT_EQ(pair.heard_a.problems.size(), 1u);
    EXPECT_EQ(pair.heard_a.problems[0], "摄像头无法使用，通话继续，但对方看不到你的画面");
    EXPECT_EQ(pair.heard_b.frames, 0);
}

TEST(MediaCall, HostileSignalingIsRefusedAndTheCallGoesOn) {
    CallPair pair(ToneCall(440), ToneCall(1000));
    // Before the start nothing is taken.
    EXPECT_EQ(pair.b->HandleDescription({Description::Type::kOffer, "v=0\r\n"}),
              "the call is not started");
    pair.Start();
    // The answering side takes no answer, and nothing before the offer.
    EXPECT_EQ(pair.b->HandleDescription({Description::Type::kAnswer, "v=0\r\n"}),
              "an answer to the answering side");
    EXPECT_EQ(pair.b->HandleCandidate({0, "candidate:1 1 UDP 2015363327 127.0.0.1 40000 typ host"}),
              "a candidate before the description it belongs to");
    // The dialling side takes no offer.
    EXPECT_EQ(pair.a->HandleDescription({Description::Type::kOffer, "v=0\r\n"}),
              "an offer to the dialling side");
    // The dialler's offer, held back from b.
    Description offer;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (offer.sdp.empty() && std::chrono::steady_clock::now() < end) {
        for (auto& item : pair.a_to_b.Take()) {
            if (auto* d = std::get_if<Description>(&item)) {
                offer = *d;
            } else {
                pair.a_to_b.Push(item);
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_FALSE(offer.sdp.empty());
    EXPECT_NE(offer.sdp.find(" nack\r\n"), std::string::npos) << "lost packets are not asked again";
    // The same offer, grown video, which this call did not agree.
    Description bad = offer;
    bad.sdp += "m=video 9 UDP/TLS/RTP/SAVPF 96\r\n";
    EXPECT_EQ(pair.b->HandleDescription(bad), "video, which this call did not agree");
    bad.sdp = offer.sdp + std::string(64 * 1024, 'x');
    EXPECT_EQ(pair.b->HandleDescription(bad), "a description over the size limit");
    bad.sdp = "garbage";
    EXPECT_EQ(pair.b->HandleDescription(bad), "a description that does not parse");
    // The real offer still goes through, then a second one does not.
    EXPECT_EQ(pair.b->HandleDescription(offer), std::nullopt);
    EXPECT_EQ(pair.b->HandleDescription(offer), "a second offer");
    EXPECT_EQ(pair.b->HandleCandidate({0, "candidate:1 1 UDP 2015363327 192.0.2.7 40000 typ host"}),
              "a candidate of an address other than the peer's");
    EXPECT_EQ(pair.b->HandleCandidate({0, "candidate:1 1 UDP 2015363327 abc.local 40000 typ host"}),
              "a candidate hidden behind a .local name");
    EXPECT_EQ(pair.b->HandleCandidate({1, "candidate:1 1 UDP 2015363327 127.0.0.1 40000 typ host"}),
              "a candidate for media that does not exist");
    EXPECT_EQ(pair.b->HandleCandidate({0, "candidate:1 1 UDP 2015363327 127.0.0.1 40000 typ host" +
                                              std::string(2000, ' ')}),
              "a candidate over the size limit");
    ASSERT_TRUE(pair.PumpUntil([&] { return Connected(pair); }));
    ExpectTones(pair, 440, 1000);
    EXPECT_TRUE(pair.heard_a.refusals.empty());
    EXPECT_TRUE(pair.heard_b.refusals.empty());
}

}  // namespace
}  // namespace quorell::media::test
