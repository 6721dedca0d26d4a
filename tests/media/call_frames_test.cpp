// Pictures pushed by the owner (VideoSource::kFrames) reach the peer at the call's size.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "call_pair.h"

namespace quorell::media::test {
namespace {

// The colour of the middle of the latest picture the peer decoded.
struct Middle {
    std::atomic<int> r{-1}, g{-1}, b{-1};
};

TEST(MediaCallFrames, PushedPicturesArriveScaledWithTheirColour) {
    CallConfig sender = PatternCall();
    sender.video_source.kind = VideoSource::Kind::kFrames;
    CallConfig viewer = PatternCall();
    viewer.video_source.kind = VideoSource::Kind::kNone;
    Middle middle;
    std::atomic<int> frames{0}, width{0}, height{0};
    viewer.video_output.on_frame = [&](const VideoFrame& f) {
        const std::uint8_t* p = f.rgb + f.stride * (f.height / 2) + 3 * (f.width / 2);
        middle.r = p[0];
        middle.g = p[1];
        middle.b = p[2];
        width = f.width;
        height = f.height;
        ++frames;
    };
    CallPair pair(sender, viewer);
    // A picture of an odd size, its rows padded beyond the pixels: solid orange.
    constexpr int kWidth = 322, kHeight = 241, kStride = kWidth * 3 + 7;
    std::vector<std::uint8_t> picture(kStride * kHeight, 0x55);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            std::uint8_t* p = &picture[y * kStride + x * 3];
            p[0] = 240;
            p[1] = 120;
            p[2] = 16;
        }
    }
    // Before the start the pictures go nowhere; nonsense is refused.
    pair.a->PushVideoFrame(picture.data(), kWidth, kHeight, kStride);
    pair.a->PushVideoFrame(nullptr, kWidth, kHeight, kStride);
    pair.Start();
    pair.a->PushVideoFrame(picture.data(), kWidth, kHeight, kWidth * 3 - 1);
    pair.a->PushVideoFrame(picture.data(), -4, kHeight, kStride);
    // Pushed from a thread of the owner's at about 30 a second, far faster in bursts.
    std::atomic<bool> pushing{true};
    std::thread pusher([&] {
        while (pushing) {
            for (int i = 0; i < 3; ++i)
                pair.a->PushVideoFrame(picture.data(), kWidth, kHeight, kStride);
            std::this_thread::sleep_for(std::chrono::milliseconds(33));
        }
    });
    const bool arrived = pair.PumpUntil([&] { return frames > 10; }, std::chrono::seconds(30));
    pushing = false;
    pusher.join();
    ASSERT_TRUE(arrived) << "frames: " << frames;
    EXPECT_EQ(width, 640);
    EXPECT_EQ(height, 480);
    // Through I420 and VP8 the colour comes back near what was sent.
    EXPECT_NEAR(middle.r, 240, 24);
    EXPECT_NEAR(middle.g, 120, 24);
    EXPECT_NEAR(middle.b, 16, 24);
    EXPECT_EQ(pair.heard_a.Problems(), 0u);
    // After the stop the pictures go nowhere again.
    pair.a->Stop();
    pair.a->PushVideoFrame(picture.data(), kWidth, kHeight, kStride);
}

}  // namespace
}  // namespace quorell::media::test
