#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/errors.h"
#include "common/ui_bridge.h"
#include "net/socket_error.h"
#include "net/tcp_client.h"
#include "net/tcp_server.h"
#include "support/raw_tcp.h"
#include "support/wait.h"
#include "tcp_test_util.h"

namespace quorell::net {
namespace {

using namespace std::chrono_literals;
using test::WaitUntil;

// ----- client ------------------------------------------------------------------------------

TEST(TcpClientTest, SendLineWritesTextAndCrLfUnchanged) {
    int port = 0;
    int listener = test::ListenLoopback(4, &port);
    ASSERT_GE(listener, 0);

    TcpClient client;
    client.Host = "LocalHost";
    client.Port = port;
    client.OpenConnection();
    EXPECT_TRUE(client.IsConnected());
    const std::string gbk("\xc4\xe3\xba\xc3 \x00\xff", 7);  // bytes travel as they are
    client.SendLine("");
    client.SendLine(gbk);
    client.CloseConnection();
    EXPECT_FALSE(client.IsConnected());

    int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(test::ReadToEnd(fd), "\r\n" + gbk + "\r\n");
    close(fd);
    close(listener);
}

TEST(TcpClientTest, MisuseIsReportedWithItsOwnMessages) {
    TcpClient client;
    try {
        client.SendLine("x");
        FAIL();
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "Not Connected");
    }
    client.CloseConnection();  // harmless without a connection

    int port = 0;
    int listener = test::ListenLoopback(4, &port);
    client.Host = "127.0.0.1";
    client.Port = port;
    client.OpenConnection();
    try {
        client.OpenConnection();
        FAIL();
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "Already connected.");
    }
    // The first connection is still the one in use.
    client.SendLine("still here");
    client.CloseConnection();
    int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    EXPECT_EQ(test::ReadToEnd(fd), "still here\r\n");
    close(fd);
    close(listener);
}

TEST(TcpClientTest, RefusedConnectionIsSocketError10061) {
    TcpClient client;
    client.Host = "127.0.0.1";
    client.Port = test::UnusedPort();
    try {
        client.OpenConnection();
        FAIL();
    } catch (const SocketError& e) {
        EXPECT_EQ(e.code(), 10061);
        EXPECT_STREQ(e.what(), "Socket Error # 10061\r\nConnection refused.");
    }
    EXPECT_FALSE(client.IsConnected());
    client.ConnectTimeout = 0;  // the system's own blocking connect
    EXPECT_THROW(client.OpenConnection(), SocketError);
    EXPECT_FALSE(client.IsConnected());
}

TEST(TcpClientTest, UnresolvableHostIsHostNotFound) {
    TcpClient client;
    client.Host = "no-such-host.invalid";
    client.Port = 1;
    try {
        client.OpenConnection();
        FAIL();
    } catch (const SocketError& e) {
        EXPECT_EQ(e.code(), kHostNotFound);
    }
    EXPECT_FALSE(client.IsConnected());
}

TEST(TcpClientTest, ConnectGivesUpAfterConnectTimeout) {
    // A listener that never accepts, with its queue filled, drops further connection attempts.
    int port = 0;
    int listener = test::ListenLoopback(0, &port);
    ASSERT_GE(listener, 0);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_in addr = test::Loopback(port);
        connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        fillers.push_back(fd);
    }
    std::this_thread::sleep_for(50ms);

    TcpClient client;
    client.Host = "127.0.0.1";
    client.Port = port;
    client.ConnectTimeout = 300;
    const auto start = std::chrono::steady_clock::now();
    try {
        client.OpenConnection();
        ADD_FAILURE() << "connected";
    } catch (const SocketError& e) {
        EXPECT_EQ(e.code(), 10060);
        EXPECT_STREQ(e.what(), "Socket Error # 10060\r\nConnection timed out.");
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    EXPECT_FALSE(client.IsConnected());
    for (int fd : fillers) close(fd);
    close(listener);
}

TEST(TcpClientTest, SendToAVanishedPeerFailsAndDisconnects) {
    int port = 0;
    int listener = test::ListenLoopback(4, &port);
    TcpClient client;
    client.Host = "127.0.0.1";
    client.Port = port;
    client.OpenConnection();
    int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    linger hard{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(fd);  // resets the connection
    close(listener);
    std::this_thread::sleep_for(50ms);

    // Never SIGPIPE: the failure is an exception, and the client lets the socket go.
    bool failed = false;
    for (int i = 0; i < 50 && !failed; ++i) {
        try {
            client.SendLine(std::string(1000, 'p'));
        } catch (const SocketError& e) {
            failed = true;
            EXPECT_TRUE(e.code() == 10054 || e.code() == 10058) << e.code();
        }
    }
    EXPECT_TRUE(failed);
    EXPECT_FALSE(client.IsConnected());
}

// ----- server ------------------------------------------------------------------------------

TEST(TcpServerTest, DeliversLinesFromClientToHandler) {
    auto seen = std::make_shared<Seen>();
    TcpServer server;
    server.OnConnect = Collector(seen);
    StartOnLoopback(server);
    server.SetActive(true);  // a second activation changes nothing
    EXPECT_TRUE(server.Active());

    TcpClient client;
    client.Host = "localhost";
    client.Port = server.LocalPort();
    client.OpenConnection();
    client.SendLine("hello");
    client.SendLine("");
    client.CloseConnection();

    ASSERT_TRUE(WaitUntil([&] { return seen->FailureCount() == 1; }));
    EXPECT_EQ(seen->lines, (std::vector<std::string>{"hello", ""}));
    EXPECT_EQ(seen->failures[0], "Connection Closed Gracefully.");
    ASSERT_TRUE(WaitUntil([&] { return server.ConnectionCount() == 0; }));
    server.SetActive(false);
    EXPECT_FALSE(server.Active());
    EXPECT_EQ(server.LocalPort(), 0);
}

TEST(TcpServerTest, PortInUseHasItsOwnMessageAndRestartWorks) {
    TcpServer first;
    StartOnLoopback(first);
    TcpServer second;
    second.BindAddress = "127.0.0.1";
    second.DefaultPort = first.LocalPort();
    try {
        second.SetActive(true);
        FAIL();
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "Could not bind socket. Address and port are already in use.");
    }
    EXPECT_FALSE(second.Active());
    const int port = first.LocalPort();
    first.SetActive(false);
    // Stopping releases the port at once, and a stopped server can start again.
    second.SetActive(true);
    EXPECT_EQ(second.LocalPort(), port);
    first.DefaultPort = 0;
    first.SetActive(true);
    EXPECT_TRUE(first.Active());
}

// Exit status of an attempt to listen on port 1001 without privileges: 0 for "Access denied.".
[[noreturn]] void ListenOnPrivilegedPortUnprivileged() {
    if (geteuid() == 0 && setuid(65534) != 0) _exit(2);
    TcpServer server;
    server.BindAddress = "127.0.0.1";
    server.DefaultPort = 1001;
    try {
        server.SetActive(true);
    } catch (const SocketError& e) {
        _exit(e.code() == 10013 && std::string(e.what()) == "Socket Error # 10013\r\nAccess denied."
                  ? 0
                  : 3);
    } catch (...) {
        _exit(4);
    }
    _exit(5);
}

TEST(TcpServerTest, PrivilegedPortWithoutPermissionIsAccessDenied) {
    int first_free = 1024;
    if (FILE* f = std::fopen("/proc/sys/net/ipv4/ip_unprivileged_port_start", "r")) {
        if (std::fscanf(f, "%d", &first_free) != 1) first_free = 1024;
        std::fclose(f);
    }
    if (first_free <= 1001) GTEST_SKIP() << "port 1001 needs no privilege on this system";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(ListenOnPrivilegedPortUnprivileged(), ::testing::ExitedWithCode(0), "");
}

TEST(TcpServerTest, ServesConnectionsAtTheSameTimeOnTheirOwnThreads) {
    auto lock = std::make_shared<std::mutex>();
    auto cv = std::make_shared<std::condition_variable>();
    auto inside = std::make_shared<int>(0);
    auto threads = std::make_shared<std::set<std::thread::id>>();
    auto together = std::make_shared<std::atomic<int>>(0);

    TcpServer server;
    server.OnConnect = [=](ServerConnection&) {
        std::unique_lock<std::mutex> guard(*lock);
        threads->insert(std::this_thread::get_id());
        ++*inside;
        cv->notify_all();
        // Each handler only finishes once the other one is running too.
        if (cv->wait_for(guard, 5s, [&] { return *inside >= 2; })) ++*together;
    };
    StartOnLoopback(server);

    int a = test::ConnectFd(server.LocalPort());
    int b = test::ConnectFd(server.LocalPort());
    ASSERT_TRUE(WaitUntil([&] { return together->load() == 2; }));
    {
        std::lock_guard<std::mutex> guard(*lock);
        EXPECT_EQ(threads->size(), 2u);
    }
    // The server closes each connection when its handler returns.
    EXPECT_EQ(test::ReadToEnd(a), "");
    EXPECT_EQ(test::ReadToEnd(b), "");
    close(a);
    close(b);
}

TEST(TcpServerTest, StopWakesHandlersWaitingForLines) {
    auto seen = std::make_shared<Seen>();
    TcpServer server;
    server.OnConnect = Collector(seen);
    StartOnLoopback(server);
    int silent = test::ConnectFd(server.LocalPort());
    ASSERT_TRUE(WaitUntil([&] { return server.ConnectionCount() == 1; }));

    const auto start = std::chrono::steady_clock::now();
    server.SetActive(false);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_EQ(server.ConnectionCount(), 0);
    ASSERT_EQ(seen->FailureCount(), 1u);
    EXPECT_EQ(seen->failures[0], "Connection Closed Gracefully.");
    close(silent);
}

TEST(TcpServerTest, StopReportsAStuckHandlerAndOutlivingThreadIsSafe) {
    auto gate = std::make_shared<Gate>();
    auto entered = std::make_shared<std::atomic<bool>>(false);
    // Destroyed with the last copy of the handler, which the connection thread holds to the end.
    auto released = std::make_shared<Gate>();
    struct Sentinel {
        std::shared_ptr<Gate> released;
        ~Sentinel() { released->Open(); }
    };
    auto sentinel = std::make_shared<Sentinel>(Sentinel{released});

    auto server = std::make_unique<TcpServer>();
    server->TerminateWaitTime = 200;
    server->OnConnect = [gate, entered, sentinel](ServerConnection&) {
        entered->store(true);
        gate->Wait(10s);  // not reading: aborting the connection cannot wake it
    };
    sentinel.reset();
    StartOnLoopback(*server);
    int fd = test::ConnectFd(server->LocalPort());
    ASSERT_TRUE(WaitUntil([&] { return entered->load(); }));

    const auto start = std::chrono::steady_clock::now();
    try {
        server->SetActive(false);
        ADD_FAILURE() << "stop did not report the stuck thread";
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "Terminate Thread Timeout");
    }
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 190ms);
    EXPECT_LT(took, 3s);
    EXPECT_FALSE(server->Active());
    EXPECT_EQ(server->ConnectionCount(), 1);

    server.reset();  // the handler is still running
    gate->Open();
    EXPECT_TRUE(released->Wait(5s));
    EXPECT_EQ(test::ReadToEnd(fd), "");
    close(fd);
}

TEST(TcpServerTest, StopOnTheUserInterfaceThreadServesConnectionThreadsWaitingForIt) {
    // This thread is the bridge's user-interface thread; the waker counts queued hand-offs.
    auto queued = std::make_shared<std::atomic<int>>(0);
    auto bridge = std::make_shared<UiBridge>([queued] { ++*queued; });
    auto ran = std::make_shared<std::atomic<bool>>(false);
    TcpServer server;
    server.Bridge = bridge;
    server.OnConnect = [bridge, ran](ServerConnection&) {
        bridge->Invoke([ran] { ran->store(true); });
    };
    StartOnLoopback(server);
    int fd = test::ConnectFd(server.LocalPort());
    ASSERT_GE(fd, 0);
    // The connection thread now waits in its hand-off, which nobody has served yet.
    ASSERT_TRUE(WaitUntil([&] { return queued->load() == 1; }));
    EXPECT_FALSE(ran->load());

    try {
        server.SetActive(false);
    } catch (const Error& e) {
        ADD_FAILURE() << e.what();
        bridge->Close();  // release the connection thread
    }
    EXPECT_TRUE(ran->load());
    EXPECT_EQ(server.ConnectionCount(), 0);
    EXPECT_EQ(test::ReadToEnd(fd), "");
    close(fd);
}

TEST(TcpServerTest, ConnectionsOverTheCapWaitTheirTurn) {
    auto seen = std::make_shared<Seen>();
    TcpServer server;
    server.MaxConnections = 2;
    server.OnConnect = Collector(seen);
    StartOnLoopback(server);

    int a = test::ConnectFd(server.LocalPort());
    int b = test::ConnectFd(server.LocalPort());
    ASSERT_TRUE(WaitUntil([&] { return server.ConnectionCount() == 2; }));
    // The third is not served yet, but its line is not lost either.
    int over = test::ConnectFd(server.LocalPort());
    ASSERT_GE(over, 0);
    ASSERT_TRUE(test::WriteAll(over, "third\r\n"));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(server.ConnectionCount(), 2);
    EXPECT_EQ(seen->LineCount(), 0u);

    close(a);
    ASSERT_TRUE(WaitUntil([&] { return seen->LineCount() == 1; }));
    EXPECT_EQ(seen->lines[0], "third");
    close(b);
    close(over);
}

TEST(TcpServerTest, SilentConnectionIsDroppedAfterReadTimeout) {
    auto seen = std::make_shared<Seen>();
    TcpServer server;
    server.ReadTimeout = 150;
    server.OnConnect = Collector(seen);
    StartOnLoopback(server);

    int fd = test::ConnectFd(server.LocalPort());
    EXPECT_EQ(test::ReadToEnd(fd), "");  // returns once the server hangs up
    ASSERT_TRUE(WaitUntil([&] { return seen->FailureCount() == 1; }));
    EXPECT_EQ(seen->failures[0], "Read timed out.");
    close(fd);
}

TEST(TcpServerTest, SurvivesHostilePeers) {
    auto seen = std::make_shared<Seen>();
    TcpServer server;
    server.MaxConnections = 64;
    server.ListenQueue = 1024;  // the burst below is faster than any accept loop
    server.OnConnect = Collector(seen);
    StartOnLoopback(server);
    const int port = server.LocalPort();

    // A burst of connections well over the cap: some send garbage, some reset, most sit idle.
    std::vector<int> fds;
    for (int i = 0; i < 600; ++i) {
        int fd = test::ConnectFd(port);
        if (fd < 0) continue;
        if (i % 3 == 0) {
            test::WriteAll(fd, std::string(100 + i, static_cast<char>(i)));
        } else if (i % 3 == 1) {
            linger hard{1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            test::WriteAll(fd, "partial");
            close(fd);
            continue;
        }
        fds.push_back(fd);
    }
    // An endless line is refused.
    int flood = test::ConnectFd(port);
    std::thread flooder([flood] { test::WriteAll(flood, std::string(1 << 20, '\x01')); });
    for (int fd : fds) close(fd);
    ASSERT_TRUE(WaitUntil([&] { return server.ConnectionCount() == 0; }, 10s));
    flooder.join();
    close(flood);

    // A well-behaved peer is still served.
    TcpClient client;
    client.Host = "127.0.0.1";
    client.Port = port;
    client.OpenConnection();
    client.SendLine("still fine");
    client.CloseConnection();
    // Connections of the burst may still be in the listen queue, so look for the line among all.
    EXPECT_TRUE(WaitUntil([&] {
        std::lock_guard<std::mutex> lock(seen->mutex);
        return std::find(seen->lines.begin(), seen->lines.end(), "still fine") != seen->lines.end();
    }));
    server.SetActive(false);
}

}  // namespace
}  // namespace quorell::net
