// The file sender and the sending side's reactions, against a recording window and a scripted
// receiver on loopback. The test thread is the user-interface thread of the bridge.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <atomic>
#include <optional>
#include <thread>

#include "links/plain_file_link.h"
#include "support/raw_udp.h"
#include "support/transfer_fakes.h"
#include "support/wait.h"

namespace quorell::test {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;
const std::string kName = "Send file:File Name:";
const std::string kLength = "Send File:File Length:";
const std::string kEnd = "Send File:File End!";

// A sending side over loopback, and the receiver it sends to: a thread that records each
// datagram and answers as `answer` says (nothing: silence).
struct Side {
    Side(const QString& file, const QByteArray& bytes) {
        window.path = file;
        EXPECT_TRUE(WriteFile(file, bytes) && udp.ok());
        link->Client().ReceiveTimeout = 200;
    }
    ~Side() {
        if (auto run = control.CurrentRun()) {
            EXPECT_TRUE(Wait(run->finished));
        }
        ref->Reset();
        Stop();
    }
    bool Wait(const std::atomic<bool>& flag) {
        return WaitUntil([&] { return flag.load(); }, 10s, bridge.get());
    }
    void Start() {
        peer = std::thread([this] {
            while (!stop) {
                auto d = udp.Receive(20ms);
                if (!d) continue;
                const auto reply = answer(d->bytes);
                {
                    std::lock_guard lock(mu);
                    got.push_back(d->bytes);
                    source_port = d->port;
                }
                if (reply) udp.SendTo("127.0.0.1", d->port, *reply);
            }
        });
    }
    Lines Stop() {  // everything the receiver got by now
        stop = true;
        if (peer.joinable()) peer.join();
        while (auto d = udp.Receive(0ms)) got.push_back(d->bytes);
        return got;
    }
    std::size_t Count() {
        std::lock_guard lock(mu);
        return got.size();
    }
    int SourcePort() {
        std::lock_guard lock(mu);
        return source_port;
    }
    Lines Run() {  // the whole exchange
        Start();
        control.PeerAccepted();
        EXPECT_TRUE(Wait(control.CurrentRun()->finished));
        return Stop();
    }
    std::string NameDatagram() const { return kName + Utf8ToGbk(window.path.toStdString()); }

    std::function<std::optional<std::string>(const std::string&)> answer =
        [](const std::string& d) -> std::optional<std::string> {
        if (d.starts_with(kName)) return "Recived File Name OK!";
        if (d.starts_with(kLength)) return "Recived File Length OK!";
        if (d == kEnd) return std::nullopt;
        return "Recived File Package OK!";
    };
    RawUdp udp{"127.0.0.1", 0};
    std::thread peer;
    std::atomic<bool> stop{false};
    std::mutex mu;
    Lines got;
    int source_port = 0;
    std::shared_ptr<UiBridge> bridge = std::make_shared<UiBridge>(nullptr);
    FakeSenderWindow window;
    SharedWindowRef<IFileSenderWindow> ref =
        std::make_shared<WindowRef<IFileSenderWindow>>(&window);
    std::shared_ptr<PlainFileLink> link = std::make_shared<PlainFileLink>(udp.port());
    FileSendControl control{bridge, ref, link, window.control};
};

class SendFileTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }
    QString Path(const char* name) const { return dir.filePath(QString::fromUtf8(name)); }
    QTemporaryDir dir;
};

TEST_F(SendFileTest, SendsTheExactExchangeForEachSize) {
    const std::vector<std::pair<qsizetype, Lines>> cases{
        {0, {}},
        {1025, {"progress 100"}},
        {8192,
         {"progress 12", "progress 25", "progress 38", "progress 50", "progress 62", "progress 75",
          "progress 88", "progress 100"}}};
    for (const auto& [size, progress] : cases) {
        SCOPED_TRACE(size);
        const QByteArray bytes = Pattern(size);
        Side side(Path("文件.bin"), bytes);
        Lines expected{side.NameDatagram(), kLength + std::to_string(size)};
        for (qsizetype at = 0; at < size; at += 1024)
            expected.push_back(bytes.mid(at, 1024).toStdString());
        expected.push_back(kEnd);
        EXPECT_EQ(side.Run(), expected);
        Lines log{"disable", "show"};
        log.insert(log.end(), progress.begin(), progress.end());
        log.insert(log.end(), {"hide", "enable"});
        EXPECT_EQ(side.window.log, log);
        EXPECT_FALSE(side.link->Client().Active());
    }
}

TEST_F(SendFileTest, RefusalsAndWrongAnswersLeaveTheStatesOfTheExchange) {
    struct Case {
        std::string refused;                // "name", "length" or "chunk"
        std::optional<std::string> answer;  // nothing: silence
        std::size_t datagrams;
        Lines log;
    };
    const Lines stalled{"disable", "show"};
    const Lines cut_short{"disable", "show", "progress 34", "hide", "enable"};
    const Case cases[] = {
        {"name", "Recived File Name Cancel!", 1, stalled},
        {"name", std::nullopt, 1, stalled},
        {"length", "Recived File Length Cancel!", 2, {"disable", "show", "caption", "hide"}},
        {"chunk", "Recived File OK!", 4, cut_short},
        {"chunk", std::nullopt, 4, cut_short},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.refused + " " + c.answer.value_or("(silence)"));
        Side side(Path("f.bin"), Pattern(3000));
        side.answer = [&c](const std::string& d) -> std::optional<std::string> {
            const std::string kind = d.starts_with(kName)     ? "name"
                                     : d.starts_with(kLength) ? "length"
                                                              : "chunk";
            if (kind == c.refused) return c.answer;
            if (d == kEnd) return std::nullopt;
            return kind == "name" ? "RECIVED FILE NAME OK!" : "recived file length ok!";
        };
        const Lines got = side.Run();
        EXPECT_EQ(got.size(), c.datagrams);
        EXPECT_EQ(got.back() == kEnd, c.refused == "chunk");
        EXPECT_EQ(side.window.log, c.log);
        // Only a finished exchange closes the socket; the stalled ones keep it.
        EXPECT_EQ(side.link->Client().Active(), c.refused != "chunk");
    }
}

TEST_F(SendFileTest, ACancelEndsAWaitingRunSilentlyAndOnlyThenMayAnotherStart) {
    std::atomic<bool> hold{true};  // outlives the receiver that reads it
    Side side(Path("f.bin"), Pattern(2000));
    FileSendControl& control = side.control;
    const Lines& log = side.window.log;
    control.PeerCancelled();  // before any run: no peer to tell
    EXPECT_EQ(side.Count(), 0u);

    side.link->Client().ReceiveTimeout = 60000;  // only the cancel ends the first wait
    side.answer = [&, normal = side.answer](const std::string& d) -> std::optional<std::string> {
        if (d.starts_with(kLength) && hold) return std::nullopt;  // a long save dialog
        return normal(d);
    };
    side.Start();
    control.PeerAccepted();
    const auto first = control.CurrentRun();
    ASSERT_TRUE(WaitUntil([&] { return side.Count() == 2; }, 10s, side.bridge.get()));
    control.PeerCancelled();
    ASSERT_TRUE(side.Wait(first->finished));
    EXPECT_FALSE(side.link->Client().Active());
    EXPECT_EQ(log, (Lines{"hide", "enable", "disable", "show", "hide", "enable"}));
    // A late acceptance finds nobody waiting.
    ASSERT_TRUE(WaitUntil([&] { return side.Count() == 3; }, 10s, side.bridge.get()));
    side.udp.SendTo("127.0.0.1", side.SourcePort(), "Recived File Length OK!");
    Settle(200ms, side.bridge.get());
    EXPECT_EQ(log.size(), 6u);

    hold = false;
    control.PeerAccepted();
    ASSERT_NE(control.CurrentRun(), first);
    ASSERT_TRUE(side.Wait(control.CurrentRun()->finished));
    const std::string name = side.NameDatagram();
    EXPECT_EQ(side.Stop(),
              (Lines{name, kLength + "2000", kEnd, name, kLength + "2000",
                     Pattern(1024).toStdString(), Pattern(2000).mid(1024).toStdString(), kEnd}));
}

TEST_F(SendFileTest, AnAcceptanceThatOvertookItsCancelStartsTheNextRun) {
    std::atomic<bool> hold{true};
    Side side(Path("f.bin"), Pattern(1500));
    FileSendControl& control = side.control;
    side.link->Client().ReceiveTimeout = 60000;
    side.answer = [&, normal = side.answer](const std::string& d) -> std::optional<std::string> {
        if (d.starts_with(kLength) && hold) return std::nullopt;
        return normal(d);
    };
    side.Start();
    control.PeerAccepted();
    const auto first = control.CurrentRun();
    ASSERT_TRUE(WaitUntil([&] { return side.Count() == 2; }, 10s, side.bridge.get()));
    hold = false;
    control.PeerAccepted();  // the peer's user cancelled and accepted again
    EXPECT_EQ(control.CurrentRun(), first);
    control.PeerCancelled();
    const auto second = control.CurrentRun();
    ASSERT_NE(second, first);
    ASSERT_TRUE(side.Wait(second->finished));
    const std::string name = side.NameDatagram();
    EXPECT_EQ(side.Stop(),
              (Lines{name, kLength + "1500", kEnd, name, kLength + "1500",
                     Pattern(1024).toStdString(), Pattern(1500).mid(1024).toStdString(), kEnd}));
    EXPECT_EQ(side.window.log.back(), "enable");
    EXPECT_FALSE(side.link->Client().Active());
}

TEST_F(SendFileTest, ACancelWhoseEndCannotBeSentStillGivesTheWindowBack) {
    Side side(Path("f.bin"), Pattern(10));
    side.link->Client().Port = 0;  // every send is refused by the system
    side.Run();
    EXPECT_EQ(side.window.log, (Lines{"disable", "show"}));  // the run ended at its name
    side.control.PeerCancelled();
    EXPECT_EQ(side.window.log, (Lines{"disable", "show", "hide", "enable"}));
    EXPECT_FALSE(side.link->Client().Active());
}

TEST_F(SendFileTest, AFileOfTwoGibibytesIsRefusedWithoutAWordOnTheFilePort) {
    const QString path = Path("big.bin");
    Side side(path, {});
    ASSERT_EQ(::truncate(path.toUtf8().constData(), 2147483648), 0);  // sparse
    EXPECT_EQ(side.Run(), Lines{});
    const Lines& log = side.window.log;
    ASSERT_EQ(log.size(), 6u);
    EXPECT_EQ(Lines(log.begin(), log.begin() + 5),
              (Lines{"disable", "show", "hide", "enable",
                     "notice [系统消息]：对方要传送的文件太大，无法传送，请按“取消”。"}));
    EXPECT_NE(log[5].find(path.toStdString()), std::string::npos);
    EXPECT_NE(log[5].find("2147483648"), std::string::npos);
    EXPECT_FALSE(side.link->Client().Active());
    // The peer's user cancels as asked: an end datagram would tell its side the file arrived.
    side.control.PeerCancelled();
    EXPECT_EQ(side.Stop(), Lines{});
}

}  // namespace
}  // namespace quorell::test
