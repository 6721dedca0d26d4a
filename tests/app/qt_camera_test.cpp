// How the camera's frames cross from the media thread to the user-interface thread.
#include <gtest/gtest.h>

#include <QVideoFrame>
#include <QVideoFrameFormat>
#include <QVideoSink>
#include <memory>
#include <thread>
#include <vector>

#include "app/qt_camera.h"
#include "support/wait.h"

namespace quorell::test {
namespace {

QVideoFrame Numbered(qint64 n) {
    QVideoFrame frame(QVideoFrameFormat(QSize(4, 4), QVideoFrameFormat::Format_RGBX8888));
    frame.setStartTime(n);
    return frame;
}

// Frames announced on a thread of their own, as the media framework does, while this thread
// is busy with something else.
void AnnounceOnAnotherThread(QVideoSink& sink, qint64 first, qint64 count) {
    std::thread media([&] {
        for (qint64 n = first; n < first + count; ++n) sink.setVideoFrame(Numbered(n));
    });
    media.join();
}

TEST(LatestFrameRelayTest, ABusyWindowGetsOnlyTheLatestFrameAndNoneOnceTheRelayIsGone) {
    QVideoSink sink;
    std::vector<qint64> seen;
    std::unique_ptr<LatestFrameRelay> relay;
    relay = std::make_unique<LatestFrameRelay>(sink, [&](const QVideoFrame& frame) {
        seen.push_back(frame.startTime());
        if (frame.startTime() == 500) relay.reset();  // a delivery may end its own relay
    });

    AnnounceOnAnotherThread(sink, 0, 200);
    ASSERT_TRUE(WaitUntil([&] { return !seen.empty(); }));
    AnnounceOnAnotherThread(sink, 500, 1);  // and the next frame is delivered too
    ASSERT_TRUE(WaitUntil([&] { return seen.size() == 2; }));
    AnnounceOnAnotherThread(sink, 600, 1);
    Settle(std::chrono::milliseconds(50));
    EXPECT_EQ(seen, (std::vector<qint64>{199, 500}));
}

}  // namespace
}  // namespace quorell::test
