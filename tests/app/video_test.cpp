// Live video between two windows over loopback, with the pattern camera.
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "app/big_picture.h"
#include "app/form1.h"
#include "support/raw_udp.h"
#include "support/two_peers.h"
#include "video/pattern_camera.h"

namespace quorell::test {
namespace {

class VideoTest : public TwoPeers {
protected:
    void SetUp() override {
        TwoPeers::SetUp();
        ConnectBothWays();
    }

    // A starts sending on the given local video port; B has heard of it.
    void StartSending(int port) {
        a->form->Edit2->setText(QString::number(port));
        QTest::mouseClick(a->form->Button3, Qt::LeftButton);
        ASSERT_TRUE(WaitUntil([&] { return b->form->Edit3->text() == QString::number(port); }));
        EXPECT_TRUE(b->form->BitBtn1->isEnabled());
        EXPECT_TRUE(a->form->Button4->isEnabled());
        EXPECT_FALSE(a->form->Button3->isEnabled());
    }

    bool ShowsPlaceholder(const Peer& peer) {
        return peer.form->Image1->pixmap().cacheKey() == peer.form->Image2->pixmap().cacheKey();
    }

    PatternCamera& CameraOf(const Peer& peer) {
        return static_cast<PatternCamera&>(*peer.devices.camera);
    }

    // B's shown-frame count grows by several.
    bool FramesArrive() {
        const int before = b->form->VideoReceiving().FramesShown();
        return WaitUntil([&] { return b->form->VideoReceiving().FramesShown() >= before + 5; });
    }
};

TEST_F(VideoTest, FramesFlowToTheAnnouncedPortAndStopAndRestartHonourANewPort) {
    StartSending(29100);
    // Each line has a connection of its own, so the notice may be shown after the port is set.
    EXPECT_TRUE(WaitUntil([&] {
        return b->HistoryText().contains(QStringLiteral("对方打开了视频，您现在可以接收视频了。"));
    }));
    QTest::mouseClick(b->form->BitBtn1, Qt::LeftButton);
    EXPECT_EQ(b->form->BitBtn1->text(), QStringLiteral("停止接收"));
    ASSERT_TRUE(FramesArrive());
    EXPECT_FALSE(ShowsPlaceholder(*b));
    EXPECT_TRUE(a->form->CaptureWindow->pixmap().width() > 0);  // the local preview
    ASSERT_TRUE(WaitUntil(
        [&] { return a->HistoryText().contains(QStringLiteral("对方开始接收了视频。")); }));

    // B stops receiving: the placeholder comes back and the peer is told.
    QTest::mouseClick(b->form->BitBtn1, Qt::LeftButton);
    EXPECT_EQ(b->form->BitBtn1->text(), QStringLiteral("接收视频"));
    EXPECT_TRUE(ShowsPlaceholder(*b));
    EXPECT_FALSE(b->form->IdUDPServer1.Active());
    ASSERT_TRUE(WaitUntil(
        [&] { return a->HistoryText().contains(QStringLiteral("对方停止接收了视频。")); }));

    // A stops: B's picture, button and port are reset. A starts again on another port, which
    // B's next start binds.
    QTest::mouseClick(b->form->BitBtn1, Qt::LeftButton);
    ASSERT_TRUE(FramesArrive());
    QTest::mouseClick(a->form->Button4, Qt::LeftButton);
    ASSERT_TRUE(WaitUntil([&] { return b->form->Edit3->text().isEmpty(); }));
    EXPECT_FALSE(b->form->BitBtn1->isEnabled());
    EXPECT_EQ(b->form->BitBtn1->text(), QStringLiteral("接收视频"));
    EXPECT_FALSE(b->form->IdUDPServer1.Active());
    EXPECT_TRUE(ShowsPlaceholder(*b));
    QLabel* first_surface = a->form->CaptureWindow;
    StartSending(29101);
    EXPECT_NE(a->form->CaptureWindow, first_surface);  // a new surface over the old one
    QTest::mouseClick(b->form->BitBtn1, Qt::LeftButton);
    EXPECT_EQ(b->form->IdUDPServer1.LocalPort(), 29101);
    ASSERT_TRUE(FramesArrive());
}

TEST_F(VideoTest, ATakenPortIsReportedAndHostileDatagramsAreDropped) {
    StartSending(29102);
    {
        RawUdp holder("127.0.0.2", 29102);
        ASSERT_TRUE(holder.ok());
        QTest::mouseClick(b->form->BitBtn1, Qt::LeftButton);
        ASSERT_EQ(b->dialogs.Count(QStringLiteral("error")), 1);
        EXPECT_EQ(b->dialogs.LastText(),
                  QStringLiteral("Could not bind socket. Address and port are already in use."));
        EXPECT_EQ(b->form->BitBtn1->text(), QStringLiteral("接收视频"));
    }
    // A stranger's garbage leaves the placeholder, an empty datagram blanks it, and frames are
    // shown again as soon as they come.
    a->form->Button4->click();
    ASSERT_TRUE(WaitUntil([&] { return !b->form->BitBtn1->isEnabled(); }));
    b->form->Video().PeerVideoPort(29102);  // as if the peer had announced it again
    QTest::mouseClick(b->form->BitBtn1, Qt::LeftButton);
    ASSERT_TRUE(b->form->IdUDPServer1.Active());
    RawUdp stranger("127.0.0.3");
    stranger.SendTo("127.0.0.2", 29102, "not a picture");
    Settle(std::chrono::milliseconds(100));
    EXPECT_TRUE(ShowsPlaceholder(*b));
    stranger.SendTo("127.0.0.2", 29102, "");
    ASSERT_TRUE(WaitUntil([&] { return b->form->Image1->pixmap().isNull(); }));
    StartSending(29102);
    ASSERT_TRUE(FramesArrive());
}

TEST_F(VideoTest, WithoutACameraThePeerIsStillToldAndNothingIsSent) {
    a->devices.camera.reset();
    StartSending(29103);
    EXPECT_EQ(a->form->CaptureWindow->text(), QStringLiteral("未找到摄像头"));
    // Only that text is seen: the panel's own caption does not show through it.
    const QImage shown = a->form->Panel1->grab().toImage();
    a->form->Panel1->setText(QString());
    EXPECT_EQ(a->form->Panel1->grab().toImage(), shown);
    QTest::mouseClick(b->form->BitBtn1, Qt::LeftButton);
    Settle();
    EXPECT_EQ(b->form->VideoReceiving().FramesShown(), 0);
    EXPECT_EQ(a->form->VideoSending().FramesSent(), 0);
    EXPECT_TRUE(ShowsPlaceholder(*b));
}

TEST_F(VideoTest, ACameraFaultIsToldOnThePreviewAndAReplugSendsAgainWithoutARestart) {
    StartSending(29104);
    QTest::mouseClick(b->form->BitBtn1, Qt::LeftButton);
    ASSERT_TRUE(FramesArrive());
    QLabel* preview = a->form->CaptureWindow;
    const QString unplugged = QStringLiteral("摄像头已断开，重新接上后会继续发送视频。");

    // Pulled out: the frozen picture gives way to the words, which a second report of the same
    // fault leaves alone; the sending state and the peer are untouched.
    CameraOf(*a).Fail(CaptureFault::Unplugged);
    EXPECT_EQ(preview->text(), unplugged);
    preview->setText(QStringLiteral("seen"));
    CameraOf(*a).Fail(CaptureFault::Unplugged);
    EXPECT_EQ(preview->text(), QStringLiteral("seen"));
    EXPECT_TRUE(a->form->Button4->isEnabled());
    EXPECT_TRUE(a->dialogs.calls.empty());

    // Plugged in again: the preview and the peer get frames at once.
    CameraOf(*a).Replug();
    ASSERT_TRUE(FramesArrive());
    EXPECT_FALSE(preview->pixmap().isNull());

    // Another fault after the camera came back is told again, in its own words.
    CameraOf(*a).Fail(CaptureFault::Failed, "Device or resource busy");
    EXPECT_EQ(preview->text(), QStringLiteral("摄像头无法使用，可能正被其他程序占用。"));
    EXPECT_FALSE(b->HistoryText().contains(QStringLiteral("对方关闭了视频")));
}

TEST_F(VideoTest, TheReceiveStateHoldsWhenTheDesktopMarksTheCaption) {
    StartSending(29105);
    // Desktops add accelerator marks to button texts on their own.
    b->form->BitBtn1->setText(QStringLiteral("接收视频(&R)"));
    QTest::mouseClick(b->form->BitBtn1, Qt::LeftButton);
    ASSERT_TRUE(b->form->IdUDPServer1.Active());
    EXPECT_EQ(b->form->BitBtn1->text(), QStringLiteral("停止接收"));
    b->form->BitBtn1->setText(QStringLiteral("&停止接收"));
    QTest::mouseDClick(b->form->Image1, Qt::LeftButton);
    ASSERT_NE(b->form->BigVideo(), nullptr);
    EXPECT_TRUE(b->form->BigVideo()->isVisible());
    QTest::mouseClick(b->form->BitBtn1, Qt::LeftButton);
    EXPECT_FALSE(b->form->IdUDPServer1.Active());
    EXPECT_EQ(b->form->BitBtn1->text(), QStringLiteral("接收视频"));
}

TEST_F(VideoTest, AnUnreachablePeerOnStartIsToldOnceWhileFramesStillGoOut) {
    RawUdp watcher("127.0.0.2", 29106);
    b.reset();  // nothing answers on the peer's control port any more
    a->form->Edit2->setText(QStringLiteral("29106"));
    QTest::mouseClick(a->form->Button3, Qt::LeftButton);
    ASSERT_TRUE(WaitUntil([&] { return a->dialogs.Count(QStringLiteral("unreachable")) == 1; }));
    EXPECT_FALSE(a->form->Button3->isEnabled());
    EXPECT_FALSE(a->form->Button4->isEnabled());
    ASSERT_TRUE(WaitUntil([&] { return a->form->VideoSending().FramesSent() >= 3; }));
    const auto frame = watcher.Receive(std::chrono::milliseconds(0));
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(frame->bytes.substr(0, 2), "\xFF\xD8");
    Settle(std::chrono::milliseconds(100));
    EXPECT_EQ(a->dialogs.calls.size(), 1u);  // the port line was never tried
}

TEST_F(VideoTest, ClosingTheWindowWhileSendingEndsCaptureWithoutTellingThePeer) {
    StartSending(29107);
    QTest::mouseClick(b->form->BitBtn1, Qt::LeftButton);
    ASSERT_TRUE(FramesArrive());
    a->form->close();
    EXPECT_FALSE(CameraOf(*a).Connected());
    Settle();
    EXPECT_FALSE(b->HistoryText().contains(QStringLiteral("对方关闭了视频")));
    EXPECT_EQ(b->form->BitBtn1->text(), QStringLiteral("停止接收"));
    EXPECT_TRUE(b->form->IdUDPServer1.Active());
}

}  // namespace
}  // namespace quorell::test
