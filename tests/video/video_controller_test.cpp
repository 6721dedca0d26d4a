// The video feature's logic over the in-memory link, with a fake window and the pattern camera.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "protocol/control_lines.h"
#include "support/memory_video_link.h"
#include "support/wait.h"
#include "video/jpeg_codec.h"
#include "video/pattern_camera.h"
#include "video/video_controller.h"

namespace quorell {
namespace {

using protocol::Encode;
using protocol::LineKind;

struct FakeControl : IControlLink {
    std::vector<std::string> lines;
    int reachable = 1000;  // lines that get through before the peer is gone
    bool SendControlLine(const std::string& line) override {
        if (reachable == 0) return false;
        --reachable;
        lines.push_back(line);
        return true;
    }
};

struct FakeWindow : IVideoWindow {
    std::string address = "127.0.0.2 ";  // as typed, space and all
    std::string local_port = "12345";
    std::vector<std::string> failures;
    bool start_enabled = true;
    bool stop_enabled = false;
    int surfaces = 0;
    int previews = 0;
    std::vector<std::string> notes;  // what the surface said, in order; "" for a cleared note
    std::string receive_caption = "接收视频";
    std::optional<long> peer_port;
    std::vector<std::string> picture;  // "frame", "blank", "placeholder", in order

    std::string PeerAddressAsTyped() override { return address; }
    std::string LocalVideoPort() override { return local_port; }
    void VideoSendFailed(const std::string& message) override { failures.push_back(message); }
    void ShowFrame(const QImage&) override { picture.push_back("frame"); }
    void ShowBlank() override { picture.push_back("blank"); }
    void SetStartEnabled(bool enabled) override { start_enabled = enabled; }
    void SetStopEnabled(bool enabled) override { stop_enabled = enabled; }
    void NewCaptureSurface() override { ++surfaces; }
    void ShowPreview(const QImage&) override { ++previews; }
    void ShowCaptureNote(CaptureNote note, const std::string& detail) override {
        notes.push_back(note == CaptureNote::NoCamera    ? "none"
                        : note == CaptureNote::Unplugged ? "unplugged"
                                                         : "failed:" + detail);
    }
    void ClearCaptureNote() override { notes.push_back(""); }
    void ShowReceiving(bool receiving) override {
        receive_caption = receiving ? "停止接收" : "接收视频";
    }
    void ShowPeerVideoPort(std::optional<long> port) override { peer_port = port; }
    void ShowPlaceholder() override { picture.push_back("placeholder"); }
};

class VideoControllerTest : public ::testing::Test {
protected:
    PatternCamera& Camera() { return static_cast<PatternCamera&>(*camera); }
    void Start() {
        video.Start([this](const QImage& frame) { video.Frame(frame); });
    }
    bool FramesSent(std::size_t n) {
        return test::WaitUntil([&] { return link.sent.size() >= n; });
    }

    FakeWindow window;
    FakeControl control;
    test::MemoryVideoLink link;
    std::unique_ptr<ICaptureDevice> camera = std::make_unique<PatternCamera>(640, 480);
    VideoController video{window, link, control, camera};
};

TEST_F(VideoControllerTest, SendsScaledWholeJpegsToTheTypedAddressAtTheLocalPortUntilStopped) {
    Start();
    EXPECT_EQ(control.lines, (std::vector<std::string>{Encode(LineKind::VideoOpened),
                                                       Encode(LineKind::VideoPort, "12345")}));
    EXPECT_FALSE(window.start_enabled);
    EXPECT_TRUE(window.stop_enabled);
    EXPECT_EQ(video.Sending(), VideoController::SendState::Sending);
    ASSERT_TRUE(FramesSent(3));
    EXPECT_GE(window.previews, 3);

    for (const auto& frame : link.sent) {
        EXPECT_EQ(frame.target, (VideoTarget{"127.0.0.2 ", 12345}));
        ASSERT_LE(frame.bytes.size(), kMaxVideoDatagram);
        EXPECT_EQ(frame.bytes.substr(0, 2), "\xFF\xD8");
        EXPECT_EQ(frame.bytes.substr(frame.bytes.size() - 2), "\xFF\xD9");
        QImage decoded;
        ASSERT_EQ(DecodeJpeg(frame.bytes, &decoded), DecodeResult::Decoded);
        EXPECT_EQ(decoded.size(), QSize(200, 150));
    }

    video.Stop();
    EXPECT_FALSE(Camera().Connected());
    EXPECT_TRUE(window.start_enabled);
    EXPECT_FALSE(window.stop_enabled);
    EXPECT_EQ(control.lines.back(), Encode(LineKind::VideoClosed));
    const std::size_t sent = link.sent.size();
    test::Settle(std::chrono::milliseconds(100));
    EXPECT_EQ(link.sent.size(), sent);

    // A second start makes a new surface and tells the peer again, the port read afresh.
    window.local_port = "12346";
    Start();
    EXPECT_EQ(window.surfaces, 2);
    EXPECT_EQ(control.lines.back(), Encode(LineKind::VideoPort, "12346"));
    ASSERT_TRUE(FramesSent(sent + 1));
    EXPECT_EQ(link.sent.back().target.port, 12346);
}

TEST_F(VideoControllerTest, AnUnreachablePeerOrAMissingCameraLeaveTheOtherHalfGoing) {
    control.reachable = 0;
    Start();
    EXPECT_TRUE(control.lines.empty());  // the port line is not tried after the first failed
    EXPECT_FALSE(window.stop_enabled);
    EXPECT_EQ(video.Sending(), VideoController::SendState::Stranded);
    EXPECT_TRUE(FramesSent(2));  // capture goes on regardless

    camera.reset();
    control.reachable = 3;
    Start();
    EXPECT_EQ(window.notes, (std::vector<std::string>{"none"}));
    EXPECT_EQ(control.lines.size(), 2u);
    EXPECT_TRUE(window.stop_enabled);
    EXPECT_FALSE(video.CameraRunning());
    video.Stop();  // nothing to disconnect
    EXPECT_EQ(control.lines.back(), Encode(LineKind::VideoClosed));
}

TEST_F(VideoControllerTest, SendFailuresAreToldOncePerRunOfFailures) {
    const QImage frame = PatternCamera::Pattern(176, 144, 1);
    link.send_failure = "Host not found.";
    for (int i = 0; i < 3; ++i) video.Frame(frame);
    EXPECT_EQ(window.failures, (std::vector<std::string>{"Host not found."}));
    link.send_failure.clear();
    video.Frame(frame);
    EXPECT_EQ(link.sent.size(), 1u);
    link.send_failure = "Network is unreachable.";  // a new run of failures is told again
    video.Frame(frame);
    video.Frame(frame);
    EXPECT_EQ(window.failures.size(), 2u);
}

TEST_F(VideoControllerTest, CameraFaultsAreToldOnceEachAndAFrameEndsThem) {
    Start();
    ASSERT_TRUE(FramesSent(1));
    Camera().Fail(CaptureFault::Unplugged);
    Camera().Fail(CaptureFault::Unplugged);
    EXPECT_EQ(window.notes, (std::vector<std::string>{"unplugged"}));
    EXPECT_EQ(video.CameraFault(), CaptureFault::Unplugged);
    const std::size_t sent = link.sent.size();
    Camera().Replug();
    ASSERT_TRUE(FramesSent(sent + 1));
    EXPECT_EQ(window.notes, (std::vector<std::string>{"unplugged", ""}));
    Camera().Fail(CaptureFault::Failed, "Device or resource busy");
    EXPECT_EQ(window.notes.back(), "failed:Device or resource busy");
    EXPECT_EQ(control.lines.size(), 2u);  // the peer hears nothing of it
    EXPECT_TRUE(window.stop_enabled);
}

TEST_F(VideoControllerTest, ReceivingFollowsThePeersPortAndTheButton) {
    const std::string good = EncodeJpeg(PatternCamera::Pattern(176, 144, 2));
    video.ToggleReceiving();  // no port yet: nothing
    EXPECT_EQ(link.starts, 0);

    video.PeerVideoPort(29100);
    EXPECT_EQ(window.peer_port, 29100);
    video.ToggleReceiving();
    EXPECT_TRUE(link.Receiving());
    EXPECT_EQ(link.port, 29100);
    EXPECT_EQ(window.receive_caption, "停止接收");
    EXPECT_EQ(control.lines.back(), Encode(LineKind::VideoReceiving));

    // Garbage leaves the placeholder, an empty frame blanks it, a good one shows, and garbage
    // after it leaves it shown.
    link.DeliverFromPeer("no picture");
    link.DeliverFromPeer("");
    link.DeliverFromPeer(good);
    link.DeliverFromPeer("");
    link.DeliverFromPeer("no picture");
    EXPECT_EQ(window.picture, (std::vector<std::string>{"blank", "frame"}));

    // A new port while receiving waits for the next start.
    video.PeerVideoPort(29101);
    EXPECT_EQ(link.port, 29100);
    video.ToggleReceiving();
    EXPECT_FALSE(link.Receiving());
    EXPECT_EQ(window.receive_caption, "接收视频");
    EXPECT_EQ(window.picture.back(), "placeholder");
    EXPECT_EQ(control.lines.back(), Encode(LineKind::VideoNotReceiving));
    EXPECT_FALSE(link.DeliverFromPeer(good));
    video.ToggleReceiving();
    EXPECT_EQ(link.port, 29101);

    // After the placeholder is back, an empty frame blanks it again.
    link.DeliverFromPeer("");
    EXPECT_EQ(window.picture.back(), "blank");
}

TEST_F(VideoControllerTest, ATakenPortChangesNothingAndThePeersCloseEndsReceiving) {
    video.PeerVideoPort(29102);
    link.port_taken = true;
    EXPECT_THROW(video.ToggleReceiving(), std::runtime_error);
    EXPECT_FALSE(video.Receiving());
    EXPECT_EQ(window.receive_caption, "接收视频");
    EXPECT_TRUE(control.lines.empty());

    link.port_taken = false;
    video.ToggleReceiving();  // pressing again retries
    ASSERT_TRUE(link.Receiving());
    const std::size_t told = control.lines.size();
    video.PeerClosedVideo();
    EXPECT_FALSE(link.Receiving());
    EXPECT_FALSE(video.Receiving());
    EXPECT_EQ(window.receive_caption, "接收视频");
    EXPECT_EQ(window.peer_port, std::nullopt);
    EXPECT_EQ(window.picture.back(), "placeholder");
    EXPECT_EQ(control.lines.size(), told);  // nothing goes back
    video.ToggleReceiving();                // no port any more
    EXPECT_EQ(link.starts, 1);
}

}  // namespace
}  // namespace quorell
