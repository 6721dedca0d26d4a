// Whole transfers from a sender to a receiver through the file link in memory: both sides'
// logic against their window fakes, without a socket. The test thread is the user-interface
// thread of both sides; it hands the sender's datagrams to the receiver as it waits.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QDir>
#include <QTemporaryDir>

#include "support/memory_file_link.h"
#include "support/transfer_fakes.h"
#include "support/wait.h"

namespace quorell::test {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;
const std::string kEnd = "Send File:File End!";
const std::string kOffered = "notice [系统消息]：对方给你传输了文件，请接收。";

class MemoryTransferTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        sender.address = "127.0.0.1";
    }
    ~MemoryTransferTest() override {
        if (auto run = control.CurrentRun()) {
            EXPECT_TRUE(WaitUntil([&] { return run->finished.load(); }, 10s, bridge.get()));
        }
        ref->Reset();
    }
    QString Path(const QString& name) const { return dir.filePath(name); }

    // The sender's datagrams so far (at most `most`), handed to the receiver.
    void Deliver(std::size_t most = std::numeric_limits<std::size_t>::max()) {
        link->Pump(
            [this](std::string_view data, const std::string& address, int port,
                   const FileDatagramReply& reply) {
                receiver.OnDatagram(data, address, port, reply);
            },
            most);
    }
    // Waits, delivering one datagram at a time, until pred holds.
    bool DeliverUntil(const std::function<bool()>& pred) {
        return WaitUntil(
            [&] {
                if (pred()) return true;
                Deliver(1);
                return pred();
            },
            10s, bridge.get());
    }
    bool RunEnded() {
        return DeliverUntil([&] { return control.CurrentRun()->finished.load(); });
    }
    // The offer of the file at source, accepted on the receiving side and saved as save_as.
    void OfferAndAccept(const QString& source, const QString& save_as) {
        control.Offer(source);
        receiver.PeerOffered("127.0.0.1");
        receiver.ReceivePressed();
        receiving.answers.append(save_as);
        control.PeerAccepted();
    }

    QTemporaryDir dir;
    std::shared_ptr<UiBridge> bridge = std::make_shared<UiBridge>(nullptr);
    std::shared_ptr<MemoryFileLink> link = std::make_shared<MemoryFileLink>();
    FakeSenderWindow sender;
    SharedWindowRef<IFileSenderWindow> ref =
        std::make_shared<WindowRef<IFileSenderWindow>>(&sender);
    FileSendControl control{bridge, ref, link, sender.control};
    FakeReceiverWindow receiving;
    FileReceiver receiver{receiving, receiving.control};
};

TEST_F(MemoryTransferTest, FilesArriveByteForByteAndBothSidesComeToRest) {
    // Empty, one byte, one chunk exactly, a short last chunk, and past the receiver's block.
    for (qsizetype size : {0, 1, 1024, 5000, 200 * 1024 + 3}) {
        SCOPED_TRACE(size);
        const QByteArray bytes = Pattern(size);
        const QString source = Path(QStringLiteral("源%1.bin").arg(size));
        const QString target = Path(QStringLiteral("got%1.bin").arg(size));
        ASSERT_TRUE(WriteFile(source, bytes));
        sender.log.clear();
        receiving.log.clear();
        const std::size_t before = link->Sent().size();

        control.Offer(source);
        EXPECT_EQ(control.State(), SendState::Offered);
        EXPECT_EQ(sender.log, Lines{kOffered});
        receiver.PeerOffered("127.0.0.1");
        receiver.ReceivePressed();
        receiving.answers.append(target);
        control.PeerAccepted();
        ASSERT_TRUE(RunEnded());
        Deliver();  // the end datagram

        EXPECT_EQ(ReadAll(target), bytes);
        EXPECT_EQ(receiving.log.back(), "completed " + std::to_string(size));
        EXPECT_EQ(receiving.stats.Average().has_value(), size > 0);
        EXPECT_EQ(receiving.log.end()[-2], "notice [系统消息]：恭喜恭喜，文件传送完毕！");
        EXPECT_EQ(receiver.State(), ReceiveState::Idle);
        EXPECT_EQ(control.State(), SendState::Idle);
        EXPECT_EQ(sender.log[1], "disable");
        EXPECT_EQ(Lines(sender.log.end() - 2, sender.log.end()), (Lines{"hide", "enable"}));
        EXPECT_FALSE(link->IsOpen());
        EXPECT_EQ(link->Sent().size() - before, 3 + (static_cast<std::size_t>(size) + 1023) / 1024);
        EXPECT_EQ(link->Sent().back().bytes, kEnd);
        EXPECT_EQ(link->Sent().back().to, "127.0.0.1");
    }
    EXPECT_TRUE(QDir(dir.path()).entryList({QStringLiteral("*.part")}).isEmpty());
}

TEST_F(MemoryTransferTest, TheReceiversCancelMidRunKeepsWhatArrivedAndStopsTheSender) {
    const QByteArray bytes = Pattern(10000);
    const QString source = Path(QStringLiteral("a.bin"));
    const QString target = Path(QStringLiteral("b.bin"));
    ASSERT_TRUE(WriteFile(source, bytes));
    OfferAndAccept(source, target);
    ASSERT_TRUE(DeliverUntil([&] { return receiver.BytesTaken() >= 3072; }));

    // The receiving user cancels, but only once the peer can be told: it would go on sending.
    receiving.control.reachable = false;
    receiver.ReceivePressed();
    EXPECT_EQ(receiver.State(), ReceiveState::Accepted);
    EXPECT_TRUE(receiver.Receiving());
    EXPECT_EQ(receiving.log.back(), "notice [系统消息]：对方取消了接收文件。");
    receiving.control.reachable = true;
    receiver.ReceivePressed();
    EXPECT_EQ(receiver.State(), ReceiveState::Cancelled);
    control.PeerCancelled();  // the cancel notice reaches the sender
    ASSERT_TRUE(
        WaitUntil([&] { return control.CurrentRun()->finished.load(); }, 10s, bridge.get()));
    EXPECT_EQ(control.State(), SendState::Idle);
    EXPECT_EQ(Lines(sender.log.end() - 2, sender.log.end()), (Lines{"hide", "enable"}));
    EXPECT_FALSE(link->IsOpen());
    EXPECT_EQ(link->Sent().back().bytes, kEnd);

    const QByteArray part = ReadAll(target + QStringLiteral(".part"));
    EXPECT_EQ(part, bytes.left(3072));
    EXPECT_FALSE(QFile::exists(target));
    EXPECT_EQ(receiving.log.back(),
              "box 文件没有传送完整：只收到了 3072 字节，共 10000 字节。\r\n"
              "已收到的部分保存在：" +
                  (target + QStringLiteral(".part")).toStdString());
    // What was still on its way is not taken, and the end reports nothing a second time.
    const std::size_t told = receiving.log.size();
    Deliver();
    EXPECT_EQ(ReadAll(target + QStringLiteral(".part")), part);
    EXPECT_EQ(receiver.State(), ReceiveState::Idle);
    EXPECT_EQ(Lines(receiving.log.begin() + static_cast<std::ptrdiff_t>(told), receiving.log.end()),
              (Lines{"hide", "ended"}));
}

TEST_F(MemoryTransferTest, ATooLargeFileIsNeitherOfferedNorAnnounced) {
    const QString small = Path(QStringLiteral("small.bin"));
    const QString big = Path(QStringLiteral("big.bin"));
    ASSERT_TRUE(WriteFile(small, "x") && WriteFile(big, {}));
    ASSERT_EQ(::truncate(QFile::encodeName(big).constData(), 2147483648), 0);  // sparse

    control.Offer(small);
    control.Offer(big);
    EXPECT_EQ(sender.path, small);  // the earlier offer stands
    ASSERT_EQ(sender.log.size(), 2u);
    EXPECT_NE(sender.log[1].find("2147483648"), std::string::npos);

    // It grew after its offer: refused before its name goes out, both users told.
    sender.path = big;
    sender.log.clear();
    control.PeerAccepted();
    ASSERT_TRUE(RunEnded());
    EXPECT_TRUE(link->Sent().empty());
    ASSERT_EQ(sender.log.size(), 6u);
    EXPECT_EQ(sender.log[4], "notice [系统消息]：对方要传送的文件太大，无法传送，请按“取消”。");
    EXPECT_EQ(control.State(), SendState::Idle);
    // The peer's cancel, as asked, brings no end datagram: that would read as a whole file.
    control.PeerCancelled();
    EXPECT_TRUE(link->Sent().empty());
}

TEST_F(MemoryTransferTest, RepliesThatNeverComeEndTheRunAsTheExchangeStands) {
    const QByteArray bytes = Pattern(6000);
    const QString source = Path(QStringLiteral("t.bin"));
    const QString target = Path(QStringLiteral("u.bin"));
    ASSERT_TRUE(WriteFile(source, bytes));
    link->SetReplyTimeout(50);

    // Nobody answers the name: the run stops there and the window waits for the peer's cancel.
    sender.path = source;
    control.PeerAccepted();
    ASSERT_TRUE(
        WaitUntil([&] { return control.CurrentRun()->finished.load(); }, 10s, bridge.get()));
    EXPECT_EQ(link->Sent().size(), 1u);
    EXPECT_EQ(sender.log, (Lines{"disable", "show"}));
    EXPECT_EQ(control.State(), SendState::Sending);
    control.PeerCancelled();
    EXPECT_EQ(control.State(), SendState::Idle);
    EXPECT_EQ(link->SentBytes().back(), kEnd);  // sent to the host as typed

    // The third chunk is lost: the sender gives up on it and ends; the receiver keeps and
    // reports the two that came, to its user and to the peer.
    const std::size_t before = link->Sent().size();
    Deliver();  // the stale name and end of the first run find nobody accepted
    OfferAndAccept(source, target);
    ASSERT_TRUE(DeliverUntil([&] { return receiver.BytesTaken() == 1024; }));
    // The second chunk is on its way, so the next one sent is the third.
    ASSERT_TRUE(WaitUntil([&] { return link->Sent().size() == before + 4; }, 10s, bridge.get()));
    link->DropNext();
    ASSERT_TRUE(RunEnded());
    Deliver();
    EXPECT_EQ(link->SentBytes().back(), kEnd);
    EXPECT_EQ(ReadAll(target + QStringLiteral(".part")), bytes.left(2048));
    const std::string what = "文件没有传送完整：只收到了 2048 字节，共 6000 字节。";
    ASSERT_GE(receiving.log.size(), 2u);
    EXPECT_EQ(receiving.log.end()[-2], "notice [系统消息]：" + what);
    EXPECT_EQ(control.State(), SendState::Idle);
    EXPECT_FALSE(link->IsOpen());
}

}  // namespace
}  // namespace quorell::test
