// Two windows over a real encrypted session on loopback: one press connects both, everything
// travels over it, the peer's key is checked against what this side remembers, and a peer
// without the session gets the plain protocol exactly as before.
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include "app/qt_bridge.h"
#include "app/qt_text.h"
#include "support/two_peers.h"

namespace quorell::test {
namespace {

const QString kOwn = QStringLiteral("自己[");
const QString kPeer = QStringLiteral("对方[");

QString KnownPeersFile(const std::string& folder) {
    QFile file(QString::fromStdString(folder + "/known_peers"));
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(file.readAll());
}

bool HistoryHas(const Peer& peer, const QString& text) {
    return peer.HistoryText().contains(text);
}

class SessionWindowTest : public TwoPeers {
protected:
    void SetUp() override {
        TwoPeers::SetUp();
        StartWithSessions();
    }
};

TEST_F(SessionWindowTest, OnePressConnectsBothWindowsAndChatCarriesWhatGbkLacks) {
    OpenSession();
    EXPECT_EQ(b->form->Edit1->text(), QStringLiteral("127.0.0.1"));
    for (Peer* peer : {a.get(), b.get()}) {
        for (QPushButton* button : {peer->form->Button1, peer->form->Button2, peer->form->Button3,
                                    peer->form->BitBtn4, peer->form->BitBtn5}) {
            EXPECT_TRUE(button->isEnabled()) << button->text().toStdString();
        }
        EXPECT_EQ(peer->form->Label5->text(), QStringLiteral("加密，未验证"));
        EXPECT_TRUE(peer->form->Button7->isVisible());
        EXPECT_TRUE(HistoryHas(*peer, QStringLiteral("建立加密会话")));
    }
    // Both sides show the same code, and it is a code.
    const QString code = a->form->Label6->text();
    EXPECT_EQ(code, b->form->Label6->text());
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^验证码 \\d{4} \\d{4}$")).match(code).hasMatch())
        << code.toStdString();
    // No connect notice went over the plain protocol: no ring, no peer line.
    Settle();
    EXPECT_EQ(b->HistoryLinesStartingWith(kPeer), 0);
    EXPECT_EQ(b->ring->rings, 0);

    const QString there = QStringLiteral("你好 😀\n第二行");
    ASSERT_TRUE(a->Send(there));
    EXPECT_TRUE(a->form->Memo2->toPlainText().isEmpty());
    ASSERT_TRUE(WaitUntil([&] { return b->ring->rings == 1; }));
    EXPECT_TRUE(HistoryHas(*b, QStringLiteral("]: 你好 😀\n第二行")));
    EXPECT_EQ(b->form->LastIncomingLine(), QString());  // it rang

    ASSERT_TRUE(b->Send(QStringLiteral("回复 🎉")));
    ASSERT_TRUE(WaitUntil([&] { return HistoryHas(*a, QStringLiteral("]: 回复 🎉")); }));
    EXPECT_EQ(a->HistoryLinesStartingWith(kPeer), 1);
}

TEST_F(SessionWindowTest, MessagesBeyondTheSessionLimitAreRefusedAndKept) {
    OpenSession();
    const QString big(64 * 1024 + 1, QLatin1Char('x'));
    a->StartSend(big);
    ASSERT_EQ(a->dialogs.Count(QStringLiteral("plain")), 1);
    EXPECT_EQ(a->form->Memo2->toPlainText(), big);
    // Longer than the plain protocol's 8000 bytes is fine over the session.
    ASSERT_TRUE(a->Send(QString(20000, QLatin1Char('y'))));
    ASSERT_TRUE(WaitUntil([&] { return b->ring->rings == 1; }));
}

TEST_F(SessionWindowTest, NoticesTravelOverTheSessionAndActAsThePlainOnes) {
    // A copy without calls: its video keeps the plain datagrams, announced over the session.
    RestartWithSession(b, IdentityFolder(*b), false);
    OpenSession();
    a->form->Edit2->setText(QStringLiteral("23456"));
    QTest::mouseClick(a->form->Button3, Qt::LeftButton);
    ASSERT_TRUE(WaitUntil([&] { return b->form->Edit3->text() == QStringLiteral("23456"); }));
    EXPECT_TRUE(b->form->BitBtn1->isEnabled());
    ASSERT_TRUE(WaitUntil(
        [&] { return HistoryHas(*b, QStringLiteral("对方打开了视频，您现在可以接收视频了。")); }));
    QTest::mouseClick(a->form->Button4, Qt::LeftButton);
    ASSERT_TRUE(WaitUntil([&] { return !b->form->BitBtn1->isEnabled(); }));
    EXPECT_EQ(b->HistoryText().count(QStringLiteral("对方（未加密）")), 0);
}

TEST_F(SessionWindowTest, APlainLineWhileTheSessionIsOpenIsMarkedNotEncrypted) {
    OpenSession();
    // From B's own address, but not over the session: anybody could have sent it.
    ASSERT_TRUE(
        b->form->PlainControl().SendControlLineTo("127.0.0.1", ToGbk(QStringLiteral("是我"))));
    ASSERT_TRUE(WaitUntil([&] { return HistoryHas(*a, QStringLiteral("]: 是我")); }));
    EXPECT_EQ(a->HistoryLinesStartingWith(QStringLiteral("对方（未加密）[")), 1);
    EXPECT_EQ(a->HistoryLinesStartingWith(kPeer), 0);
}

TEST_F(SessionWindowTest, VerifyingIsRememberedAndShownAtTheNextSession) {
    OpenSession();
    a->dialogs.verify_answers = {false};
    QTest::mouseClick(a->form->Button7, Qt::LeftButton);
    EXPECT_EQ(a->dialogs.Count(QStringLiteral("verify")), 1);
    EXPECT_EQ(a->dialogs.LastText(), b->form->Label6->text().mid(4));  // the code, asked about
    EXPECT_EQ(a->form->Label5->text(), QStringLiteral("加密，未验证"));
    EXPECT_TRUE(KnownPeersFile(IdentityFolder(*a)).contains(QStringLiteral(" unverified ")));

    a->dialogs.verify_answers = {true};
    QTest::mouseClick(a->form->Button7, Qt::LeftButton);
    EXPECT_EQ(a->form->Label5->text(), QStringLiteral("加密，已验证"));
    EXPECT_FALSE(a->form->Button7->isVisible());
    EXPECT_TRUE(KnownPeersFile(IdentityFolder(*a)).contains(QStringLiteral(" verified ")));
    // Only A's user compared: B still says unverified.
    EXPECT_EQ(b->form->Label5->text(), QStringLiteral("加密，未验证"));

    // B comes back with the same identity: verified from the first moment, no question asked.
    RestartWithSession(b, IdentityFolder(*b));
    ASSERT_TRUE(WaitUntil([&] { return !a->form->SessionOpen(); }));
    EXPECT_EQ(a->form->Label5->text(), QStringLiteral("未加密"));
    OpenSession();
    EXPECT_EQ(a->form->Label5->text(), QStringLiteral("加密，已验证"));
    EXPECT_EQ(a->dialogs.Count(QStringLiteral("key changed")), 0);
}

TEST_F(SessionWindowTest, AChangedKeyIsReportedAndNeverTrustedByItself) {
    OpenSession();
    a->dialogs.verify_answers = {true};
    QTest::mouseClick(a->form->Button7, Qt::LeftButton);
    const QString before = KnownPeersFile(IdentityFolder(*a));

    RestartWithSession(b, IdentityFolder(*b) + "-new");
    ASSERT_TRUE(WaitUntil([&] { return !a->form->SessionOpen(); }));
    OpenSession();
    ASSERT_EQ(a->dialogs.Count(QStringLiteral("key changed")), 1);
    EXPECT_EQ(a->form->Label5->text(), QStringLiteral("加密，未验证"));
    EXPECT_TRUE(a->form->Button7->isVisible());
    EXPECT_TRUE(HistoryHas(*a, QStringLiteral("警告")));
    EXPECT_EQ(KnownPeersFile(IdentityFolder(*a)), before);
}

TEST_F(SessionWindowTest, TheSessionEndingReturnsBothWindowsToThePlainProtocol) {
    OpenSession();
    // B closes its window: A hears the goodbye and goes on without the session.
    b.reset();
    ASSERT_TRUE(WaitUntil([&] { return !a->form->SessionOpen(); }));
    EXPECT_EQ(a->form->Label5->text(), QStringLiteral("未加密"));
    EXPECT_FALSE(a->form->Label6->isVisible());
    EXPECT_TRUE(HistoryHas(*a, QStringLiteral("加密会话已结束")));

    // A plain copy at B's address now gets A's chat over the plain protocol.
    b = std::make_unique<Peer>("127.0.0.2", bridge);
    ASSERT_TRUE(a->Send(QStringLiteral("还在吗")));
    ASSERT_TRUE(WaitUntil([&] { return HistoryHas(*b, QStringLiteral("]: 还在吗")); }));
    EXPECT_EQ(b->HistoryLinesStartingWith(kPeer), 1);
}

TEST_F(SessionWindowTest, AThirdCopyCannotTakeOverTheOpenSession) {
    OpenSession();
    PeerPorts ports;
    ports.session = kTestSessionPort;
    Peer c("127.0.0.3", bridge, ports, temp_folder + "/c");
    c.TypeAddress(QStringLiteral("127.0.0.1"));
    c.Connect();
    // A turns C's session away as soon as it is handed over; A keeps its session with B.
    ASSERT_TRUE(WaitUntil([&] { return !c.form->SessionOpen(); }));
    EXPECT_EQ(c.form->Label5->text(), QStringLiteral("未加密"));
    EXPECT_TRUE(a->form->SessionOpen());
    EXPECT_EQ(a->form->Edit1->text(), QStringLiteral("127.0.0.2"));
    EXPECT_FALSE(HistoryHas(*a, QStringLiteral("127.0.0.3")));
    ASSERT_TRUE(a->Send(QStringLiteral("只给B")));
    ASSERT_TRUE(WaitUntil([&] { return HistoryHas(*b, QStringLiteral("]: 只给B")); }));
    EXPECT_FALSE(HistoryHas(c, QStringLiteral("只给B")));
}

TEST_F(SessionWindowTest, APeerWithoutTheSessionGetsExactlyThePlainConnect) {
    b.reset();
    b = std::make_unique<Peer>("127.0.0.2", bridge);  // the plain protocol only
    a->TypeAddress(QStringLiteral("127.0.0.2"));
    a->Connect();
    EXPECT_FALSE(a->form->SessionOpen());
    EXPECT_EQ(a->History(), QStringList({a->History().value(0)}));
    EXPECT_TRUE(a->History().value(0).startsWith(kOwn));
    EXPECT_TRUE(a->History().value(0).endsWith(QStringLiteral("]: [系统消息]：连接成功！")));
    ASSERT_TRUE(WaitUntil([&] { return b->ring->rings == 1; }));
    Settle();
    ASSERT_EQ(b->History().size(), 1);
    EXPECT_TRUE(b->History()[0].endsWith(QStringLiteral("]: [系统消息]：对方已经连接成功。")));
    EXPECT_EQ(b->form->Edit1->text(), QStringLiteral("127.0.0.1"));  // from the address line
    EXPECT_EQ(a->form->Label5->text(), QStringLiteral("未加密"));
    EXPECT_TRUE(a->dialogs.calls.empty());
}

TEST(SessionStartTest, ACorruptIdentityLeavesThePlainProtocolAndSaysWhyBesideItsKind) {
    auto bridge = MakeQtUiBridge();
    QTemporaryDir folder;
    QFile key(folder.filePath(QStringLiteral("key.pem")));
    ASSERT_TRUE(key.open(QIODevice::WriteOnly));
    key.write("not a key");
    key.close();
    PeerPorts ports;
    ports.session = kTestSessionPort;
    {
        Peer peer("127.0.0.1", bridge, ports, folder.path().toStdString());
        EXPECT_EQ(peer.form->Sessions(), nullptr);
        EXPECT_TRUE(peer.form->Server1.Active());
        EXPECT_TRUE(peer.HistoryText().isEmpty());
        EXPECT_TRUE(peer.form->Label5->toolTip().contains(QStringLiteral("无法启用加密会话")));
        EXPECT_TRUE(peer.dialogs.calls.empty());
    }
    bridge->Close();
}

}  // namespace
}  // namespace quorell::test
