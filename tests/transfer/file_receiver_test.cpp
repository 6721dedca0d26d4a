// The file receiver against a recording window, fed datagrams directly.
#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#include "support/transfer_fakes.h"

namespace quorell::test {
namespace {

using Lines = std::vector<std::string>;
const std::string kName = "Send file:File Name:";
const std::string kLength = "Send File:File Length:";
const std::string kEnd = "Send File:File End!";

class FileReceiverTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        receiver.AcceptedHere();
    }

    void Feed(std::string_view data, const std::string& address = "127.0.0.1", int port = 4000) {
        receiver.OnDatagram(data, address, port,
                            [this](std::string_view text) { replies.emplace_back(text); });
    }
    // The user accepting (unless still accepted), name and length datagrams from port, the
    // user saving as save_as, then the bytes in chunks of 1024.
    void Send(const QString& save_as, const QByteArray& bytes, qsizetype announced = -1,
              int port = 4000) {
        if (receiver.State() != ReceiveState::Accepted) receiver.AcceptedHere();
        window.answers.append(save_as);
        Feed(kName + "C:\\dir\\a.txt", "127.0.0.1", port);
        Feed(kLength + std::to_string(announced < 0 ? bytes.size() : announced), "127.0.0.1", port);
        for (qsizetype at = 0; at < bytes.size(); at += 1024)
            Feed(bytes.mid(at, 1024).toStdString(), "127.0.0.1", port);
    }
    QString Path(const char* name) const { return dir.filePath(QString::fromUtf8(name)); }
    Lines Tail(std::size_t n) const { return Lines(window.log.end() - n, window.log.end()); }

    QTemporaryDir dir;
    FakeReceiverWindow window;
    FileReceiver receiver{window, window.control};
    Lines replies;
};

TEST_F(FileReceiverTest, AFileWithMarkersInsideArrivesWholeThroughAPartFile) {
    QByteArray bytes = Pattern(8192);  // each marker at the start of a chunk and inside one
    bytes.replace(1024, 22, "Send File:File Length:");
    bytes.replace(1500, 20, "Send file:File Name:");
    bytes.replace(2048, 19, "Send File:File End!");
    bytes.replace(2100, 19, "Send File:File End!");
    bytes.replace(4096, 20, "Send file:File Name:");
    const QString target = Path("a.txt");
    Send(target, bytes);
    EXPECT_FALSE(QFile::exists(target));
    Feed(kEnd);
    EXPECT_EQ(ReadAll(target), bytes);
    EXPECT_TRUE(QDir(dir.path()).entryList({QStringLiteral("*.part")}).isEmpty());
    Lines expected{"Recived File Name OK!", "Recived File Length OK!"};
    expected.insert(expected.end(), 8, "Recived File Package OK!");
    expected.push_back("Recived File OK!");
    EXPECT_EQ(replies, expected);
    EXPECT_EQ(window.log, (Lines{"ask a.txt", "show", "progress 12", "progress 25", "progress 38",
                                 "progress 50", "progress 62", "progress 75", "progress 88",
                                 "progress 100", "hide", "ended",
                                 "notice [系统消息]：恭喜恭喜，文件传送完毕！", "completed 8192"}));
    EXPECT_EQ(receiver.RecvFileName(), "");
    EXPECT_EQ(receiver.RecvFileSize(), 0);

    // The end marker as exactly the missing rest is content; the end datagram follows. The
    // complete file replaces the one there.
    const QByteArray tail = Pattern(1024) + "Send File:File End!";
    Send(target, tail);
    EXPECT_TRUE(receiver.Receiving());
    Feed(kEnd);
    EXPECT_EQ(ReadAll(target), tail);
}

TEST_F(FileReceiverTest, AShortTransferLeavesTheChosenFileAndKeepsWhatArrived) {
    const QString target = Path("keep.txt");
    ASSERT_TRUE(WriteFile(target, "old"));
    ASSERT_TRUE(WriteFile(target + ".part", "earlier part"));
    Send(target, Pattern(1024), 3000);
    window.control.reachable = false;  // the user is told even when the peer cannot be
    Feed(kEnd);
    const QString part = target + ".1.part";
    EXPECT_EQ(ReadAll(target), "old");
    EXPECT_EQ(ReadAll(target + ".part"), "earlier part");
    EXPECT_EQ(ReadAll(part), Pattern(1024));
    EXPECT_EQ(replies.back(), "Recived File OK!");
    const std::string what = "文件没有传送完整：只收到了 1024 字节，共 3000 字节。";
    EXPECT_EQ(Tail(2), (Lines{"notice [系统消息]：" + what,
                              "box " + what + "\r\n已收到的部分保存在：" + part.toStdString()}));
}

TEST_F(FileReceiverTest, OnlyTheSenderOfTheLengthMayAddToOrEndTheFile) {
    Send(Path("s.bin"), Pattern(1024), 2048);
    const Lines replies_before = replies, log_before = window.log;
    Feed("stranger's bytes", "127.0.0.2", 4000);
    Feed("same machine, other socket", "127.0.0.1", 4001);
    Feed(kName + "x", "127.0.0.2", 1);
    Feed(kLength + "5", "127.0.0.2", 1);
    Feed(kEnd, "127.0.0.2", 4000);
    Feed(kEnd + "x", "127.0.0.1", 4001);
    EXPECT_EQ(replies, replies_before);
    EXPECT_EQ(window.log, log_before);
    ASSERT_TRUE(receiver.Receiving());
    Feed(kEnd, "127.0.0.1", 4002);  // the sender's cancel, from a new socket
    EXPECT_FALSE(receiver.Receiving());
    EXPECT_EQ(ReadAll(Path("s.bin.part")), Pattern(1024));
}

TEST_F(FileReceiverTest, TheAcceptedOfferIsServedFromAnyAddressAndEndedOnlyByItsOwnRun) {
    // Nothing accepted: a length opens no dialog, and a stray end neither ends an offer nor
    // touches an idle window.
    receiver.Reset();
    Feed(kLength + "4", "127.0.0.3", 4000);
    Feed(kEnd, "127.0.0.3", 4000);
    receiver.PeerOffered();
    Feed(kEnd);
    EXPECT_EQ(receiver.State(), ReceiveState::Offered);
    EXPECT_EQ(replies, Lines{"Recived File Length Cancel!"});
    EXPECT_TRUE(window.log.empty());

    // Accepted: before the sender of this acceptance has spoken, an end changes nothing.
    receiver.AcceptedHere();
    Feed(kEnd, "127.0.0.3", 4000);
    EXPECT_EQ(receiver.State(), ReceiveState::Accepted);
    EXPECT_TRUE(window.log.empty());

    // The first socket to name a file is taken as the sender, but the peer's own address wins
    // over another; nothing from the other is heard then.
    Feed(kName + "evil", "127.0.0.4", 6000);
    Feed(kName + "m.bin", "127.0.0.1", 5000);
    Feed(kName + "evil", "127.0.0.4", 6000);
    Feed(kLength + "4", "127.0.0.4", 6000);
    Feed(kEnd, "127.0.0.4", 6000);
    window.answers.append(Path("m.bin"));
    Feed(kLength + "1500", "127.0.0.1", 5000);
    Feed(Pattern(1500).toStdString(), "127.0.0.1", 5000);
    Feed(kEnd, "127.0.0.1", 5000);
    EXPECT_EQ(ReadAll(Path("m.bin")), Pattern(1500));
    EXPECT_EQ(window.log.front(), "ask m.bin");
    EXPECT_EQ(
        Lines(replies.begin() + 1, replies.begin() + 4),
        (Lines{"Recived File Name OK!", "Recived File Name OK!", "Recived File Length Cancel!"}));

    // A whole run of 1500 bytes from one socket, saved under its own name.
    const auto run = [&](const char* name, const std::string& from) {
        window.answers.append(Path(name));
        Feed(kName + name, from, 5000);
        Feed(kLength + "1500", from, 5000);
        Feed(Pattern(1500).toStdString(), from, 5000);
        Feed(kEnd, from, 5000);
        EXPECT_EQ(ReadAll(Path(name)), Pattern(1500));
    };

    // A sender whose datagrams leave from another of its machine's addresses.
    receiver.AcceptedHere();
    run("n.bin", "127.0.0.3");
    EXPECT_EQ(window.log.back(), "completed 1500");
    EXPECT_EQ(receiver.State(), ReceiveState::Idle);

    // Where the offer came from is the peer's machine too, whatever address was typed; once
    // it is known, a stranger that names a file first takes nothing.
    window.peer = "10.9.9.9";
    receiver.PeerOffered("127.0.0.5");
    receiver.AcceptedHere();
    const std::size_t asked = window.log.size();
    Feed(kName + "evil", "127.0.0.4", 6000);
    Feed(kLength + "4", "127.0.0.4", 6000);
    EXPECT_EQ(window.log.size(), asked);
    run("o.bin", "127.0.0.5");
    EXPECT_EQ(window.log[asked], "ask o.bin");
}

TEST_F(FileReceiverTest, AcceptingAgainBeforeTheCancelledRunHasEndedServesTheNewRun) {
    Send(Path("old.bin"), Pattern(2048), 5000);
    receiver.CancelledHere();
    receiver.AcceptedHere();
    const std::size_t log_size = window.log.size();
    // The cancelled run's end, before and after the new run's name: the acceptance stands.
    Feed(kEnd, "127.0.0.1", 4000);
    Feed(kName + "new.bin", "127.0.0.1", 4001);
    Feed(kEnd, "127.0.0.1", 4000);
    EXPECT_EQ(receiver.State(), ReceiveState::Accepted);
    EXPECT_EQ(window.log.size(), log_size);
    Send(Path("new.bin"), Pattern(3000), -1, 4001);
    EXPECT_EQ(replies[replies.size() - 4], "Recived File Length OK!");
    Feed(kEnd, "127.0.0.1", 4001);
    EXPECT_EQ(ReadAll(Path("new.bin")), Pattern(3000));
    EXPECT_EQ(window.log.back(), "completed 3000");

    // Cancelled and not accepted again: the end, from wherever, brings the side to rest.
    Send(Path("third.bin"), Pattern(100), 500);
    receiver.CancelledHere();
    Feed(kEnd, "127.0.0.9", 7);
    EXPECT_EQ(receiver.State(), ReceiveState::Idle);
    EXPECT_EQ(Tail(2), (Lines{"hide", "ended"}));
}

TEST_F(FileReceiverTest, TheReceivingUsersCancelClosesTheFileWithoutWaitingForTheEnd) {
    // The sender's end datagram was lost: the user's cancel keeps and reports what arrived,
    // and tells the peer nothing more (it has had the cancel line).
    const QString target = Path("c.bin");
    Send(target, Pattern(2048), 5000);
    const std::size_t replies_before = replies.size();
    receiver.CancelledHere();
    EXPECT_FALSE(receiver.Receiving());
    EXPECT_EQ(replies.size(), replies_before);
    const std::string what = "文件没有传送完整：只收到了 2048 字节，共 5000 字节。";
    EXPECT_EQ(Tail(1), (Lines{"box " + what + "\r\n已收到的部分保存在：" +
                              (target + ".part").toStdString()}));
    // Late chunks of that transfer are not taken, and its end reports nothing a second time.
    Feed(Pattern(1024).toStdString());
    Feed(kEnd);
    EXPECT_EQ(replies.size(), replies_before);
    EXPECT_EQ(Tail(2), (Lines{"hide", "ended"}));
    EXPECT_EQ(ReadAll(target + ".part"), Pattern(2048));

    // Every byte in when the user gave up waiting: the file is put in place. Nothing open:
    // a cancel does nothing.
    Send(target, Pattern(3000));
    receiver.CancelledHere();
    EXPECT_EQ(ReadAll(target), Pattern(3000));
    EXPECT_EQ(window.log.back(), "completed 3000");
    const std::size_t log_before = window.log.size();
    receiver.CancelledHere();
    EXPECT_EQ(window.log.size(), log_before);
}

TEST_F(FileReceiverTest, NoSuccessWithoutAFileAndNoFileWhereNoneCanBe) {
    Feed(kName + "a.txt");
    Feed(kLength + "10");  // the save dialog is cancelled
    Feed("a chunk nobody waits for");
    Feed(kEnd);
    EXPECT_EQ(replies, (Lines{"Recived File Name OK!", "Recived File Length Cancel!"}));
    EXPECT_EQ(window.log, (Lines{"ask a.txt", "hide", "ended"}));

    // A length nobody accepted opens no dialog.
    Feed(kLength + "10");
    EXPECT_EQ(replies.back(), "Recived File Length Cancel!");
    EXPECT_EQ(window.log.back(), "ended");

    Send(Path("missing/a.txt"), {});
    EXPECT_EQ(replies.back(), "Recived File Length Cancel!");
    EXPECT_FALSE(receiver.Receiving());
    EXPECT_NE(window.log.back().find(Path("missing/a.txt.part").toStdString()), std::string::npos);
}

TEST_F(FileReceiverTest, ALengthBeyondThirtyTwoBitsIsReceivedWithoutProgress) {
    Send(Path("huge.bin"), Pattern(1024), 4294967296);
    EXPECT_EQ(receiver.RecvFileSize(), 0);
    Feed(kLength + "1");  // content: far from the announced length
    EXPECT_EQ(replies.back(), "Recived File Package OK!");
    Feed(kEnd);
    EXPECT_EQ(window.log[2], "hide");  // no progress before the end
    EXPECT_EQ(Tail(1)[0].find("box 文件没有传送完整：只收到了 1047 字节，共 4294967296 字节。"),
              0u);
}

TEST(ProposedBaseNameTest, OnlyEverABaseName) {
    EXPECT_EQ(ProposedBaseName("C:\\dir\\a.txt"), "a.txt");
    EXPECT_EQ(ProposedBaseName("D:a.txt"), "a.txt");
    EXPECT_EQ(ProposedBaseName("/etc/passwd"), "passwd");
    // 0x5C is the second byte of a double-byte character here, not a folder separator.
    EXPECT_EQ(ProposedBaseName("C:\\x\\\xD5\x5C\xB1\xED.txt"), "\xD5\x5C\xB1\xED.txt");
    EXPECT_EQ(ProposedBaseName("a\tb\x01\x7F.txt"), "ab.txt");
    for (const char* bad : {"", "..", "C:\\dir\\.", "x/..", "dir\\", "\x01\x02"})
        EXPECT_EQ(ProposedBaseName(bad), "received_file") << bad;
}

}  // namespace
}  // namespace quorell::test
