// What a hostile client can make the stream audio sink hold: connections, buffered bytes and
// failure boxes all stay bounded.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <QString>
#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "audio/acm_out.h"
#include "audio/stream_sink.h"
#include "support/fake_audio.h"
#include "support/raw_tcp.h"
#include "support/wait.h"

namespace quorell {
namespace {

using namespace std::chrono_literals;
using test::ClientSocket;
using test::WaitUntil;

// Whether the sink has ended this client's connection (reads away what came before).
bool EndedByServer(ClientSocket& client) {
    char sink[256];
    pollfd p{client.fd(), POLLIN, 0};
    if (poll(&p, 1, 0) <= 0) return false;
    const ssize_t n = recv(client.fd(), sink, sizeof sink, MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

// A sound device whose writes may be held up by the test while the event loop goes on, as a
// modal box opened from inside the read handler would hold them.
class HeldDevice : public IWaveOutputDevice {
public:
    int Open(int, int, PlayedHandler) override { return open_result; }
    int Write(std::span<const std::int16_t> samples, std::uint64_t* id) override {
        written += samples.size();
        *id = ++writes;
        if (auto hold = std::exchange(hold_next_write, nullptr)) hold();
        return 0;
    }
    void Close() override {}

    int open_result = 0;
    std::function<void()> hold_next_write;
    std::size_t written = 0;
    std::uint64_t writes = 0;
};

struct Sink {
    explicit Sink(StreamAudioSink::ErrorBox box = nullptr)
        : out(&device), sink(out, convertor, std::move(box)) {
        sink.Start("127.0.0.1", 0);
    }
    // A connection made while the event loop runs, so the sink takes it on at once.
    ClientSocket Connect() {
        ClientSocket c = test::StartConnectLoopback(sink.Port());
        EXPECT_TRUE(WaitUntil([&] { return test::ConnectCompleted(c.fd(), 0ms); }));
        return c;
    }

    HeldDevice device;
    TACMOut out;
    TACMConvertor convertor;
    StreamAudioSink sink;
};

TEST(StreamAudioSinkBounds, TurnsAwayClientsBeyondTheCapAndTakesNewOnesOnceThereIsRoom) {
    Sink s;
    std::vector<ClientSocket> held;
    for (int i = 0; i < StreamAudioSink::kMaxClients; ++i) held.push_back(s.Connect());
    ASSERT_TRUE(WaitUntil([&] { return s.sink.ClientCount() == StreamAudioSink::kMaxClients; }));

    std::vector<ClientSocket> extra;
    for (int i = 0; i < 4; ++i) extra.push_back(s.Connect());
    for (ClientSocket& c : extra) {
        ASSERT_TRUE(c);
        EXPECT_TRUE(WaitUntil([&] { return EndedByServer(c); }, 5s)) << "a client over the cap";
    }
    EXPECT_EQ(s.sink.ClientCount(), StreamAudioSink::kMaxClients);
    for (ClientSocket& c : held) EXPECT_FALSE(EndedByServer(c));

    held.pop_back();
    ASSERT_TRUE(
        WaitUntil([&] { return s.sink.ClientCount() == StreamAudioSink::kMaxClients - 1; }));
    ClientSocket next = s.Connect();
    ASSERT_TRUE(next.SendAll(std::string(100, '\x80')));
    ASSERT_TRUE(WaitUntil([&] { return s.device.written == 100; }));
    EXPECT_FALSE(EndedByServer(next));
    EXPECT_EQ(s.sink.ClientCount(), StreamAudioSink::kMaxClients);
}

TEST(StreamAudioSinkBounds, OneFailureBoxAtATimeAndReadsGoOnWhileItIsOpen) {
    int boxes = 0;
    std::function<void()> while_open;
    Sink s([&](const QString&) {
        ++boxes;
        // The box is modal: the event loop runs inside it until the user closes it.
        if (auto run = std::exchange(while_open, nullptr)) run();
    });
    s.device.open_result = 2;  // no sound device
    std::vector<ClientSocket> clients;
    for (int i = 0; i < 5; ++i) clients.push_back(s.Connect());

    bool played_while_open = false;
    bool closed = false;
    while_open = [&] {
        // Every client's bytes fail as well: no box opens on top of this one.
        for (ClientSocket& c : clients) ASSERT_TRUE(c.SendAll("more"));
        test::Settle(300ms);
        // The device comes back; the first client's bytes play while the box is still open.
        s.device.open_result = 0;
        ASSERT_TRUE(clients[0].SendAll(std::string(50, '\x80')));
        played_while_open = WaitUntil([&] { return s.device.written >= 50; });
        closed = true;
    };
    ASSERT_TRUE(clients[0].SendAll("fails"));
    ASSERT_TRUE(WaitUntil([&] { return closed; }));
    EXPECT_EQ(boxes, 1);
    EXPECT_TRUE(played_while_open);

    // Once the box is closed, the next failure is shown again.
    s.out.Close();
    s.device.open_result = 2;
    ASSERT_TRUE(clients[1].SendAll("fails again"));
    EXPECT_TRUE(WaitUntil([&] { return boxes == 2; }));
}

TEST(StreamAudioSinkBounds, AClientSendingWhileItsReadIsHeldUpWaitsInsteadOfFillingMemory) {
    Sink s;
    ClientSocket fast = s.Connect();
    std::atomic<std::size_t> sent{0};
    std::atomic<bool> done{false};
    s.device.hold_next_write = [&] {
        std::thread blaster([&] {
            const std::string block(64 * 1024, '\x80');
            const auto deadline = std::chrono::steady_clock::now() + 2s;
            while (sent < 128u * 1024 * 1024 && std::chrono::steady_clock::now() < deadline) {
                const ssize_t n =
                    send(fast.fd(), block.data(), block.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
                if (n > 0) {
                    sent += static_cast<std::size_t>(n);
                } else {
                    pollfd p{fast.fd(), POLLOUT, 0};
                    poll(&p, 1, 10);
                }
            }
            done = true;
        });
        WaitUntil([&] { return done.load(); }, 10s);
        blaster.join();
    };
    ASSERT_TRUE(fast.SendAll(std::string(10, '\x80')));
    ASSERT_TRUE(WaitUntil([&] { return done.load(); }, 15s));
    // What the sink could take is its read buffer plus what the system's socket buffers hold.
    EXPECT_LT(sent.load(), 48u * 1024 * 1024);
}

}  // namespace
}  // namespace quorell
