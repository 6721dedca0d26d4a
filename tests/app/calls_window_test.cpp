// Calls between two windows over a real session on loopback, with a tone for each microphone,
// the fixture's pattern cameras and the peer's voice recorded: voice both ways and stopped from
// either side, restarted, ended by a peer that leaves; video both ways in the peer's picture
// and the bigger view; a speaker that cannot be opened.
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <mutex>
#include <vector>

#include "call_pair.h"
#include "calls/session_calls.h"
#include "support/two_peers.h"

namespace quorell::test {
namespace {

using media::test::ToneShare;

// The peer's voice as one window's speaker would have played it: the latest half second.
struct Ear {
    std::mutex mutex;
    std::vector<std::int16_t> samples;
    std::size_t total = 0;

    std::vector<std::int16_t> Latest() {
        std::lock_guard lock(mutex);
        return samples;
    }
    std::size_t Total() {
        std::lock_guard lock(mutex);
        return total;
    }
};

class CallsWindowTest : public TwoPeers {
protected:
    void SetUp() override {
        TwoPeers::SetUp();
        StartWithSessions();
        GiveTone(*a, 440, ear_a);
        GiveTone(*b, 660, ear_b);
    }

    static void GiveTone(Peer& peer, double hz, const std::shared_ptr<Ear>& ear,
                         std::string speaker = {}) {
        peer.devices.call_devices = [hz, ear, speaker](calls::SessionCallsConfig& config) {
            config.voice_source.kind = media::VoiceSource::Kind::kTone;
            config.voice_source.tone_hz = hz;
            config.voice_output.device = speaker;
            if (!speaker.empty()) return;  // played by the sound server
            config.voice_output.on_samples = [ear](const media::VoiceSamples& block) {
                std::lock_guard lock(ear->mutex);
                ear->samples.insert(ear->samples.end(), block.samples,
                                    block.samples + block.frames * block.channels);
                if (ear->samples.size() > 24000)
                    ear->samples.erase(ear->samples.begin(), ear->samples.end() - 24000);
                ear->total += block.frames;
            };
        };
    }

    static void Click(QPushButton* button) { QTest::mouseClick(button, Qt::LeftButton); }

    static bool Shows(const Peer& peer, const QString& text,
                      std::chrono::seconds timeout = std::chrono::seconds(20)) {
        return WaitUntil([&] { return peer.HistoryText().contains(text); }, timeout);
    }

    // The latest half second of what `ear` heard is mostly the tone of hz.
    static bool Hears(Ear& ear, double hz) {
        return WaitUntil(
            [&] {
                const std::vector<std::int16_t> heard = ear.Latest();
                return heard.size() >= 24000 && ToneShare(heard, hz) > 0.5;
            },
            std::chrono::seconds(20));
    }

    std::shared_ptr<Ear> ear_a = std::make_shared<Ear>();
    std::shared_ptr<Ear> ear_b = std::make_shared<Ear>();
};

TEST_F(CallsWindowTest, VoiceGoesBothWaysStopsOnBothSidesAndEndsWhenThePeerLeaves) {
    OpenSession();
    // No format chooser: the invite goes out at once and the peer decides to listen.
    Click(a->form->BitBtn5);
    ASSERT_TRUE(Shows(*b, QStringLiteral("对方邀请你语音通话"))) << b->HistoryText().toStdString();
    EXPECT_TRUE(a->dialogs.shown_formats.empty());
    ASSERT_TRUE(WaitUntil([&] { return b->form->BitBtn6->isEnabled(); }));
    Click(b->form->BitBtn6);
    ASSERT_TRUE(Shows(*a, QStringLiteral("语音通话已接通"))) << a->HistoryText().toStdString();
    ASSERT_TRUE(Shows(*b, QStringLiteral("语音通话已接通")));
    EXPECT_TRUE(a->form->Label6->text().contains(QStringLiteral("语音已加密")));
    EXPECT_TRUE(Hears(*ear_b, 440)) << "B does not hear A's tone";
    EXPECT_TRUE(Hears(*ear_a, 660)) << "A does not hear B's tone";

    // A mutes: B hears silence while the call goes on. Either side may mute its own voice.
    EXPECT_FALSE(b->form->Button8->isHidden());
    ASSERT_FALSE(a->form->Button8->isHidden());
    Click(a->form->Button8);
    EXPECT_TRUE(WaitUntil([&] { return media::test::Rms(ear_b->Latest()) < 30; }));
    EXPECT_TRUE(Hears(*ear_a, 660));

    // The listener hangs up: both ends stop at once, and nothing more is played.
    Click(b->form->BitBtn6);
    ASSERT_TRUE(Shows(*a, QStringLiteral("对方结束了语音通话")));
    ASSERT_TRUE(WaitUntil([&] { return a->form->BitBtn5->text() == QStringLiteral("发送语音"); }));
    EXPECT_FALSE(a->form->Label6->text().contains(QStringLiteral("语音已加密")));
    EXPECT_TRUE(a->form->Button8->isHidden());
    EXPECT_FALSE(a->form->Button8->isChecked());
    const std::size_t played = ear_a->Total();
    QTest::qWait(300);
    EXPECT_LT(ear_a->Total(), played + 4800) << "A still plays B's voice after the stop";

    // Again, the other way round, then A's window goes mid-call.
    Click(b->form->BitBtn5);
    ASSERT_TRUE(WaitUntil([&] { return a->form->BitBtn6->isEnabled(); }));
    Click(a->form->BitBtn6);
    ASSERT_TRUE(Shows(*b, QStringLiteral("语音通话已接通")));
    EXPECT_TRUE(Hears(*ear_a, 660));
    a.reset();
    ASSERT_TRUE(Shows(*b, QStringLiteral("通话已结束（加密会话已结束）")))
        << b->HistoryText().toStdString();
    EXPECT_EQ(b->form->BitBtn5->text(), QStringLiteral("发送语音"));
    EXPECT_FALSE(b->form->BitBtn6->isEnabled());
}

TEST_F(CallsWindowTest, VideoGoesBothWaysAtFullSizeAndEitherSideStopsIt) {
    OpenSession();
    Click(a->form->Button3);
    ASSERT_TRUE(Shows(*b, QStringLiteral("对方邀请你视频通话")));
    // B starts its own camera: that takes A's call, and its pictures go back in it.
    Click(b->form->Button3);
    const auto full_size = [](const Peer& peer) {
        return peer.form->Image1->pixmap().size() == QSize(640, 480);
    };
    ASSERT_TRUE(WaitUntil([&] { return full_size(*a) && full_size(*b); }, std::chrono::seconds(20)))
        << a->HistoryText().toStdString() << b->HistoryText().toStdString();
    EXPECT_TRUE(b->form->Label6->text().contains(QStringLiteral("视频已加密")));
    EXPECT_EQ(b->form->BitBtn1->text(), QStringLiteral("停止接收"));
    // The peer's video in the bigger view.
    QTest::mouseDClick(b->form->Image1, Qt::LeftButton);
    ASSERT_TRUE(WaitUntil([&] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w != b->form.get() && w->isVisible() && w->width() >= 640) return true;
        return false;
    }));

    Click(a->form->Button4);
    ASSERT_TRUE(Shows(*b, QStringLiteral("对方结束了视频通话")));
    ASSERT_TRUE(WaitUntil([&] { return !full_size(*b) && b->form->Button3->isEnabled(); }));
    EXPECT_FALSE(b->form->Button4->isEnabled());
    EXPECT_FALSE(b->form->BitBtn1->isEnabled());
    EXPECT_TRUE(a->form->Button3->isEnabled());
}

TEST_F(CallsWindowTest, ASpeakerThatCannotBeOpenedIsToldOnceAndTheCallGoesOn) {
    GiveTone(*b, 660, ear_b, "quorell-no-such-speaker");
    OpenSession();
    Click(a->form->BitBtn5);
    ASSERT_TRUE(WaitUntil([&] { return b->form->BitBtn6->isEnabled(); }));
    Click(b->form->BitBtn6);
    ASSERT_TRUE(Shows(*a, QStringLiteral("语音通话已接通")))
        << a->HistoryText().toStdString() << b->HistoryText().toStdString();
    // B cannot play A's voice, but A still hears B.
    EXPECT_TRUE(Hears(*ear_a, 660));
    EXPECT_TRUE(b->form->Label6->text().contains(QStringLiteral("语音已加密")))
        << b->HistoryText().toStdString();
    QTest::qWait(500);
    const QString history = b->HistoryText();
    EXPECT_EQ(history.count(QStringLiteral("扬声器无法使用，通话继续，但你听不到对方的声音")), 1)
        << history.toStdString();
    EXPECT_FALSE(history.contains(QStringLiteral("语音通话失败"))) << history.toStdString();
}

}  // namespace
}  // namespace quorell::test
