// Where connections and datagrams came from, over real loopback sockets from several of its
// addresses: the server's accepted source, a connection that waited without its descriptor, a
// datagram's source and the reply to it.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "net/address.h"
#include "net/tcp_server.h"
#include "net/udp_client.h"
#include "net/udp_server.h"
#include "support/raw_tcp.h"
#include "support/raw_udp.h"
#include "support/wait.h"
#include "tcp_test_util.h"

namespace quorell::net {
namespace {

using namespace std::chrono_literals;
using test::WaitUntil;

// What a handler learnt about one connection.
struct Arrival {
    std::string line;
    std::string source;  // Source()
    std::string peer;    // PeerAddressOf() its descriptor, when it has one
    bool without_descriptor = false;
};

struct Arrivals {
    std::mutex mutex;
    std::vector<Arrival> seen;

    void Record(ServerConnection& conn) {
        Arrival a;
        a.without_descriptor = conn.fd() < 0;
        a.peer = PeerAddressOf(conn.fd()).Text();
        a.source = conn.Source().Text();
        a.line = conn.ReceiveLine();
        std::lock_guard<std::mutex> lock(mutex);
        seen.push_back(std::move(a));
    }
    std::vector<Arrival> From(const std::string& source) {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<Arrival> out;
        for (const Arrival& a : seen) {
            if (a.line.rfind(source, 0) == 0) out.push_back(a);
        }
        return out;
    }
};

TEST(SourceAddressTest, AConnectionKnowsItsSourceAlsoWhenItWaitedWithoutItsDescriptor) {
    // One thread and one queued descriptor: the first connection holds the thread and the second
    // the descriptor. The second sends its line and ends its side, so when a third comes, the
    // second gives the descriptor up and waits with its bytes only.
    Gate gate;
    Arrivals arrivals;
    TcpServer server;
    server.MaxConnections = 1;
    server.MaxQueuedConnections = 1;
    server.FirstLineTimeout = 0;
    server.OnConnect = [&](ServerConnection& conn) {
        gate.Wait(20s);
        arrivals.Record(conn);
    };
    StartOnLoopback(server);
    const int port = server.LocalPort();

    ASSERT_TRUE(SendAndClose(port, "127.0.0.2", "127.0.0.2 first\r\n"));
    ASSERT_TRUE(WaitUntil([&] { return server.ConnectionCount() == 1; }));
    test::ClientSocket second = test::StartConnectLoopback(port, "127.0.0.1", "127.0.0.3");
    ASSERT_TRUE(second && test::ConnectCompleted(second.fd(), 5s));
    fcntl(second.fd(), F_SETFL, 0);
    ASSERT_TRUE(second.SendAll("127.0.0.3 parked\r\n"));
    second.FinishSending();
    ASSERT_TRUE(SendAndClose(port, "127.0.0.4", "127.0.0.4 open\r\n"));
    // The server parks the second by closing its descriptor, which its client sees as the end.
    ASSERT_TRUE(WaitUntil(
        [&] {
            char byte = 0;
            return ::recv(second.fd(), &byte, 1, MSG_DONTWAIT) == 0;
        },
        20s));

    gate.Open();
    ASSERT_TRUE(WaitUntil([&] { return arrivals.From("127.0.0.").size() == 3; }, 20s));
    server.SetActive(false);

    const auto expect = [&](const std::string& source, bool parked) {
        const std::vector<Arrival> seen = arrivals.From(source);
        ASSERT_EQ(seen.size(), 1u) << source;
        EXPECT_EQ(seen[0].without_descriptor, parked) << source;
        EXPECT_EQ(seen[0].source, source);
        EXPECT_EQ(seen[0].peer, parked ? "" : source);
    };
    expect("127.0.0.2", false);
    expect("127.0.0.3", true);
    expect("127.0.0.4", false);
}

TEST(SourceAddressTest, ADatagramsSourceComesOutRightAndTheReplyGoesBackThere) {
    UdpServer server;
    server.ThreadedEvent = true;
    server.BindAddress = "127.0.0.1";
    std::mutex mutex;
    std::vector<std::pair<Endpoint, std::string>> seen;
    server.OnUDPRead = [&](UdpServer&, std::string_view data, UdpBinding& binding) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            seen.emplace_back(binding.Source(), binding.SourceAddress);
        }
        binding.SendDatagram(binding.Source(), std::string("re: ") + std::string(data));
    };
    server.SetActive(true);

    UdpClient client;
    client.BindAddress = "127.0.0.4";
    client.Host = "127.0.0.1";
    client.Port = server.LocalPort();
    client.ReceiveTimeout = 10000;
    client.SendText("hello");
    EXPECT_EQ(client.ReceiveText(), "re: hello");
    EXPECT_EQ(client.LastSource().address.Text(), "127.0.0.1");
    EXPECT_EQ(client.LastSource().port, server.LocalPort());
    EXPECT_EQ(client.PeerIP(), "127.0.0.1");

    test::RawUdp stranger("127.0.0.5");
    ASSERT_TRUE(stranger.SendTo("127.0.0.1", server.LocalPort(), "who"));
    const auto reply = stranger.Receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->bytes, "re: who");
    server.SetActive(false);

    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].first, (Endpoint{*Address::Parse("127.0.0.4"), client.LocalPort()}));
    EXPECT_EQ(seen[0].second, "127.0.0.4");
    EXPECT_EQ(seen[1].first, (Endpoint{*Address::Parse("127.0.0.5"), stranger.port()}));
    EXPECT_EQ(seen[1].second, "127.0.0.5");
}

}  // namespace
}  // namespace quorell::net
