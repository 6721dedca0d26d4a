#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/errors.h"
#include "common/ui_bridge.h"
#include "net/socket_error.h"
#include "net/udp_client.h"
#include "net/udp_server.h"
#include "support/raw_udp.h"
#include "support/wait.h"

namespace quorell::net {
namespace {

using namespace std::chrono_literals;
using test::RawUdp;
using test::WaitUntil;

constexpr const char* kInUse = "Could not bind socket. Address and port are already in use.";

// A port on 127.0.0.1 that no datagram socket holds (just released).
int FreeUdpPort() {
    RawUdp probe("127.0.0.1", 0);
    return probe.port();
}

bool PortIsFree(int port) {
    return RawUdp("127.0.0.1", port).ok();
}

// True while the thread is blocked in poll(): a receive that is really waiting.
bool WaitingInPoll(pid_t tid) {
    std::ifstream file("/proc/self/task/" + std::to_string(tid) + "/syscall");
    long number = -1;
    file >> number;
    return number == SYS_poll || number == SYS_ppoll;
}

std::string FailureOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const Error& e) {
        return e.what();
    }
    return "(no failure)";
}

int SocketErrorCodeOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const SocketError& e) {
        return e.code();
    }
    return 0;
}

// ----- client ------------------------------------------------------------------------------

TEST(UdpClientTest, SendsEachBufferAsOneWholeDatagramOrFailsWithItsMessage) {
    RawUdp peer;
    ASSERT_TRUE(peer.ok());
    UdpClient client;
    client.BindAddress = "127.0.0.1";
    client.Host = "LocalHost";  // no lookup, any letter case
    client.Port = peer.port();

    const std::string gbk("\xc4\xe3\xba\xc3\x00\xff", 6);
    std::string full(8192, '\0');
    for (std::size_t i = 0; i < full.size(); ++i) full[i] = static_cast<char>(i * 7);
    client.SendText(gbk);
    client.SendBytes(full.data(), full.size());
    client.SendBytesTo("127.000.000.001", peer.port(), "", 0);

    std::vector<std::string> got;
    for (int i = 0; i < 3; ++i) {
        auto datagram = peer.Receive();
        ASSERT_TRUE(datagram.has_value());
        // Every datagram leaves from the one socket the first send created.
        EXPECT_EQ(datagram->port, client.LocalPort());
        got.push_back(datagram->bytes);
    }
    EXPECT_EQ(got, (std::vector<std::string>{gbk, full, ""}));

    const std::string huge(70000, 'x');
    EXPECT_EQ(FailureOf([&] { client.SendBytesTo("127.0.0.1", peer.port(), huge.data(), 70000); }),
              "Package Size Too Big.");
    // Only texts that fail without asking the network: an empty name is never looked up.
    EXPECT_EQ(FailureOf([&] { client.SendBytesTo("", peer.port(), "a", 1); }),
              "Socket Error # 11001\r\nHost not found.");
    EXPECT_EQ(SocketErrorCodeOf([&] { client.SendBytesTo("127.0.0.1", 70000, "a", 1); }), 10022);
    EXPECT_EQ(SocketErrorCodeOf([&] { client.SendBytesTo("127.0.0.1", 0, "a", 1); }), 10022);

    // None of them sent anything, and the client still works.
    client.SendText("after");
    auto datagram = peer.Receive();
    ASSERT_TRUE(datagram.has_value());
    EXPECT_EQ(datagram->bytes, "after");
}

TEST(UdpClientTest, ReceiveTextTimesOutWithAnEmptyTextAndNoSource) {
    RawUdp peer;
    UdpClient client;
    client.BindAddress = "127.0.0.1";
    client.ReceiveTimeout = 100;
    client.SetActive(true);
    ASSERT_GT(client.LocalPort(), 0);

    ASSERT_TRUE(peer.SendTo("127.0.0.1", client.LocalPort(), "Recived File Name OK!"));
    EXPECT_EQ(client.ReceiveText(), "Recived File Name OK!");
    EXPECT_EQ(client.PeerIP(), "127.0.0.1");
    EXPECT_EQ(client.PeerPort(), peer.port());

    EXPECT_EQ(client.ReceiveText(), "");
    EXPECT_EQ(client.PeerIP(), "");
    EXPECT_EQ(client.PeerPort(), 0);
    EXPECT_EQ(client.ReceiveText(0), "");
    // An explicit time-out overrides ReceiveTimeout.
    client.ReceiveTimeout = UdpClient::kNoLimit;
    EXPECT_EQ(client.ReceiveText(50), "");

    // A datagram longer than the buffer comes back as what the buffer holds.
    client.BufferSize = 16;
    ASSERT_TRUE(peer.SendTo("127.0.0.1", client.LocalPort(), std::string(40, 'L')));
    EXPECT_EQ(client.ReceiveText(5000), std::string(16, 'L'));
    ASSERT_TRUE(peer.SendTo("127.0.0.1", client.LocalPort(), "next"));
    EXPECT_EQ(client.ReceiveText(5000), "next");
}

TEST(UdpClientTest, DeactivationFromAnotherThreadEndsAWaitingReceiveWithASocketError) {
    RawUdp peer;
    UdpClient client;
    client.BindAddress = "127.0.0.1";
    client.Host = "127.0.0.1";
    client.Port = peer.port();
    client.ReceiveTimeout = UdpClient::kNoLimit;
    client.SetActive(true);
    const int port = client.LocalPort();

    std::atomic<pid_t> tid{0};
    std::atomic<bool> done{false};
    std::optional<std::string> returned;
    int code = 0;
    std::thread waiter([&] {
        tid.store(static_cast<pid_t>(syscall(SYS_gettid)));
        try {
            returned = client.ReceiveText();
        } catch (const SocketError& e) {
            code = e.code();
        }
        done.store(true);
    });
    const bool waiting = WaitUntil([&] { return tid.load() != 0 && WaitingInPoll(tid.load()); });
    client.SetActive(false);
    // The cancelling thread may send at once; that takes a new socket.
    client.SendText("Send File:File End!");
    const bool woke = WaitUntil([&] { return done.load(); }, 5s);
    if (!woke) peer.SendTo("127.0.0.1", port, "unblock");  // let the test end anyway
    waiter.join();

    EXPECT_TRUE(waiting);
    EXPECT_TRUE(woke);
    EXPECT_FALSE(returned.has_value()) << *returned;
    EXPECT_EQ(code, UdpClient::kClosedUnderWait);
    auto end = peer.Receive();
    ASSERT_TRUE(end.has_value());
    EXPECT_EQ(end->bytes, "Send File:File End!");
    EXPECT_NE(end->port, port);
    EXPECT_TRUE(PortIsFree(port));
}

TEST(UdpClientTest, BroadcastFlagTakesEffectWhenTheSocketIsMadeAndWhenChanged) {
    // 127.255.255.255 is the loopback network's broadcast address: it stays on this machine.
    RawUdp peer;
    const char* broadcast = "127.255.255.255";
    UdpClient plain;
    EXPECT_EQ(SocketErrorCodeOf([&] { plain.SendBytesTo(broadcast, peer.port(), "b", 1); }), 10013);

    UdpClient client;
    client.SetBroadcastEnabled(true);  // before the socket exists
    EXPECT_FALSE(client.Active());
    client.SendBytesTo(broadcast, peer.port(), "b", 1);
    client.SetBroadcastEnabled(false);  // while it exists
    EXPECT_EQ(SocketErrorCodeOf([&] { client.SendBytesTo(broadcast, peer.port(), "b", 1); }),
              10013);
    EXPECT_FALSE(client.BroadcastEnabled());
}

// ----- server ------------------------------------------------------------------------------

struct Delivery {
    std::string data;
    std::string source_address;
    int source_port = 0;
    int binding_port = 0;
    std::thread::id thread;
};

class UdpServerTest : public ::testing::Test {
protected:
    // The test thread is the bridge's user-interface thread; waits serve its hand-offs.
    void SetUp() override {
        bridge = std::make_shared<UiBridge>([this] { ++queued; });
    }
    // A listener that a failed test left inside a hand-off gives up instead of waiting forever.
    void TearDown() override { bridge->Close(); }

    void Start(UdpServer& server, int port = 0) {
        server.Bridge = bridge;
        server.BindAddress = "127.0.0.1";
        server.DefaultPort = port;
        server.SetActive(true);
        ASSERT_TRUE(server.Active());
        ASSERT_GT(server.LocalPort(), 0);
    }

    UdpServer::ReadHandler Recorder() {
        return [this](UdpServer&, std::string_view data, UdpBinding& binding) {
            std::lock_guard<std::mutex> lock(mutex);
            seen.push_back({std::string(data), binding.SourceAddress, binding.SourcePort,
                            binding.Port, std::this_thread::get_id()});
        };
    }

    std::size_t SeenCount() {
        std::lock_guard<std::mutex> lock(mutex);
        return seen.size();
    }

    bool Wait(const std::function<bool()>& pred, std::chrono::milliseconds limit = 10s) {
        return WaitUntil(pred, limit, bridge.get());
    }

    std::shared_ptr<UiBridge> bridge;
    std::atomic<int> queued{0};  // hand-offs queued on the bridge so far
    std::mutex mutex;
    std::vector<Delivery> seen;
};

TEST_F(UdpServerTest, DeliversWholeDatagramsUpToBufferSizeAndDropsLongerOnes) {
    UdpServer server;
    server.OnUDPRead = Recorder();
    Start(server);
    RawUdp peer;
    const std::string whole(8192, 'w');
    ASSERT_TRUE(peer.SendTo("127.0.0.1", server.LocalPort(), whole));
    ASSERT_TRUE(peer.SendTo("127.0.0.1", server.LocalPort(), std::string(8193, 'x')));
    ASSERT_TRUE(peer.SendTo("127.0.0.1", server.LocalPort(), "next"));
    ASSERT_TRUE(Wait([&] { return SeenCount() == 2; }));

    EXPECT_EQ(seen[0].data, whole);
    EXPECT_EQ(seen[1].data, "next");  // the long one vanished without a trace
    for (const auto& d : seen) {
        EXPECT_EQ(d.source_address, "127.0.0.1");
        EXPECT_EQ(d.source_port, peer.port());
        EXPECT_EQ(d.binding_port, server.LocalPort());
        EXPECT_EQ(d.thread, std::this_thread::get_id());  // on the user-interface thread
    }
}

TEST_F(UdpServerTest, HandsOverOneDatagramAtATimeInArrivalOrder) {
    // Each handler serves the bridge itself, as a modal box would: the next datagram must still
    // wait until the handler has returned.
    int inside = 0;
    int overlapped = 0;
    std::vector<std::string> order;
    UdpServer server;
    server.OnUDPRead = [&](UdpServer&, std::string_view data, UdpBinding&) {
        if (++inside > 1) ++overlapped;
        order.emplace_back(data);
        test::Settle(2ms, bridge.get());
        --inside;
    };
    Start(server);
    RawUdp peer;
    std::vector<std::string> sent;
    for (int i = 0; i < 40; ++i) {
        sent.push_back("piece " + std::to_string(i));
        ASSERT_TRUE(peer.SendTo("127.0.0.1", server.LocalPort(), sent.back()));
    }
    ASSERT_TRUE(Wait([&] { return order.size() == sent.size(); }));
    EXPECT_EQ(order, sent);
    EXPECT_EQ(overlapped, 0);
}

TEST_F(UdpServerTest, HandlerFailuresAndAClosedBridgeDoNotStopTheServer) {
    UdpServer server;
    auto record = Recorder();
    server.OnUDPRead = [&](UdpServer& sender, std::string_view data, UdpBinding& binding) {
        if (data == "error") throw Error("handler failed");
        if (data == "int") throw 42;
        record(sender, data, binding);
    };
    Start(server);
    RawUdp peer;
    for (const char* text : {"error", "int", "ok"}) {
        ASSERT_TRUE(peer.SendTo("127.0.0.1", server.LocalPort(), text));
    }
    ASSERT_TRUE(Wait([&] { return SeenCount() == 1; }));
    EXPECT_EQ(seen[0].data, "ok");

    // At the program's end the bridge refuses hand-offs: datagrams are dropped, the stop works.
    bridge->Close();
    ASSERT_TRUE(peer.SendTo("127.0.0.1", server.LocalPort(), "late"));
    test::Settle(50ms, bridge.get());
    server.SetActive(false);
    EXPECT_EQ(SeenCount(), 1u);
}

TEST_F(UdpServerTest, RestartOnAnotherPortReceivesThereOnly) {
    UdpServer server;
    server.OnUDPRead = Recorder();
    Start(server);
    const int first = server.LocalPort();
    const int second = FreeUdpPort();
    server.SetActive(false);
    EXPECT_FALSE(server.Active());
    EXPECT_EQ(server.LocalPort(), 0);
    EXPECT_TRUE(PortIsFree(first));
    server.SetActive(false);  // already inactive: nothing happens

    server.DefaultPort = second;
    server.SetActive(true);
    server.SetActive(true);  // already active: nothing happens
    EXPECT_EQ(server.LocalPort(), second);
    RawUdp peer;
    ASSERT_TRUE(peer.SendTo("127.0.0.1", first, "to the old port"));
    ASSERT_TRUE(peer.SendTo("127.0.0.1", second, "to the new port"));
    ASSERT_TRUE(Wait([&] { return SeenCount() == 1; }));
    test::Settle(50ms, bridge.get());
    ASSERT_EQ(SeenCount(), 1u);
    EXPECT_EQ(seen[0].data, "to the new port");
}

TEST_F(UdpServerTest, PortInUseHasItsMessageAndALaterStartSucceeds) {
    auto holder = std::make_unique<RawUdp>("127.0.0.1", 0);
    const int port = holder->port();
    UdpServer server;
    server.Bridge = bridge;
    server.BindAddress = "127.0.0.1";
    server.DefaultPort = port;
    EXPECT_EQ(FailureOf([&] { server.SetActive(true); }), kInUse);
    EXPECT_FALSE(server.Active());

    holder.reset();
    server.SetActive(true);
    EXPECT_EQ(server.LocalPort(), port);
    // Two servers never share a port.
    UdpServer other;
    other.Bridge = bridge;
    other.BindAddress = "127.0.0.1";
    other.DefaultPort = port;
    EXPECT_EQ(FailureOf([&] { other.SetActive(true); }), kInUse);

    // Handing datagrams to the user interface needs a bridge to hand them through.
    UdpServer orphan;
    orphan.BindAddress = "127.0.0.1";
    EXPECT_NE(FailureOf([&] { orphan.SetActive(true); }), "(no failure)");
    EXPECT_FALSE(orphan.Active());
}

TEST_F(UdpServerTest, ReplyThroughTheBindingLeavesFromTheServerPortAndReachesTheClient) {
    UdpServer server;
    std::string request;
    int request_port = 0;
    server.OnUDPRead = [&](UdpServer&, std::string_view data, UdpBinding& binding) {
        request = std::string(data);
        request_port = binding.SourcePort;
        binding.SendDatagram(binding.SourceAddress, binding.SourcePort, "Recived File Name OK!");
    };
    Start(server);

    // The client waits on a worker thread, as the file sender does.
    UdpClient client;
    client.BindAddress = "127.0.0.1";
    client.Host = "127.0.0.1";
    client.Port = server.LocalPort();
    client.ReceiveTimeout = 10000;
    std::atomic<bool> done{false};
    std::string reply;
    std::thread sender([&] {
        try {
            client.SendText("Send file:File Name:a.txt");
            reply = client.ReceiveText();
        } catch (const std::exception& e) {
            reply = e.what();
        }
        done.store(true);
    });
    const bool finished = Wait([&] { return done.load(); }, 15s);
    sender.join();
    ASSERT_TRUE(finished);
    EXPECT_EQ(request, "Send file:File Name:a.txt");
    EXPECT_EQ(request_port, client.LocalPort());
    EXPECT_EQ(reply, "Recived File Name OK!");
    EXPECT_EQ(client.PeerIP(), "127.0.0.1");
    EXPECT_EQ(client.PeerPort(), server.LocalPort());
}

TEST_F(UdpServerTest, StopOnTheUserInterfaceThreadRunsThePendingDeliveryFirst) {
    UdpServer server;
    server.OnUDPRead = Recorder();
    Start(server);
    const int port = server.LocalPort();
    RawUdp peer;
    ASSERT_TRUE(peer.SendTo("127.0.0.1", port, "pending"));
    // The listener is now blocked in the hand-off; nobody has served it yet.
    ASSERT_TRUE(WaitUntil([&] { return queued.load() == 1; }));
    EXPECT_EQ(SeenCount(), 0u);

    // Waiting without serving the bridge would end in "Terminate Thread Timeout".
    EXPECT_EQ(FailureOf([&] { server.SetActive(false); }), "(no failure)");
    ASSERT_EQ(SeenCount(), 1u);
    EXPECT_EQ(seen[0].data, "pending");
    EXPECT_TRUE(PortIsFree(port));
}

TEST_F(UdpServerTest, StopFromItsOwnHandlerReleasesThePortWithoutWaiting) {
    for (const bool threaded : {false, true}) {
        SCOPED_TRACE(threaded ? "threaded" : "on the user-interface thread");
        const int port = FreeUdpPort();
        auto server = std::make_unique<UdpServer>();
        server->ThreadedEvent = threaded;
        std::atomic<int> calls{0};
        std::atomic<bool> finished{false};
        bool port_free_inside = false;
        std::string failure;
        server->OnUDPRead = [&, port](UdpServer& sender, std::string_view, UdpBinding& binding) {
            ++calls;
            try {
                sender.SetActive(false);
                port_free_inside = !sender.Active() && PortIsFree(port);
                // The socket is gone: a reply now fails instead of going anywhere else.
                binding.SendDatagram("127.0.0.1", port, "x", 1);
                failure = "(sent)";
            } catch (const std::exception& e) {
                failure = e.what();
            }
            finished.store(true);
        };
        Start(*server, port);
        RawUdp peer;
        ASSERT_TRUE(peer.SendTo("127.0.0.1", port, "one"));
        ASSERT_TRUE(peer.SendTo("127.0.0.1", port, "two"));
        ASSERT_TRUE(Wait([&] { return finished.load(); }));
        test::Settle(50ms, bridge.get());
        EXPECT_EQ(calls.load(), 1);
        EXPECT_TRUE(port_free_inside);
        EXPECT_EQ(failure, "Socket Error # 10038\r\nSocket operation on non-socket.");
        EXPECT_FALSE(server->Active());
        server.reset();
    }
}

TEST_F(UdpServerTest, StopGivesUpOnAStuckHandlerAndTheServerCanGo) {
    struct Gate {
        std::mutex mutex;
        std::condition_variable cv;
        bool open = false;
        std::atomic<bool> entered{false};
    };
    auto gate = std::make_shared<Gate>();
    auto server = std::make_unique<UdpServer>();
    server->ThreadedEvent = true;
    server->TerminateWaitTime = 200;
    server->OnUDPRead = [gate](UdpServer&, std::string_view, UdpBinding&) {
        gate->entered.store(true);
        std::unique_lock<std::mutex> lock(gate->mutex);
        gate->cv.wait_for(lock, 10s, [&] { return gate->open; });
    };
    Start(*server);
    const int port = server->LocalPort();
    RawUdp peer;
    ASSERT_TRUE(peer.SendTo("127.0.0.1", port, "stuck"));
    ASSERT_TRUE(WaitUntil([&] { return gate->entered.load(); }));

    EXPECT_EQ(FailureOf([&] { server->SetActive(false); }), "Terminate Thread Timeout");
    EXPECT_FALSE(server->Active());
    server.reset();  // the listener outlives the server
    {
        std::lock_guard<std::mutex> lock(gate->mutex);
        gate->open = true;
    }
    gate->cv.notify_all();
    // Once the handler returns, the listener ends and lets go of the port.
    EXPECT_TRUE(WaitUntil([&] { return PortIsFree(port); }));
}

}  // namespace
}  // namespace quorell::net
