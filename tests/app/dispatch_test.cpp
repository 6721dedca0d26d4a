// What a window does with control lines from the network, including hostile ones.

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <memory>
#include <vector>

#include "common/gbk.h"
#include "protocol/control_lines.h"
#include "support/raw_tcp.h"
#include "support/two_peers.h"

namespace quorell::test {
namespace {

const char* kB = "127.0.0.2";

std::string Gbk(const char* utf8) {
    return Utf8ToGbk(utf8);
}

using DispatchTest = TwoPeers;

TEST_F(DispatchTest, OnlyTheFirstLineOfAConnectionHasAnEffect) {
    ASSERT_TRUE(SendRaw(kB, kTestControlPort,
                        "first\r\n" + Gbk("[系统消息]：对方给你传输了文件，请接收。") + "\r\n"));
    ASSERT_TRUE(WaitUntil([&] { return b->ring->rings == 2; }));
    EXPECT_FALSE(b->form->BitBtn7->isEnabled());
    EXPECT_TRUE(
        b->HistoryText().endsWith(QStringLiteral("]: [系统消息]：对方给你传输了文件，请接收。")));
}

TEST_F(DispatchTest, ChatLoopStopsAtABlankLine) {
    ASSERT_TRUE(SendRaw(kB, kTestControlPort, "one\r\n \r\nnever shown\r\n"));
    ASSERT_TRUE(WaitUntil([&] { return b->ring->rings == 1; }));
    Settle();
    EXPECT_EQ(b->ring->rings, 1);
    EXPECT_FALSE(b->HistoryText().contains(QStringLiteral("never")));
}

TEST_F(DispatchTest, ParameterLines) {
    // Leading zeros go; a value that is not a number changes nothing.
    ASSERT_TRUE(SendRaw(kB, kTestControlPort, "system1:00123\r\n"));
    ASSERT_TRUE(WaitUntil([&] { return b->form->Edit3->text() == QStringLiteral("123"); }));
    ASSERT_TRUE(SendRaw(kB, kTestControlPort, "system1:12a\r\n"));
    ASSERT_TRUE(SendRaw(kB, kTestControlPort, "system1:99999999999999999999\r\n"));
    ASSERT_TRUE(SendRaw(kB, kTestControlPort, "system3:\t 4321 \r\n"));
    ASSERT_TRUE(WaitUntil([&] { return b->form->Edit5->text() == QStringLiteral("4321"); }));
    EXPECT_EQ(b->form->Edit3->text(), QStringLiteral("123"));
    EXPECT_TRUE(b->HistoryText().isEmpty());
    EXPECT_EQ(b->ring->rings, 0);
}

TEST_F(DispatchTest, FramingAtTheEdges) {
    // A last line without LF is dropped; CR CR LF keeps one CR; a bare LF ends a line too.
    ASSERT_TRUE(SendRaw(kB, kTestControlPort, "no line end"));
    ASSERT_TRUE(SendRaw(kB, kTestControlPort, "\r\n"));
    ASSERT_TRUE(SendRaw(kB, kTestControlPort, "lf only\n"));
    ASSERT_TRUE(WaitUntil([&] { return b->ring->rings == 1; }));
    Settle();
    EXPECT_EQ(b->ring->rings, 1);
    EXPECT_FALSE(b->HistoryText().contains(QStringLiteral("no line end")));

    // 16384 bytes before the LF are taken, 16385 are not.
    const std::string longest(16384, 'x');
    ASSERT_TRUE(SendRaw(kB, kTestControlPort, longest + "\n"));
    ASSERT_TRUE(WaitUntil([&] { return b->ring->rings == 2; }));
    ASSERT_TRUE(SendRaw(kB, kTestControlPort, longest + "y\r\n"));
    Settle();
    EXPECT_EQ(b->ring->rings, 2);

    // Only CR LF (from "/@@") breaks a shown line; a lone CR does not.
    ASSERT_TRUE(SendRaw(kB, kTestControlPort, "a\rb/@@c\r\n"));
    ASSERT_TRUE(WaitUntil([&] { return b->ring->rings == 3; }));
    EXPECT_TRUE(b->HistoryText().endsWith(QStringLiteral("]: a b\nc")))
        << b->HistoryText().right(20).toStdString();
}

TEST_F(DispatchTest, GarbageIsShownOrDroppedButNeverCrashes) {
    std::string garbage;
    for (int i = 0; i < 4096; ++i) garbage.push_back(static_cast<char>((i * 7919) % 256));
    ASSERT_TRUE(SendRaw(kB, kTestControlPort, garbage));
    // Invalid GBK: lone lead bytes, a lead byte at the very end, NULs inside the text.
    ASSERT_TRUE(SendRaw(kB, kTestControlPort, std::string("\x81 \xff\x00\xfe", 6) + "z\x81\r\n"));
    ASSERT_TRUE(WaitUntil([&] { return b->ring->rings >= 2; }));
    {
        ClientSocket reset = ConnectLoopback(kTestControlPort, std::chrono::seconds(5), kB);
        ASSERT_TRUE(reset.SendAll("half a li"));
        reset.Reset();
    }
    // The window still takes ordinary chat.
    ASSERT_TRUE(SendRaw(kB, kTestControlPort, "still here\r\n"));
    // Connections are served side by side, so the lines may land in any order.
    ASSERT_TRUE(
        WaitUntil([&] { return b->HistoryText().contains(QStringLiteral("]: still here")); }));
}

// A line from source (a loopback address) on a connection of its own.
bool SendFrom(const char* source, const std::string& bytes) {
    ClientSocket s = StartConnectLoopback(kTestControlPort, kB, source);
    return s && ConnectCompleted(s.fd(), std::chrono::seconds(5)) && s.SendAll(bytes);
}

TEST_F(DispatchTest, AConnectNoticeOffersTheCallerForAReplyButNeverOverwritesTheBox) {
    const std::string notice = lines::Wire(lines::kConnected) + "\r\n";
    // An empty box takes the caller's address; only the box and what follows from its text
    // change, and replying is one press.
    a->TypeAddress(QStringLiteral("127.0.0.2"));
    a->Connect();
    ASSERT_TRUE(WaitUntil([&] { return b->form->Edit1->text() == QStringLiteral("127.0.0.1"); }));
    EXPECT_TRUE(b->form->Button6->isEnabled());
    EXPECT_FALSE(b->form->Button1->isEnabled());
    EXPECT_FALSE(b->form->BitBtn4->isEnabled());
    b->Connect();
    ASSERT_TRUE(WaitUntil([&] { return a->ring->rings == 1; }));

    // What the user typed stays, even one character; a box of blanks is empty.
    b->TypeAddress(QStringLiteral("1"));
    ASSERT_TRUE(SendFrom("127.0.0.3", notice));
    ASSERT_TRUE(WaitUntil([&] { return b->ring->rings == 2; }));
    EXPECT_EQ(b->form->Edit1->text(), QStringLiteral("1"));
    b->form->Edit1->setText(QStringLiteral(" \t "));
    ASSERT_TRUE(SendFrom("127.0.0.3", notice));
    ASSERT_TRUE(WaitUntil([&] { return b->form->Edit1->text() == QStringLiteral("127.0.0.3"); }));

    // The notice as a later line of a connection is only chat.
    b->form->Edit1->clear();
    ASSERT_TRUE(SendFrom("127.0.0.4", "hello\r\n" + notice));
    ASSERT_TRUE(WaitUntil([&] { return b->ring->rings == 5; }));
    EXPECT_TRUE(b->form->Edit1->text().isEmpty());
}

TEST_F(DispatchTest, ManyIdleConnectionsNeitherStopTheWindowNorLoseLines) {
    // Far more silent connections than the server has threads, all at once, from a stranger.
    test::RaiseOpenFileLimit(4096);
    std::vector<ClientSocket> idle;
    for (int i = 0; i < b->form->Server1.MaxConnections + 50; ++i) {
        idle.push_back(StartConnectLoopback(kTestControlPort, kB, "127.0.0.3"));
    }
    // The peer's lines get through while they are open; they hold a few threads at most: the
    // stranger its waiting share, the peer the two connections of its connect (the second
    // waits for the first to finish with its line, so that the two are shown in order).
    a->TypeAddress(QStringLiteral("127.0.0.2"));
    a->Connect();
    ASSERT_TRUE(WaitUntil([&] { return b->ring->rings == 1; }));
    EXPECT_LE(b->form->Server1.ConnectionCount(), b->form->Server1.MaxWaitingPerAddress + 2);
    ASSERT_TRUE(a->Send(QStringLiteral("through")));
    ASSERT_TRUE(WaitUntil([&] { return b->HistoryText().endsWith(QStringLiteral("through")); }));
    idle.clear();
    ASSERT_TRUE(WaitUntil([&] { return b->form->Server1.ConnectionCount() == 0; }));
}

}  // namespace
}  // namespace quorell::test
