// A sender that writes one line per connection, one connection after another, while every
// connection thread is busy: its lines are all kept, past the server's descriptors, and are
// dealt with in the order they were sent, and a stranger filling the queue does not change that.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "net/tcp_server.h"
#include "support/raw_tcp.h"
#include "support/wait.h"
#include "tcp_test_util.h"

namespace quorell::net {
namespace {

using namespace std::chrono_literals;
using test::ClientSocket;
using test::WaitUntil;

std::vector<std::string> Numbered(const std::string& kind, int count) {
    std::vector<std::string> lines;
    for (int i = 0; i < count; ++i) lines.push_back(kind + " " + std::to_string(i));
    return lines;
}

// The lines seen that start with `kind`, in the order they were seen.
std::vector<std::string> SeenOf(Seen& seen, const std::string& kind) {
    std::lock_guard<std::mutex> lock(seen.mutex);
    std::vector<std::string> out;
    for (const std::string& line : seen.lines) {
        if (line.rfind(kind + " ", 0) == 0) out.push_back(line);
    }
    return out;
}

// A server whose handlers wait at `gate` before they read, with few threads and few descriptors
// for its queue, so that a burst has to wait in the queue.
struct HeldServer {
    explicit HeldServer(int threads, std::size_t queued_bytes = 4u << 20) {
        server.MaxConnections = threads;
        server.MaxQueuedBytes = queued_bytes;
        server.MaxConnectionsPerAddress = threads;
        server.MaxQueuedConnections = 16;
        server.ListenQueue = 64;
        server.FirstLineTimeout = 0;
        auto collect = Collector(seen);
        server.OnConnect = [gate = &gate, collect](ServerConnection& conn) {
            gate->Wait(20s);
            collect(conn);
        };
        test::RaiseOpenFileLimit(4096);
        StartOnLoopback(server);
    }
    ~HeldServer() {
        gate.Open();
        server.SetActive(false);
    }

    Gate gate;
    std::shared_ptr<Seen> seen = std::make_shared<Seen>();
    TcpServer server;
};

TEST(TcpServerBurstTest, ABurstPastTheQueuesDescriptorsArrivesWholeAndInOrder) {
    HeldServer held(8);
    const int port = held.server.LocalPort();

    // A connection of the same address that never brings its line holds nobody up.
    ClientSocket silent = test::ConnectLoopback(port, 2s);
    ASSERT_TRUE(silent);

    const std::vector<std::string> burst = Numbered("burst", 300);
    for (const std::string& line : burst) ASSERT_TRUE(SendAndClose(port, nullptr, line + "\r\n"));

    held.gate.Open();
    EXPECT_TRUE(WaitUntil([&] { return SeenOf(*held.seen, "burst").size() == burst.size(); }, 20s));
    EXPECT_EQ(SeenOf(*held.seen, "burst"), burst);
}

TEST(TcpServerBurstTest, AStrangerFloodingTheQueueLosesItsOwnLinesNotThePeers) {
    HeldServer held(2, 64 * 1024);
    const int port = held.server.LocalPort();

    // The stranger fires connections of many lines each, far past what the queue keeps, and the
    // peer's one-line connections come in between.
    std::string many;
    for (int i = 0; i < 300; ++i) many += "a line of chat that nobody asked for\r\n";
    const std::vector<std::string> peer = Numbered("peer", 100);
    int stranger_sent = 0;
    for (const std::string& line : peer) {
        for (int i = 0; i < 3; ++i) stranger_sent += SendAndClose(port, "127.0.0.2", many) ? 1 : 0;
        ASSERT_TRUE(SendAndClose(port, "127.0.0.1", line + "\r\n"));
    }
    ASSERT_GT(stranger_sent, 20);

    held.gate.Open();
    EXPECT_TRUE(WaitUntil([&] { return SeenOf(*held.seen, "peer").size() == peer.size(); }, 20s));
    EXPECT_EQ(SeenOf(*held.seen, "peer"), peer);
    // The stranger's own connections gave way: far fewer of its lines were kept than it sent.
    EXPECT_TRUE(WaitUntil([&] { return held.server.ConnectionCount() == 0; }, 20s));
    std::lock_guard<std::mutex> lock(held.seen->mutex);
    EXPECT_LT(held.seen->lines.size() - peer.size(), static_cast<std::size_t>(stranger_sent) * 300);
}

TEST(TcpServerBurstTest, StopWakesAConnectionWaitingForItsTurn) {
    // The first connection's handler keeps its first line and never asks for more; the second
    // connection of the same address waits behind it until the server stops.
    Gate release;
    auto seen = std::make_shared<Seen>();
    TcpServer server;
    server.TerminateWaitTime = 300;
    server.OnConnect = [&release, seen](ServerConnection& conn) {
        const std::string line = conn.ReceiveLine();
        seen->Line(line);
        if (line == "first") release.Wait(20s);
    };
    StartOnLoopback(server);
    ASSERT_TRUE(SendAndClose(server.LocalPort(), nullptr, "first\r\n"));
    ASSERT_TRUE(WaitUntil([&] { return seen->LineCount() == 1; }));
    ASSERT_TRUE(SendAndClose(server.LocalPort(), nullptr, "second\r\n"));
    ASSERT_TRUE(WaitUntil([&] { return server.ConnectionCount() == 2; }));
    EXPECT_EQ(seen->LineCount(), 1u);

    // Only the stuck handler is left when the stop gives up waiting.
    EXPECT_THROW(server.SetActive(false), Error);
    EXPECT_TRUE(WaitUntil([&] { return server.ConnectionCount() == 1; }));
    EXPECT_EQ(seen->LineCount(), 1u);
    release.Open();
    EXPECT_TRUE(WaitUntil([&] { return server.ConnectionCount() == 0; }));
}

}  // namespace
}  // namespace quorell::net
