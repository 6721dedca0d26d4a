// The window's camera pictures, pushed to the controller from a thread of their own, reach the
// peer through a video call; before and after the call they go nowhere. Built once media/ takes
// pushed pictures (tests/calls/CMakeLists.txt).
#include "calls_fixture.h"

namespace quorell::calls::test {
namespace {

TEST(SessionCallsFrames, PushedPicturesReachThePeer) {
    JoinedCalls calls([](SessionCallsConfig& config) {
        config.video_source.kind = media::VideoSource::Kind::kFrames;
    });
    constexpr int kWidth = 320, kHeight = 240;
    const std::vector<std::uint8_t> picture(kWidth * kHeight * 3, 200);
    // Pushed all along, across the call's start and stop.
    std::atomic<bool> pushing{true};
    std::thread pusher([&] {
        while (pushing) {
            calls.b->PushVideoFrame(picture.data(), kWidth, kHeight, kWidth * 3);
            std::this_thread::sleep_for(20ms);
        }
    });
    calls.a->Invite(MediaKind::kVideo);
    ASSERT_TRUE(calls.told_b->WaitPhase(MediaKind::kVideo, CallPhase::kInvited));
    calls.b->Accept(MediaKind::kVideo);
    const bool arrived = calls.BothIn(MediaKind::kVideo, CallPhase::kRunning) &&
                         Eventually([&] { return calls.told_a->frames > 5; }, 30s);
    calls.b->Stop(MediaKind::kVideo);
    const bool ended = calls.told_a->WaitEnd(MediaKind::kVideo).has_value();
    std::this_thread::sleep_for(100ms);
    pushing = false;
    pusher.join();
    ASSERT_TRUE(arrived) << calls.told_a->frames;
    EXPECT_TRUE(ended);
    EXPECT_EQ(calls.told_a->frame_width, 640);
}

}  // namespace
}  // namespace quorell::calls::test
