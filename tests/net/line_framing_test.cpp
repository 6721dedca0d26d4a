#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "common/errors.h"
#include "net/socket_error.h"
#include "net/tcp_server.h"
#include "support/raw_tcp.h"
#include "support/wait.h"

namespace quorell::net {
namespace {

using namespace std::chrono_literals;
using test::WriteAll;

constexpr std::size_t kMax = ServerConnection::kMaxLineLength;

// A ServerConnection on one end of a loopback TCP connection, the raw peer socket on the other.
class LineFramingTest : public ::testing::Test {
protected:
    void SetUp() override { Open(5000); }

    void TearDown() override {
        if (peer_ >= 0) close(peer_);
    }

    void Open(int read_timeout_ms) {
        int port = 0;
        int listener = test::ListenLoopback(1, &port);
        ASSERT_GE(listener, 0);
        peer_ = test::ConnectFd(port);
        ASSERT_GE(peer_, 0);
        int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        close(listener);
        ASSERT_GE(fd, 0);
        conn_ = std::make_unique<ServerConnection>(fd, read_timeout_ms);
    }

    void Send(std::string_view bytes) { ASSERT_TRUE(WriteAll(peer_, bytes)); }

    void ClosePeer() {
        close(peer_);
        peer_ = -1;
    }

    // The message of the failure the next ReceiveLine() ends in.
    std::string FailureOfNextRead() {
        try {
            std::string line = conn_->ReceiveLine();
            return "returned '" + line + "'";
        } catch (const Error& e) {
            return e.what();
        }
    }

    int peer_ = -1;
    std::unique_ptr<ServerConnection> conn_;
};

TEST_F(LineFramingTest, LineThenCloseThenClosedGracefully) {
    Send("abc\r\n");
    ClosePeer();
    EXPECT_EQ(conn_->ReceiveLine(), "abc");
    EXPECT_EQ(FailureOfNextRead(), "Connection Closed Gracefully.");
    EXPECT_EQ(FailureOfNextRead(), "Connection Closed Gracefully.");
}

TEST_F(LineFramingTest, PeerClosingWithoutWritingIsClosedGracefully) {
    ClosePeer();
    EXPECT_EQ(FailureOfNextRead(), "Connection Closed Gracefully.");
}

TEST_F(LineFramingTest, SeveralLinesInOnePacketComeBackOneByOne) {
    Send("abc\ndef\n");
    ClosePeer();
    EXPECT_EQ(conn_->ReceiveLine(), "abc");
    EXPECT_EQ(conn_->ReceiveLine(), "def");
    EXPECT_EQ(FailureOfNextRead(), "Connection Closed Gracefully.");
}

TEST_F(LineFramingTest, OnlyOneCrBeforeTheLfIsRemoved) {
    Send("crlf\r\nlf\ncrcr\r\r\nin\rside\n\n\r\n\r\r\n");
    EXPECT_EQ(conn_->ReceiveLine(), "crlf");
    EXPECT_EQ(conn_->ReceiveLine(), "lf");
    EXPECT_EQ(conn_->ReceiveLine(), "crcr\r");
    EXPECT_EQ(conn_->ReceiveLine(), "in\rside");
    EXPECT_EQ(conn_->ReceiveLine(), "");
    EXPECT_EQ(conn_->ReceiveLine(), "");
    EXPECT_EQ(conn_->ReceiveLine(), "\r");
}

TEST_F(LineFramingTest, LastLineWithoutLfComesBackEmptyAndIsDropped) {
    Send("first\nabc");
    ClosePeer();
    EXPECT_EQ(conn_->ReceiveLine(), "first");
    EXPECT_EQ(conn_->ReceiveLine(), "");
    EXPECT_TRUE(conn_->Closed());
    EXPECT_EQ(FailureOfNextRead(), "Connection Closed Gracefully.");
}

TEST_F(LineFramingTest, LineOfMaximumLengthIsAccepted) {
    const std::string longest(kMax, 'x');
    Send(longest + "\nnext\n");
    EXPECT_EQ(conn_->ReceiveLine(), longest);
    EXPECT_EQ(conn_->ReceiveLine(), "next");
}

TEST_F(LineFramingTest, LongerLineFails) {
    Send(std::string(kMax + 1, 'x') + "\n");
    EXPECT_EQ(FailureOfNextRead(), "Max line length exceeded.");
}

TEST_F(LineFramingTest, CrCountsTowardsTheLimit) {
    Send(std::string(kMax, 'x') + "\r\n");
    EXPECT_EQ(FailureOfNextRead(), "Max line length exceeded.");
}

TEST_F(LineFramingTest, OverlongDataWithoutLfFailsWithoutWaitingForMore) {
    // The peer keeps the connection open; the read must fail on size, not hang.
    Send(std::string(kMax + 100, 'y'));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(FailureOfNextRead(), "Max line length exceeded.");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
}

TEST_F(LineFramingTest, EveryByteOtherThanLfPassesUnchanged) {
    std::string all;
    for (int b = 0; b < 256; ++b) {
        if (b != '\n' && b != '\r') all.push_back(static_cast<char>(b));
    }
    all += '\r';  // a CR elsewhere stays
    all += 'z';
    Send(all + "\r\n");
    Send(std::string("\0\0", 2) + "\n");
    EXPECT_EQ(conn_->ReceiveLine(), all);
    EXPECT_EQ(conn_->ReceiveLine(), std::string("\0\0", 2));
}

TEST_F(LineFramingTest, LineArrivingInSmallPiecesIsReassembled) {
    const std::string text = "piece by piece\r\nsecond\n";
    std::thread writer([&] {
        for (char c : text) {
            WriteAll(peer_, std::string_view(&c, 1));
            std::this_thread::sleep_for(1ms);
        }
    });
    EXPECT_EQ(conn_->ReceiveLine(), "piece by piece");
    EXPECT_EQ(conn_->ReceiveLine(), "second");
    writer.join();
}

TEST_F(LineFramingTest, ManyShortLinesInOneBuffer) {
    std::string many;
    for (int i = 0; i < 5000; ++i) many += std::to_string(i) + "\n";
    Send(many);
    for (int i = 0; i < 5000; ++i) ASSERT_EQ(conn_->ReceiveLine(), std::to_string(i));
}

TEST_F(LineFramingTest, ResetMidLineIsASocketError) {
    Send("half a li");
    linger hard{1, 0};
    setsockopt(peer_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ClosePeer();  // sends RST
    try {
        conn_->ReceiveLine();
        FAIL() << "no failure";
    } catch (const SocketError& e) {
        EXPECT_EQ(e.code(), 10054);
    }
}

TEST_F(LineFramingTest, SilentPeerTimesOut) {
    Open(150);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(FailureOfNextRead(), "Read timed out.");
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 140ms);
    EXPECT_LT(took, 3s);
}

TEST_F(LineFramingTest, AbortWakesABlockedReader) {
    std::string result;
    std::thread reader([&] { result = FailureOfNextRead(); });
    std::this_thread::sleep_for(50ms);
    conn_->Abort();
    reader.join();
    EXPECT_EQ(result, "Connection Closed Gracefully.");
    // Aborting twice, or after the owner has closed, is harmless.
    conn_->Abort();
    conn_.reset();
}

}  // namespace
}  // namespace quorell::net
