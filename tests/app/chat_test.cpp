// Two copies of the program talking over loopback, driven through their widgets.
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include "support/two_peers.h"

namespace quorell::test {
namespace {

const QString kOwn = QStringLiteral("自己[");
const QString kPeer = QStringLiteral("对方[");

// The text after "]: " of the history's last line that starts with prefix.
QString LastText(const Peer& peer, const QString& prefix) {
    const QString all = peer.HistoryText();
    const int at = all.lastIndexOf(QLatin1Char('\n') + prefix);
    const int start = at < 0 ? (all.startsWith(prefix) ? 0 : -1) : at + 1;
    if (start < 0) return {};
    const int body = all.indexOf(QStringLiteral("]: "), start);
    return all.mid(body + 3);
}

using ConnectTest = TwoPeers;

TEST_F(ConnectTest, AddressLengthEnablesTheConnectButton) {
    a->TypeAddress(QStringLiteral("10.0.0.1"));
    EXPECT_FALSE(a->form->Button6->isEnabled());
    QTest::keyClicks(a->form->Edit1, QStringLiteral("0"));
    EXPECT_TRUE(a->form->Button6->isEnabled());
    QTest::keyClick(a->form->Edit1, Qt::Key_Backspace);
    EXPECT_FALSE(a->form->Button6->isEnabled());
    // Spaces count: eight characters and a blank enable it.
    QTest::keyClicks(a->form->Edit1, QStringLiteral(" "));
    EXPECT_TRUE(a->form->Button6->isEnabled());
}

TEST_F(ConnectTest, ConnectingTellsThePeerAndEnablesOnlyTheLocalButtons) {
    a->TypeAddress(QStringLiteral("127.0.0.2"));
    a->Connect();
    for (QPushButton* button : {a->form->Button1, a->form->Button2, a->form->Button3,
                                a->form->BitBtn4, a->form->BitBtn5}) {
        EXPECT_TRUE(button->isEnabled()) << button->text().toStdString();
    }
    EXPECT_EQ(LastText(*a, kOwn), QStringLiteral("[系统消息]：连接成功！"));
    ASSERT_TRUE(WaitUntil([&] { return b->ring->rings == 1; }));
    EXPECT_EQ(LastText(*b, kPeer), QStringLiteral("[系统消息]：对方已经连接成功。"));
    // The address line is consumed silently: exactly one line arrived at B.
    Settle();
    EXPECT_EQ(b->History().size(), 1);
    EXPECT_FALSE(b->form->Button1->isEnabled());
    EXPECT_FALSE(a->form->BitBtn1->isEnabled());
    EXPECT_EQ(a->ring->rings, 0);

    // Connecting again repeats everything.
    a->Connect();
    ASSERT_TRUE(WaitUntil([&] { return b->ring->rings == 2; }));
    EXPECT_EQ(a->HistoryLinesStartingWith(kOwn), 2);
}

TEST_F(ConnectTest, EnterInTheAddressBoxConnectsAndTrailingBlanksAreTrimmed) {
    a->TypeAddress(QStringLiteral("127.0.0.2  "));
    QTest::keyClick(a->form->Edit1, Qt::Key_Return);
    EXPECT_TRUE(a->form->Button1->isEnabled());
    ASSERT_TRUE(WaitUntil([&] { return b->ring->rings == 1; }));
}

TEST_F(ConnectTest, UnreachablePeerShowsTheBoxAndChangesNothing) {
    a->TypeAddress(QStringLiteral("127.0.0.3"));  // nobody listens there
    a->Connect();
    ASSERT_EQ(a->dialogs.Count(QStringLiteral("unreachable")), 1);
    EXPECT_TRUE(a->HistoryText().isEmpty());
    EXPECT_FALSE(a->form->Button1->isEnabled());
    EXPECT_FALSE(a->form->Button2->isEnabled());
}

TEST_F(ConnectTest, ConnectingToOwnAddressRingsOwnWindow) {
    a->TypeAddress(QStringLiteral("127.0.0.1"));
    a->Connect();
    ASSERT_TRUE(WaitUntil([&] { return a->ring->rings == 1; }));
    EXPECT_EQ(a->HistoryLinesStartingWith(kPeer), 1);
    EXPECT_EQ(a->HistoryLinesStartingWith(kOwn), 1);
}

using ChatTest = TwoPeers;

TEST_F(ChatTest, MessagesTravelBothWaysWithLineBreaksAndChinese) {
    ConnectBothWays();
    ASSERT_TRUE(a->Send(QStringLiteral("a\nb")));
    ASSERT_TRUE(WaitUntil([&] { return b->ring->rings == 2; }));
    EXPECT_EQ(LastText(*b, kPeer), QStringLiteral("a\nb"));
    EXPECT_TRUE(b->form->LastIncomingLine().isEmpty());  // held only until its ring
    ASSERT_TRUE(WaitUntil([&] { return a->form->Memo2->toPlainText().isEmpty(); }));
    EXPECT_EQ(LastText(*a, kOwn), QStringLiteral("a\nb"));

    ASSERT_TRUE(b->Send(QStringLiteral("你好，世界！\n第二行")));
    ASSERT_TRUE(WaitUntil([&] { return a->ring->rings == 2; }));
    EXPECT_EQ(LastText(*a, kPeer), QStringLiteral("你好，世界！\n第二行"));

    // A typed "/@@" stays as typed here and becomes a line break there.
    ASSERT_TRUE(a->Send(QStringLiteral("x/@@y")));
    ASSERT_TRUE(WaitUntil([&] { return b->ring->rings == 3; }));
    EXPECT_EQ(LastText(*b, kPeer), QStringLiteral("x\ny"));
    ASSERT_TRUE(WaitUntil([&] { return LastText(*a, kOwn) == QStringLiteral("x/@@y"); }));
}

TEST_F(ChatTest, MessagesOfEightThousandBytesAreTheLimit) {
    ConnectBothWays();
    const QString exact(4000, QChar(0x4E2D));  // 4000 × "中", 8000 GBK bytes
    ASSERT_TRUE(a->Send(exact));
    ASSERT_TRUE(WaitUntil([&] { return b->ring->rings == 2; }));
    EXPECT_EQ(LastText(*b, kPeer), exact);

    ASSERT_TRUE(WaitUntil([&] { return a->form->Memo2->toPlainText().isEmpty(); }));
    a->StartSend(exact + QStringLiteral("a"));
    ASSERT_TRUE(WaitUntil([&] { return a->dialogs.Count(QStringLiteral("plain")) == 1; }));
    EXPECT_EQ(a->dialogs.calls.back().text,
              QStringLiteral("文本太大，可能无法正常传输，请适当减少"));
    Settle();
    EXPECT_EQ(b->ring->rings, 2);
    EXPECT_EQ(a->form->Memo2->toPlainText(), exact + QStringLiteral("a"));

    // A line break counts as the two bytes CR LF it travels as.
    const QString with_break = QString(3998, QChar(0x4E2D)) + QStringLiteral("\n中");
    ASSERT_TRUE(a->Send(with_break));
    ASSERT_TRUE(WaitUntil([&] { return b->ring->rings == 3; }));
    a->StartSend(QString(3998, QChar(0x4E2D)) + QStringLiteral("\n\n中"));
    ASSERT_TRUE(WaitUntil([&] { return a->dialogs.Count(QStringLiteral("plain")) == 2; }));
}

TEST_F(ChatTest, BlankAndEmptyMessages) {
    ConnectBothWays();
    const int own_before = a->HistoryLinesStartingWith(kOwn);
    a->StartSend(QString());
    Settle();
    EXPECT_EQ(a->HistoryLinesStartingWith(kOwn), own_before);
    ASSERT_TRUE(a->Send(QStringLiteral("   ")));
    EXPECT_EQ(LastText(*a, kOwn), QStringLiteral("   "));
    Settle();
    EXPECT_EQ(b->ring->rings, 1);
    EXPECT_EQ(b->HistoryLinesStartingWith(kPeer), 1);
}

TEST_F(ChatTest, SendingToAnUnreachablePeerKeepsTheText) {
    ConnectBothWays();
    a->TypeAddress(QStringLiteral("127.0.0.3"));
    a->StartSend(QStringLiteral("lost?"));
    ASSERT_TRUE(WaitUntil([&] { return a->dialogs.Count(QStringLiteral("unreachable")) == 1; }));
    Settle();
    EXPECT_EQ(a->form->Memo2->toPlainText(), QStringLiteral("lost?"));
    EXPECT_EQ(a->HistoryLinesStartingWith(kOwn), 1);  // only the connect line
}

TEST_F(ChatTest, ChatTextThatLooksLikeControlLinesActsAsThem) {
    ConnectBothWays();
    ASSERT_TRUE(a->Send(QStringLiteral("system1:08090")));
    ASSERT_TRUE(WaitUntil([&] { return b->form->Edit3->text() == QStringLiteral("8090"); }));
    EXPECT_TRUE(b->form->BitBtn1->isEnabled());

    ASSERT_TRUE(a->Send(QStringLiteral("system3:  4321  ")));
    ASSERT_TRUE(WaitUntil([&] { return b->form->Edit5->text() == QStringLiteral("4321"); }));
    EXPECT_TRUE(b->form->BitBtn6->isEnabled());

    ASSERT_TRUE(a->Send(QStringLiteral("system2:anything")));
    ASSERT_TRUE(a->Send(QStringLiteral("system1 is not a number")));
    ASSERT_TRUE(a->Send(QStringLiteral("[系统消息]：对方给你传输了文件，请接收。")));
    ASSERT_TRUE(WaitUntil([&] { return b->form->BitBtn7->isEnabled(); }));
    ASSERT_TRUE(WaitUntil([&] { return b->ring->rings == 2; }));
    EXPECT_EQ(LastText(*b, kPeer), QStringLiteral("[系统消息]：对方给你传输了文件，请接收。"));
    EXPECT_EQ(b->form->Edit3->text(), QStringLiteral("8090"));

    // The accept notice is shown without a ring.
    ASSERT_TRUE(a->Send(QStringLiteral("[系统消息]：对方开始接收文件。")));
    ASSERT_TRUE(WaitUntil(
        [&] { return LastText(*b, kPeer) == QStringLiteral("[系统消息]：对方开始接收文件。"); }));
    Settle();
    EXPECT_EQ(b->ring->rings, 2);

    // The video-closed notice resets the peer's video controls and is shown.
    ASSERT_TRUE(a->Send(QStringLiteral("[系统消息]：对方关闭了视频。")));
    ASSERT_TRUE(WaitUntil([&] { return b->ring->rings == 3; }));
    EXPECT_TRUE(b->form->Edit3->text().isEmpty());
    EXPECT_FALSE(b->form->BitBtn1->isEnabled());
}

TEST_F(ChatTest, ClearEmptiesBothBoxesAndRingingGoesOn) {
    ConnectBothWays();
    b->form->Memo2->setPlainText(QStringLiteral("draft"));
    QTest::mouseClick(b->form->Button2, Qt::LeftButton);
    EXPECT_TRUE(b->HistoryText().isEmpty());
    EXPECT_TRUE(b->form->Memo2->toPlainText().isEmpty());
    EXPECT_EQ(b->ring->rings, 1);
    ASSERT_TRUE(a->Send(QStringLiteral("after clear")));
    ASSERT_TRUE(WaitUntil([&] { return b->ring->rings == 2; }));
    EXPECT_TRUE(b->form->Button1->isEnabled());
}

TEST_F(ChatTest, RingPlaysTheSoundBesideTheProgram) {
    ConnectBothWays();
    EXPECT_TRUE(b->ring->last_path.endsWith(QStringLiteral("/Sound.WAV")));
}

}  // namespace
}  // namespace quorell::test
