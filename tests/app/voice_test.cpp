// Live voice between two windows over loopback, with a hand-driven recording and a recording
// playback device on each side.
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "app/form1.h"
#include "support/raw_tcp.h"
#include "support/two_peers.h"

namespace quorell::test {
namespace {

class VoiceTest : public TwoPeers {
protected:
    void SetUp() override {
        TwoPeers::SetUp();
        ConnectBothWays();
    }

    // A starts sending on the given local voice port in format; B starts receiving it.
    void Talk(int port, const WaveFormat& format) {
        a->form->Edit4->setText(QString::number(port));
        a->dialogs.formats.push_back(format);
        QTest::mouseClick(a->form->BitBtn5, Qt::LeftButton);
        ASSERT_EQ(a->form->BitBtn5->text(), QStringLiteral("取消语音"));
        ASSERT_TRUE(WaitUntil([&] { return b->form->BitBtn6->isEnabled(); }));
        EXPECT_EQ(b->form->Edit5->text(), QString::number(port));
        b->dialogs.formats.push_back(format);
        QTest::mouseClick(b->form->BitBtn6, Qt::LeftButton);
        ASSERT_EQ(b->form->BitBtn6->text(), QStringLiteral("取消接收"));
    }

    // The voice port line from the peer, as a raw control connection sends it.
    static bool TellVoicePort(Peer& to, const QString& port) {
        const std::string line = "system3:" + port.toStdString() + "\r\n";
        return SendRaw(to.address.c_str(), kTestControlPort, line) &&
               WaitUntil([&] { return to.form->Edit5->text() == port; });
    }

    // Records seconds of A's ramp and waits until B has played frames sample frames.
    bool Arrives(double seconds, std::size_t frames, int channels = 1) {
        a->tone->Produce(static_cast<int>(seconds * a->tone->opened_rate));
        return WaitUntil(
            [&] { return b->played->AllSamples().size() >= frames * std::size_t(channels); });
    }
};

TEST_F(VoiceTest, GsmVoiceArrivesInOrderAndCancelResumesWithoutTheChooser) {
    Talk(29200, Gsm610Format());
    EXPECT_EQ(a->dialogs.Count(QStringLiteral("choose")), 1);
    EXPECT_TRUE(WaitUntil([&] {
        return a->HistoryText().contains(QStringLiteral("对方接收了语音。")) &&
               b->HistoryText().contains(QStringLiteral("现在你可以接收语音了。"));
    }));
    // Each second is 25 blocks of 320 samples, sent as one datagram of 1625 bytes.
    ASSERT_TRUE(Arrives(2.0, 16000));
    EXPECT_EQ(b->played->AllSamples().size(), 16000u);

    // Cancel: the next second is recorded but not sent. Start again: no chooser, no reopening.
    QTest::mouseClick(a->form->BitBtn5, Qt::LeftButton);
    EXPECT_EQ(a->form->BitBtn5->text(), QStringLiteral("发送语音"));
    a->tone->Produce(8000);
    Settle(std::chrono::milliseconds(200));
    EXPECT_EQ(b->played->AllSamples().size(), 16000u);
    QTest::mouseClick(a->form->BitBtn5, Qt::LeftButton);
    EXPECT_EQ(a->dialogs.Count(QStringLiteral("choose")), 1);
    EXPECT_EQ(a->tone->opens, 1);
    ASSERT_TRUE(Arrives(1.0, 24000));
}

TEST_F(VoiceTest, EightBitPcmBothWaysWhateverTheButtonsShow) {
    // A desktop that puts accelerator marks into the buttons' texts changes nothing.
    a->form->BitBtn5->setText(QStringLiteral("&发送语音"));
    b->form->BitBtn6->setText(QStringLiteral("接收语音(&R)"));
    Talk(29204, PcmFormat(8000, 8, 1));
    ASSERT_TRUE(Arrives(1.0, 8000));
    // B talks back on its own port; both sides keep the format chosen first.
    b->form->Edit4->setText(QStringLiteral("29205"));
    QTest::mouseClick(b->form->BitBtn5, Qt::LeftButton);
    ASSERT_EQ(b->form->BitBtn5->text(), QStringLiteral("取消语音"));
    ASSERT_TRUE(WaitUntil([&] { return a->form->BitBtn6->isEnabled(); }));
    QTest::mouseClick(a->form->BitBtn6, Qt::LeftButton);
    ASSERT_EQ(a->form->BitBtn6->text(), QStringLiteral("取消接收"));
    EXPECT_EQ(b->dialogs.Count(QStringLiteral("choose")), 1);
    b->tone->Produce(8000);
    ASSERT_TRUE(WaitUntil([&] { return a->played->AllSamples().size() >= 8000; }));
    // 8-bit samples come back as the high byte of the ramp, in order.
    const auto heard = a->played->AllSamples();
    for (std::size_t i = 1; i < 8000; ++i) ASSERT_GE(heard[i], heard[i - 1]) << i;
}

TEST_F(VoiceTest, AFormatOfMoreThan8192BytesASecondArrivesWholeInSeveralDatagrams) {
    // 16-bit mono at 22050 Hz is 44100 bytes a second: six datagrams, nothing cut.
    const WaveFormat pcm = PcmFormat(22050, 16, 1);
    Talk(29201, pcm);
    ASSERT_TRUE(Arrives(2.0, 44100));
    std::vector<std::int16_t> ramp(44100);
    for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<std::int16_t>(i);
    EXPECT_EQ(b->played->AllSamples(), ramp);
}

TEST_F(VoiceTest, ChooserCancelledReceiveOnlyAndAPortInUse) {
    // A cancelled chooser changes nothing and tells the peer nothing; the next press asks again.
    a->form->Edit4->setText(QStringLiteral("29202"));
    QTest::mouseClick(a->form->BitBtn5, Qt::LeftButton);
    EXPECT_EQ(a->form->BitBtn5->text(), QStringLiteral("发送语音"));
    Settle(std::chrono::milliseconds(200));
    EXPECT_FALSE(b->form->BitBtn6->isEnabled());

    // Receiving alone records but sends nothing.
    ASSERT_TRUE(TellVoicePort(*b, QStringLiteral("29203")));
    ASSERT_TRUE(b->form->BitBtn6->isEnabled());
    b->dialogs.formats.push_back(PcmFormat(8000, 8, 1));
    QTest::mouseClick(b->form->BitBtn6, Qt::LeftButton);
    EXPECT_EQ(b->form->BitBtn6->text(), QStringLiteral("取消接收"));
    ASSERT_TRUE(b->tone->Opened());
    // A listens where B's voice would go, so it would hear anything B sent.
    ASSERT_TRUE(TellVoicePort(*a, b->form->Edit4->text()));
    a->dialogs.formats.push_back(PcmFormat(8000, 8, 1));
    QTest::mouseClick(a->form->BitBtn6, Qt::LeftButton);
    ASSERT_EQ(a->form->BitBtn6->text(), QStringLiteral("取消接收"));
    b->tone->Produce(16000);
    Settle(std::chrono::milliseconds(200));
    EXPECT_TRUE(a->played->blocks.empty());
    // Once B sends, its next second is heard there.
    QTest::mouseClick(b->form->BitBtn5, Qt::LeftButton);
    ASSERT_EQ(b->form->BitBtn5->text(), QStringLiteral("取消语音"));
    b->tone->Produce(8000);
    EXPECT_TRUE(WaitUntil([&] { return a->played->AllSamples().size() == 8000; }));

    // The file port is taken by the file receiver: the bind failure is reported.
    QTest::mouseClick(b->form->BitBtn6, Qt::LeftButton);
    ASSERT_TRUE(TellVoicePort(*b, QString::number(kTestFilePort)));
    QTest::mouseClick(b->form->BitBtn6, Qt::LeftButton);
    EXPECT_EQ(b->dialogs.LastText(),
              QStringLiteral("Could not bind socket. Address and port are already in use."));
    EXPECT_EQ(b->form->BitBtn6->text(), QStringLiteral("接收语音"));
}

}  // namespace
}  // namespace quorell::test
