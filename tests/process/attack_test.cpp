// The real program attacked from raw sockets on loopback: a crowd of idle control connections,
// hostile control lines, a datagram flood on the file port, the stream audio sink flooded by
// one fast client and by a crowd, and a crowd and a flood of handshakes on the session port.
// During and after each attack the program has to keep serving an honest client on 127.0.0.1,
// and its threads and memory have to stay bounded and come back to near where they were. The
// figures are printed as a table per attack.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "attackers.h"
#include "process_metrics.h"
#include "program_checks.h"
#include "session/identity.h"
#include "session/session.h"
#include "support/raw_udp.h"
#include "support/wait.h"

namespace quorell::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Generous: a loaded two-core machine running a sanitizer build may take seconds for each.
constexpr std::chrono::milliseconds kStartLimit = 20s;
constexpr std::chrono::milliseconds kServeLimit = 15s;
constexpr std::chrono::milliseconds kSettleLimit = 30s;
constexpr std::chrono::milliseconds kAttackTime = 3s;

// Bounds on what an attack may cost. Threads: the control server runs at most 256 connection
// threads. Memory: far above what any of these attacks needs when the program keeps its
// buffers bounded, far below what an unbounded buffer fills in the time of an attack.
constexpr int kThreadsDuring = 300;
#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer's shadow and per-thread memory make every allocation of the program's
// growing history cost several times more.
constexpr double kMemoryDuringMiB = 256 * 3;
#else
constexpr double kMemoryDuringMiB = 256;
#endif
// Afterwards: the connection threads have ended; the allocator may keep some of what it was
// given.
constexpr int kThreadsAfter = 4;
constexpr int kDescriptorsAfter = 8;
constexpr double kMemoryAfterMiB = 96;

// Connections the control server keeps queued at most.
constexpr int kQueuedConnections = 4096;

// What the program may still hold once an attack is over: nothing but the connections it is
// still working through.
struct Leftover {
    bool settles = true;  // it comes to rest within kSettleLimit
    int threads = kThreadsAfter;
    int descriptors = kDescriptorsAfter;
    double memory_mib = kMemoryAfterMiB;
};

// Most connections to the stream audio sink that any build of this program should hold at once.
constexpr int kSinkConnectionsHeld = 64;
// Clients the sink serves at once; the audio it takes from them all plays, at 8000 bytes a
// second.
constexpr int kSinkClients = 16;
constexpr int kSinkBytesPerSecond = 8000;

const std::vector<std::string> kStrangers = {"127.0.0.2", "127.0.0.3"};

// A sound server for the program to play through, when the test run has one (CI starts one);
// otherwise the program runs without sound and its sink reports that it cannot play.
std::string SoundServer() {
    const char* server = std::getenv("PULSE_SERVER");
    return server != nullptr ? server : "";
}

class Attack : public ProgramTest {
protected:
    // Starts the program, checks that it serves, and measures it at rest.
    void Launch(const std::string& title, const std::string& pulse_server = "") {
        RaiseDescriptorLimit(8192);
        program_ = Start("program.log", pulse_server);
        ASSERT_TRUE(ServesChatLine(*program_, kStartLimit));
        ASSERT_TRUE(AnswersNameDatagram(*program_, kStartLimit));
        table_ = std::make_unique<FigureTable>(title);
        baseline_ = table_->Add(MeasureIdle(program_->pid(), "before"));
    }

    // The honest client still gets its line through and its datagram answered.
    void ExpectServing(const std::string& when) {
        ASSERT_TRUE(program_->Running())
            << when << ": the program " << program_->Describe() << "; its output:\n"
            << program_->Output();
        EXPECT_TRUE(ServesChatLine(*program_, kServeLimit)) << when;
        EXPECT_TRUE(AnswersNameDatagram(*program_, kServeLimit)) << when;
        ASSERT_TRUE(NoSanitizerReport(*program_)) << when;
    }

    void During(PhaseMeter& meter, const std::string& what) {
        const PhaseFigures& during = table_->Add(meter.Finish("during: " + what));
        EXPECT_LE(during.threads, baseline_.threads + kThreadsDuring) << what;
        EXPECT_LE(during.rss_mib, baseline_.rss_mib + kMemoryDuringMiB) << what;
    }

    // Lets the program settle, measures it at rest again, prints the table and checks that
    // it came back and still serves.
    void After(const Leftover& leftover = {}) {
        const bool settled =
            leftover.settles && WaitUntil(
                                    [&] {
                                        // Connections still queued inside the program hold
                                        // descriptors and get a thread each before they end.
                                        const auto now = SampleProcess(program_->pid());
                                        return now && now->threads <= baseline_.threads + 1 &&
                                               now->descriptors <= baseline_.descriptors + 2;
                                    },
                                    kSettleLimit);
        const PhaseFigures& after = table_->Add(MeasureIdle(program_->pid(), "after"));
        std::cout << table_->Render() << std::flush;
        if (leftover.settles && !settled) {
            std::cout << "(not fully at rest after " << kSettleLimit.count() << " ms)\n";
        }
        EXPECT_LE(after.threads, baseline_.threads + leftover.threads);
        EXPECT_LE(after.descriptors, baseline_.descriptors + leftover.descriptors);
        EXPECT_LE(after.rss_mib, baseline_.rss_mib + leftover.memory_mib);
        ExpectServing("after the attack");
        EXPECT_TRUE(EndsOnSigterm(*program_));
        EXPECT_TRUE(NoSanitizerReport(*program_));
    }

    std::unique_ptr<ChildProcess> program_;
    std::unique_ptr<FigureTable> table_;
    PhaseFigures baseline_;
};

TEST_F(Attack, IdleControlConnectionsFromStrangersLeaveRoomForTheHonestClient) {
    ASSERT_NO_FATAL_FAILURE(
        Launch("TCP 1001: 2000 connections from 127.0.0.2 and 127.0.0.3 that never send"));
    PhaseMeter meter(program_->pid());
    IdleCrowd crowd(kControlPort, kStrangers, 2000);
    ASSERT_EQ(crowd.failed_to_start(), 0) << std::strerror(errno);
    const int connected = crowd.Connected(5s);
    ASSERT_NO_FATAL_FAILURE(ExpectServing("with the idle crowd connected"));
    std::cout << "\nidle crowd: " << connected << " of 2000 connected and not turned away, "
              << HeldConnections(program_->pid(), kControlPort)
              << " connections held by the program\n";
    During(meter, "2000 idle");
    crowd.Release();
    After();
}

// One hostile control connection; returns 1.
std::uint64_t HostileControlClient(int index, std::uint64_t round) {
    ClientSocket s = ConnectLoopbackFrom(kStrangers[static_cast<std::size_t>(index) % 2].c_str(),
                                         kControlPort, 2s);
    if (!s) return 1;
    switch (round % 5) {
        case 0:  // a line over the limit
            s.SendAll(std::string(20000, 'A') + "\r\n");
            break;
        case 1:  // a line with no end
            s.SendAll(std::string(100 * 1024, 'B'));
            break;
        case 2:  // binary garbage, many short lines among it
            s.SendAll(RandomBytes(4096, static_cast<unsigned>(round * 31 + index)));
            break;
        case 3:  // whole lines, then a reset in the middle of the next
            s.SendAll("system1:\xff\x00 12\r\nline\r\nline\r\nhalf a li");
            s.Reset();
            return 1;
        default:  // half a line, then the orderly end
            s.SendAll("half a line without its end");
            break;
    }
    s.FinishSending();
    s.ServerClosedWithin(2s);
    return 1;
}

TEST_F(Attack, HostileControlLinesFromManyClientsAtOnce) {
    ASSERT_NO_FATAL_FAILURE(
        Launch("TCP 1001: 4 clients at once sending over-long lines, garbage and resets mid-line"));
    PhaseMeter meter(program_->pid());
    std::atomic<std::uint64_t> rounds{0};
    Flood flood(4, [&](int index, const std::atomic<bool>&) {
        return HostileControlClient(index, rounds++);
    });
    const auto started = Clock::now();
    ASSERT_NO_FATAL_FAILURE(ExpectServing("during hostile lines"));
    std::this_thread::sleep_until(started + kAttackTime);
    std::cout << "\nhostile control connections: " << flood.Stop() << "\n";
    During(meter, "hostile lines");
    After();
}

// One connection that streams chat lines as fast as the server takes them and ends; the
// number of lines sent.
std::uint64_t ChatLineStream(int index) {
    constexpr int kLines = 300;
    static const std::string lines = [] {
        std::string all;
        for (int i = 0; i < kLines; ++i) all += "a line of chat that nobody asked for\r\n";
        return all;
    }();
    ClientSocket s = ConnectLoopbackFrom(kStrangers[static_cast<std::size_t>(index) % 2].c_str(),
                                         kControlPort, 2s);
    if (!s || !s.SendAll(lines)) return 0;
    s.FinishSending();
    s.ServerClosedWithin(5s);
    return kLines;
}

TEST_F(Attack, ChatLinesStreamedByManyClientsAtOnce) {
    ASSERT_NO_FATAL_FAILURE(
        Launch("TCP 1001: 8 clients at once streaming chat lines as fast as they are taken"));
    PhaseMeter meter(program_->pid());
    Flood flood(8, [](int index, const std::atomic<bool>&) { return ChatLineStream(index); });
    const auto started = Clock::now();
    ASSERT_NO_FATAL_FAILURE(ExpectServing("during the chat line flood"));
    std::this_thread::sleep_until(started + kAttackTime);
    std::cout << "\nchat lines streamed: " << flood.Stop() << "\n";
    During(meter, "chat line flood");
    After();
}

// Connections that bring their lines at once pass every check for idle ones and queue up in
// front of the honest client, each taking its time in the window. Disabled until the control
// server keeps one address from filling its queue: today the honest client waits minutes.
TEST_F(Attack, ChatLinesFiredAndForgottenLeaveRoomForTheHonestClient) {
    ASSERT_NO_FATAL_FAILURE(
        Launch("TCP 1001: 4 clients firing connections of 300 chat lines each without waiting"));
    PhaseMeter meter(program_->pid());
    std::string lines;
    for (int i = 0; i < 300; ++i) lines += "a line of chat that nobody asked for\r\n";
    Flood flood(4, [&](int index, const std::atomic<bool>&) -> std::uint64_t {
        ClientSocket s = ConnectLoopbackFrom(kStrangers[index % 2].c_str(), kControlPort, 2s);
        return s && s.SendAll(lines) ? 1 : 0;
    });
    std::this_thread::sleep_for(kAttackTime);
    std::cout << "\nconnections fired: " << flood.Stop() << "\n";
    ASSERT_NO_FATAL_FAILURE(ExpectServing("after the connections were fired"));
    During(meter, "fired chat lines");
    // Thousands of those connections are taken in, and the window shows every line they bring
    // at its own pace: that takes minutes, so the program is still busy with them afterwards.
    // It must not hold more than its queue and its connection threads allow; its memory is
    // that of a history still growing with those lines (several times more under a sanitizer).
    After({.settles = false,
           .threads = kThreadsDuring,
           .descriptors = kQueuedConnections + kThreadsDuring + kDescriptorsAfter,
           .memory_mib = kMemoryDuringMiB});
}

TEST_F(Attack, TerminationSignalEndsTheProgramWhileABurstOfChatLinesIsShown) {
    ASSERT_NO_FATAL_FAILURE(
        Launch("TCP 1001: 64 connections with 2000 chat lines each, then SIGTERM"));
    PhaseMeter meter(program_->pid());
    std::string lines;
    for (int i = 0; i < 2000; ++i) lines += "a line of chat that nobody asked for\r\n";
    // Every connection thread then has lines waiting and hands them to the window one after
    // another, for far longer than this test lasts.
    std::vector<ClientSocket> burst;
    for (int i = 0; i < 64; ++i) {
        burst.push_back(ConnectLoopbackFrom(kStrangers[i % 2].c_str(), kControlPort, 5s));
        if (burst.back()) burst.back().SendAll(lines);
    }
    ASSERT_NO_FATAL_FAILURE(ExpectServing("while the burst is being shown"));
    table_->Add(meter.Finish("during: burst being shown"));
    std::cout << table_->Render() << std::flush;
    // The window's event loop has to get its turn between the lines to see the signal.
    EXPECT_TRUE(EndsOnSigterm(*program_));
    EXPECT_TRUE(NoSanitizerReport(*program_));
}

// Sends a datagram without waiting for room for long; returns 1 when it went out.
std::uint64_t SendDatagram(RawUdp& from, const std::string& bytes) {
    sockaddr_in to = RawUdp::Address("127.0.0.1", kFilePort);
    for (int tries = 0; tries < 20; ++tries) {
        const ssize_t n = sendto(from.fd(), bytes.data(), bytes.size(), MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&to), sizeof to);
        if (n >= 0) return 1;
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOBUFS) return 0;
        pollfd p{from.fd(), POLLOUT, 0};
        poll(&p, 1, 5);
    }
    return 0;
}

// A datagram carrying a marker of the file exchange among garbage.
std::string MarkerWithGarbage(std::uint64_t round) {
    const std::string noise = RandomBytes(round % 700, static_cast<unsigned>(round));
    switch (round % 7) {
        case 0:
            return "Send file:File Name:" + noise;
        case 1:
            return "Send File:File Length:" + noise;
        case 2:
            return "Send File:File Length:" + std::to_string(round * 7919);
        case 3:
            return "Send File:File End!";
        case 4:
            return noise + "Send File:File End!" + noise;
        case 5:
            return noise + "Send file:File Name:" + noise + "Send File:File Length:-1";
        default:
            return "Send File:File Length:99999999999999999999" + noise;
    }
}

TEST_F(Attack, FilePortFloodOfRandomDatagramsAndMarkers) {
    ASSERT_NO_FATAL_FAILURE(
        Launch("UDP 8090: random datagrams from 127.0.0.2, markers with garbage from 127.0.0.3"));
    RawUdp random_source("127.0.0.2");
    RawUdp marker_source("127.0.0.3");
    ASSERT_TRUE(random_source.ok() && marker_source.ok());
    const std::string pool = RandomBytes(70000, 8090);
    PhaseMeter meter(program_->pid());
    std::atomic<std::uint64_t> sent_random{0};
    std::atomic<std::uint64_t> sent_markers{0};
    Flood flood(2, [&](int index, const std::atomic<bool>&) -> std::uint64_t {
        static thread_local std::uint64_t round = 0;
        ++round;
        if (index == 0) {
            // Mostly what fits the program's buffer, now and then more than that.
            const std::size_t size = round % 16 == 0 ? 8193 + round % 60000 : 1 + round % 8192;
            const std::string bytes = pool.substr(round % 1024, size);
            const std::uint64_t n = SendDatagram(random_source, bytes);
            sent_random += n;
            return n;
        }
        const std::uint64_t n = SendDatagram(marker_source, MarkerWithGarbage(round));
        sent_markers += n;
        return n;
    });
    const auto started = Clock::now();
    ASSERT_NO_FATAL_FAILURE(ExpectServing("during the datagram flood"));
    std::this_thread::sleep_until(started + kAttackTime);
    flood.Stop();
    std::cout << "\ndatagrams sent: " << sent_random.load() << " random, " << sent_markers.load()
              << " with markers\n";
    During(meter, "datagram flood");
    After();
}

// Writes as much as the connection takes within time; the number of bytes written.
std::uint64_t Blast(ClientSocket& s, std::chrono::milliseconds time) {
    const std::string block = RandomBytes(64 * 1024, 9002);
    const auto deadline = Clock::now() + time;
    std::uint64_t total = 0;
    while (Clock::now() < deadline) {
        const ssize_t n = send(s.fd(), block.data(), block.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            total += static_cast<std::uint64_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) break;
        pollfd p{s.fd(), POLLOUT, 0};
        poll(&p, 1, 20);
    }
    return total;
}

std::string SoundNote(const std::string& pulse_server) {
    return pulse_server.empty() ? " (no sound device)" : " (through a sound server)";
}

TEST_F(Attack, SinkPortClientSendingAsFastAsItCan) {
    const std::string sound = SoundServer();
    ASSERT_NO_FATAL_FAILURE(
        Launch("TCP 9002: one client sending as fast as it can" + SoundNote(sound), sound));
    PhaseMeter meter(program_->pid());
    ClientSocket fast = ConnectLoopbackFrom("127.0.0.2", kSinkPort, kServeLimit);
    ASSERT_TRUE(fast);
    std::uint64_t sent = 0;
    std::thread blaster([&] { sent = Blast(fast, kAttackTime); });
    ASSERT_NO_FATAL_FAILURE(ExpectServing("while a client floods the sink"));
    blaster.join();
    std::cout << "\nsink client wrote " << sent / (1024 * 1024) << " MiB in " << kAttackTime.count()
              << " ms\n";
    During(meter, "fast sink client");
    fast = ClientSocket();
    After();
}

TEST_F(Attack, SinkPortCrowdOfClients) {
    const std::string sound = SoundServer();
    ASSERT_NO_FATAL_FAILURE(
        Launch("TCP 9002: 500 clients from 127.0.0.2 and 127.0.0.3, 16 KiB each" + SoundNote(sound),
               sound));
    PhaseMeter meter(program_->pid());
    IdleCrowd crowd(kSinkPort, kStrangers, 500);
    ASSERT_EQ(crowd.failed_to_start(), 0);
    const int connected = crowd.Connected(5s);
    crowd.SendOnEach(RandomBytes(16 * 1024, 500));
    ASSERT_NO_FATAL_FAILURE(ExpectServing("with the sink crowd connected"));
    // Connections the system completed on the program's behalf may wait in its listen queue
    // until the program takes them on (and turns them away).
    int held = 0;
    WaitUntil(
        [&] {
            held = HeldConnections(program_->pid(), kSinkPort);
            return held <= kSinkConnectionsHeld;
        },
        kSettleLimit);
    std::cout << "\nsink crowd: " << connected << " of 500 connected, " << held
              << " connections held by the program\n";
    EXPECT_LE(held, kSinkConnectionsHeld);
    During(meter, "500 sink clients");
    crowd.Release();

    // The sink takes clients again once the crowd has gone. Every byte the crowd got in plays
    // first: with a sound device, the connections holding it stay until it has.
    const auto backlog =
        sound.empty() ? 0s : std::chrono::seconds(kSinkClients * 16 * 1024 / kSinkBytesPerSecond);
    ClientSocket next;
    EXPECT_TRUE(WaitUntil(
        [&] {
            next = ConnectLoopbackFrom("127.0.0.1", kSinkPort, 2s);
            return next && next.SendAll(std::string(800, '\x80')) &&
                   !next.ServerClosedWithin(300ms);
        },
        kServeLimit + backlog))
        << "the sink no longer keeps a client after the crowd";
    next = ClientSocket();
    After();
}

// One stranger on the session port: either TLS that never comes, or bytes that are no TLS.
std::uint64_t HostileSessionClient(int index, std::uint64_t round) {
    ClientSocket s = ConnectLoopbackFrom(kStrangers[static_cast<std::size_t>(index) % 2].c_str(),
                                         kSessionPort, 2s);
    if (!s) return 1;
    if (round % 2 == 0) s.SendAll(RandomBytes(2048, static_cast<unsigned>(round * 17 + index)));
    s.FinishSending();
    s.ServerClosedWithin(2s);
    return 1;
}

TEST_F(Attack, SessionPortCrowdAndHandshakeFloodLeaveRoomForTheRealPeer) {
    ASSERT_NO_FATAL_FAILURE(Launch(
        "TCP 9010: 500 silent connections and a flood of garbage handshakes from 127.0.0.2 and "
        "127.0.0.3"));
    PhaseMeter meter(program_->pid());
    IdleCrowd crowd(kSessionPort, kStrangers, 500);
    ASSERT_EQ(crowd.failed_to_start(), 0) << std::strerror(errno);
    const int connected = crowd.Connected(5s);
    std::atomic<std::uint64_t> rounds{0};
    Flood flood(4, [&](int index, const std::atomic<bool>&) {
        return HostileSessionClient(index, rounds++);
    });
    ASSERT_NO_FATAL_FAILURE(ExpectServing("with the session port under attack"));

    // The real peer, from an address of its own, still opens a session.
    const std::filesystem::path folder = logs_.path() / "peer-identity";
    std::string error;
    std::optional<Identity> identity = Identity::LoadOrCreate(folder.string(), error);
    ASSERT_TRUE(identity) << error;
    session::SessionOptions options;
    options.bind_address = "127.0.0.1";
    options.own_name = "peer@test";
    options.program = "Quorell test";
    {
        session::SessionService dialler(*identity, options);
        const auto address = net::Address::Parse("127.0.0.1");
        std::shared_ptr<session::Session> opened;
        ASSERT_TRUE(WaitUntil(
            [&] {
                opened = dialler.Dial(*address, kSessionPort, error);
                return opened != nullptr;
            },
            kServeLimit))
            << error;
        EXPECT_EQ(opened->Info().code.size(), 9U);
        EXPECT_TRUE(opened->Send(session::Chat{"still here"}));
        opened->Close();
    }
    std::this_thread::sleep_for(kAttackTime);
    std::cout << "\nsession crowd: " << connected << " of 500 connected, "
              << HeldConnections(program_->pid(), kSessionPort)
              << " connections held by the program; hostile handshakes: " << flood.Stop() << "\n";
    During(meter, "session port attack");
    crowd.Release();
    After();
}

}  // namespace
}  // namespace quorell::test
