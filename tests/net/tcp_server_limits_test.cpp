// The stream server's defences: nobody on the network can keep the peer out, and a burst of
// connections is taken in while the handlers are busy.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "net/tcp_client.h"
#include "net/tcp_server.h"
#include "support/raw_tcp.h"
#include "support/wait.h"
#include "tcp_test_util.h"

namespace quorell::net {
namespace {

using namespace std::chrono_literals;
using test::ClientSocket;
using test::WaitUntil;

bool Saw(Seen& seen, const std::string& line) {
    std::lock_guard<std::mutex> lock(seen.mutex);
    return std::find(seen.lines.begin(), seen.lines.end(), line) != seen.lines.end();
}

TEST(TcpServerLimitsTest, AStrangerHoldingIdleConnectionsCannotLockThePeerOut) {
    auto seen = std::make_shared<Seen>();
    TcpServer server;
    server.MaxConnections = 8;
    server.MaxWaitingPerAddress = 4;
    server.FirstLineTimeout = 500;
    server.OnConnect = Collector(seen);
    StartOnLoopback(server);
    const int port = server.LocalPort();

    // Far more silent connections than there are threads, all from one other address.
    test::RaiseOpenFileLimit(4096);
    std::vector<ClientSocket> stranger;
    for (int i = 0; i < 300; ++i)
        stranger.push_back(test::StartConnectLoopback(port, "127.0.0.1", "127.0.0.2"));
    // Connects may complete, or be reset at once by the server; either is fine.
    for (ClientSocket& s : stranger) test::ConnectCompleted(s.fd(), 5s);

    // The peer gets through at once and its line is taken.
    TcpClient peer;
    peer.Host = "127.0.0.1";
    peer.Port = port;
    peer.OpenConnection();
    peer.SendLine("from the peer");
    peer.CloseConnection();
    EXPECT_TRUE(WaitUntil([&] { return Saw(*seen, "from the peer"); }));

    // All but the stranger's share were turned away, and that share is dropped at its deadline.
    int turned_away = 0;
    for (ClientSocket& s : stranger) turned_away += s.ServerClosedWithin(2s) ? 1 : 0;
    EXPECT_EQ(turned_away, 300);
    EXPECT_TRUE(WaitUntil([&] { return server.ConnectionCount() == 0; }));
    std::lock_guard<std::mutex> lock(seen->mutex);
    EXPECT_EQ(std::count(seen->failures.begin(), seen->failures.end(), "Read timed out."), 4);
}

TEST(TcpServerLimitsTest, OnlyTheFirstLineHasADeadlineAndBytesAlreadyThereCount) {
    auto seen = std::make_shared<Seen>();
    TcpServer server;
    server.FirstLineTimeout = 300;
    server.OnConnect = Collector(seen);
    StartOnLoopback(server);

    // A first line dribbled out byte by byte is cut off at its deadline.
    ClientSocket slow = test::ConnectLoopback(server.LocalPort(), 2s);
    for (char c : std::string("too slow")) {
        slow.SendAll(std::string(1, c));
        std::this_thread::sleep_for(60ms);
    }
    EXPECT_TRUE(slow.ServerClosedWithin(2s));
    EXPECT_FALSE(Saw(*seen, "too slow"));

    // After a prompt first line, later lines may take their time.
    ClientSocket chat = test::ConnectLoopback(server.LocalPort(), 2s);
    chat.SendAll("first\r\n");
    std::this_thread::sleep_for(700ms);
    chat.SendAll("second, later\r\n");
    chat.FinishSending();
    EXPECT_TRUE(WaitUntil([&] { return Saw(*seen, "second, later"); }));
    EXPECT_TRUE(Saw(*seen, "first"));
}

TEST(TcpServerLimitsTest, ABurstIsTakenInWhileEveryThreadIsBusyAndNoLineIsLost) {
    Gate gate;
    auto seen = std::make_shared<Seen>();
    TcpServer server;
    server.MaxConnections = 2;
    // Well below the burst, so the server's own queue has to take it (yet not so small that a
    // busy machine makes the kernel drop connects while the listener waits for a core).
    server.ListenQueue = 64;
    auto collect = Collector(seen);
    server.OnConnect = [&gate, collect](ServerConnection& conn) {
        gate.Wait(10s);
        collect(conn);
    };
    StartOnLoopback(server);

    // Every connect completes and every line is written while both threads are held.
    constexpr int kBurst = 400;
    test::RaiseOpenFileLimit(4096);
    std::vector<ClientSocket> burst;
    for (int i = 0; i < kBurst; ++i) {
        burst.push_back(test::StartConnectLoopback(server.LocalPort()));
        ASSERT_TRUE(test::ConnectCompleted(burst.back().fd(), 5s)) << "connection " << i;
        fcntl(burst.back().fd(), F_SETFL, 0);
        ASSERT_TRUE(burst.back().SendAll("line " + std::to_string(i) + "\r\n"));
        burst.back().FinishSending();
    }
    EXPECT_EQ(server.ConnectionCount(), 2);

    gate.Open();
    EXPECT_TRUE(WaitUntil([&] { return seen->LineCount() == kBurst; }, 20s));
    for (int i = 0; i < kBurst; ++i) EXPECT_TRUE(Saw(*seen, "line " + std::to_string(i)));
    server.SetActive(false);
}

}  // namespace
}  // namespace quorell::net
