#include <gtest/gtest.h>

#include <QCoreApplication>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "links/plain_video_link.h"
#include "net/udp_client.h"
#include "net/udp_server.h"
#include "support/raw_udp.h"
#include "support/wait.h"
#include "video/frame_receiver.h"
#include "video/frame_sender.h"
#include "video/jpeg_codec.h"
#include "video/pattern_camera.h"

namespace quorell {
namespace {

using namespace std::chrono_literals;

struct SenderWindow : IVideoSenderWindow {
    std::string host = "127.0.0.1";
    std::string port;
    std::vector<std::string> failures;
    bool throw_on_report = false;

    std::string PeerAddressAsTyped() override { return host; }
    std::string LocalVideoPort() override { return port; }
    void VideoSendFailed(const std::string& message) override {
        failures.push_back(message);
        if (throw_on_report) throw std::runtime_error("window gone");
    }
};

struct ReceiverWindow : IVideoReceiverWindow {
    std::vector<std::string> calls;
    QSize last;
    void ShowFrame(const QImage& frame) override {
        calls.push_back("frame");
        last = frame.size();
    }
    void ShowBlank() override { calls.push_back("blank"); }
};

QImage Noise(int width, int height) {
    QImage image(width, height, QImage::Format_RGB888);
    std::mt19937 random(7);
    for (int y = 0; y < height; ++y) {
        uchar* line = image.scanLine(y);
        for (int x = 0; x < 3 * width; ++x) line[x] = static_cast<uchar>(random());
    }
    return image;
}

class FrameSenderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer.ok());
        window.port = std::to_string(peer.port());
    }
    QImage Received() {
        auto datagram = peer.Receive();
        if (!datagram) return {};
        last_bytes = datagram->bytes;
        QImage image;
        if (DecodeJpeg(last_bytes, &image) != DecodeResult::Decoded) return {};
        return image;
    }

    test::RawUdp peer;
    SenderWindow window;
    net::UdpClient socket;
    net::UdpServer unused;  // this side receives nothing
    PlainVideoLink link{socket, unused};
    FrameSender sender{window, link};
    std::string last_bytes;
};

TEST_F(FrameSenderTest, FramesArriveAsWholeJpegsScaledToFitAtTheLocalVideoPort) {
    sender.OnFrame(PatternCamera::Pattern(176, 144, 3));
    EXPECT_EQ(Received().size(), QSize(176, 144));
    ASSERT_GE(last_bytes.size(), 4u);
    EXPECT_LE(last_bytes.size(), kMaxVideoDatagram);
    EXPECT_EQ(last_bytes.substr(0, 2), "\xFF\xD8");
    EXPECT_EQ(last_bytes.substr(last_bytes.size() - 2), "\xFF\xD9");

    sender.OnFrame(PatternCamera::Pattern(640, 480, 1));
    EXPECT_EQ(Received().size(), QSize(200, 150));
    sender.OnFrame(PatternCamera::Pattern(160, 400, 1));  // too tall only
    EXPECT_EQ(Received().size(), QSize(66, 165));
    EXPECT_EQ(sender.FramesSent(), 3);
    EXPECT_TRUE(window.failures.empty());
}

TEST_F(FrameSenderTest, FailuresAreReportedOncePerRunAndNeverEscape) {
    const QImage frame = PatternCamera::Pattern(176, 144, 0);
    window.host = "";  // does not resolve
    for (int i = 0; i < 3; ++i) sender.OnFrame(frame);
    EXPECT_EQ(window.failures.size(), 1u);

    window.host = "127.0.0.1";
    sender.OnFrame(frame);
    EXPECT_FALSE(Received().isNull());

    // Port texts that name no port are failures too, not datagrams to some other port.
    window.throw_on_report = true;
    for (const char* port : {"12a", "", "0", "70000", "-5"}) {
        window.port = port;
        sender.OnFrame(frame);
    }
    EXPECT_EQ(window.failures.size(), 2u);
    EXPECT_EQ(sender.FramesSent(), 1);
    EXPECT_FALSE(peer.Receive(50ms).has_value());
}

TEST(PlainVideoLinkTest, AFrameTooLongForOneDatagramGoesOutAsItsFirst8192Bytes) {
    test::RawUdp peer;
    ASSERT_TRUE(peer.ok());
    net::UdpClient socket;
    net::UdpServer unused;
    PlainVideoLink link{socket, unused};
    std::string frame(10000, 'x');
    frame[8191] = 'y';
    link.SendFrame({"127.0.0.1", peer.port()}, frame);
    const auto datagram = peer.Receive();
    ASSERT_TRUE(datagram.has_value());
    EXPECT_EQ(datagram->bytes, frame.substr(0, 8192));
}

TEST(FrameReceiverTest, ShowsGoodFramesAndHandlesBadDatagramsByWhatIsShown) {
    ReceiverWindow window;
    FrameReceiver receiver(window);
    const std::string good = EncodeJpeg(PatternCamera::Pattern(176, 144, 2));

    receiver.OnDatagram("hello, this is no picture");
    EXPECT_TRUE(window.calls.empty());

    receiver.OnDatagram("");  // the placeholder gives way to a blank, once
    receiver.OnDatagram("");
    EXPECT_EQ(window.calls, (std::vector<std::string>{"blank"}));

    receiver.OnDatagram(good);
    receiver.OnDatagram("");  // a frame that is shown stays
    receiver.OnDatagram("hello");
    EXPECT_EQ(window.calls, (std::vector<std::string>{"blank", "frame"}));
    EXPECT_EQ(window.last, QSize(176, 144));

    receiver.PlaceholderRestored();
    receiver.OnDatagram("");
    EXPECT_EQ(window.calls.back(), "blank");
    EXPECT_EQ(receiver.FramesShown(), 1);
}

TEST(FrameReceiverTest, ShowsTheFirstPartOfAFrameCutToOneDatagram) {
    ReceiverWindow window;
    FrameReceiver receiver(window);
    const std::string whole = EncodeJpeg(Noise(640, 480));
    ASSERT_GT(whole.size(), kMaxVideoDatagram);
    receiver.OnDatagram(std::string_view(whole).substr(0, kMaxVideoDatagram));
    EXPECT_EQ(window.calls, (std::vector<std::string>{"frame"}));
    EXPECT_EQ(window.last, QSize(640, 480));
}

TEST(PatternCameraTest, DeliversMovingFramesUntilDisconnected) {
    PatternCamera camera;
    std::vector<QImage> frames;
    ASSERT_TRUE(camera.Connect([&](const QImage& f) { frames.push_back(f); }, nullptr, 5ms));
    ASSERT_TRUE(test::WaitUntil([&] { return frames.size() >= 3; }));
    EXPECT_EQ(frames[0].size(), QSize(176, 144));
    EXPECT_EQ(frames[0].format(), QImage::Format_RGB888);
    EXPECT_NE(frames[0], frames[1]);
    EXPECT_NE(frames[1], frames[2]);
    EXPECT_EQ(PatternCamera::Pattern(176, 144, 9), PatternCamera::Pattern(176, 144, 9));

    camera.Disconnect();
    EXPECT_FALSE(camera.Connected());
    const std::size_t count = frames.size();
    test::Settle(60ms);
    EXPECT_EQ(frames.size(), count);
    EXPECT_EQ(camera.FramesDelivered(), static_cast<int>(count));
}

TEST(PatternCameraTest, AHandlerMayDisconnectItsCamera) {
    PatternCamera camera;
    int seen = 0;
    camera.Connect(
        [&](const QImage&) {
            if (++seen == 2) camera.Disconnect();
        },
        nullptr, 1ms);
    ASSERT_TRUE(test::WaitUntil([&] { return seen >= 2; }));
    test::Settle(50ms);
    EXPECT_EQ(seen, 2);
    EXPECT_FALSE(camera.Connected());
}

}  // namespace
}  // namespace quorell
