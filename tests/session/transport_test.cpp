// Opening sessions both ways on loopback, talking in them and their end.

#include <atomic>
#include <regex>
#include <thread>

#include "transport_support.h"

namespace quorell::session::test {
namespace {

// Alice (127.0.0.2) dials Bob (listening on 127.0.0.1).
class TwoPeers : public ::testing::Test {
protected:
    Peer alice{"127.0.0.2", "alice@laptop"};
    Peer bob{"127.0.0.1", "bob@desk"};
    std::uint16_t bob_port = bob.Listen();

    std::shared_ptr<Session> Dial(Peer& from, std::uint16_t port) {
        std::string error;
        auto s = from.service->Dial(Ip("127.0.0.1"), port, error);
        EXPECT_TRUE(s) << error;
        return s;
    }
};

TEST_F(TwoPeers, OpenedBothWaysWithCrosswiseInfoAndOneCode) {
    auto dialled = Dial(alice, bob_port);
    ASSERT_TRUE(dialled);
    auto accepted = bob.inbox.Wait();
    ASSERT_TRUE(accepted);
    const SessionInfo& a = dialled->Info();
    const SessionInfo& b = accepted->Info();
    EXPECT_TRUE(a.dialled);
    EXPECT_FALSE(b.dialled);
    EXPECT_EQ(a.own_fingerprint, alice.identity->GetFingerprint());
    EXPECT_EQ(a.peer_fingerprint, bob.identity->GetFingerprint());
    EXPECT_EQ(b.peer_fingerprint, alice.identity->GetFingerprint());
    EXPECT_EQ(a.peer_name, "bob@desk");
    EXPECT_EQ(b.peer_name, "alice@laptop");
    EXPECT_EQ(a.peer_program, "Quorell test");
    EXPECT_EQ(a.peer_session_port, bob_port);
    EXPECT_EQ(b.peer_session_port, 0);  // alice does not listen
    EXPECT_EQ(b.peer_address, Ip("127.0.0.2"));
    EXPECT_EQ(a.agreement, b.agreement);
    EXPECT_TRUE(a.agreement.Has("chat") && a.agreement.Has("events"));
    EXPECT_TRUE(std::regex_match(a.code, std::regex("[0-9]{4} [0-9]{4}"))) << a.code;
    EXPECT_EQ(a.code, b.code);

    // A second session between the same two keys shows another code.
    auto again = Dial(alice, bob_port);
    ASSERT_TRUE(again);
    auto accepted_again = bob.inbox.Wait();
    ASSERT_TRUE(accepted_again);
    EXPECT_EQ(again->Info().code, accepted_again->Info().code);
    EXPECT_NE(again->Info().code, a.code);
}

TEST_F(TwoPeers, ChatAndEventsBothWaysAndWhatCameBeforeStartWaits) {
    auto dialled = Dial(alice, bob_port);
    ASSERT_TRUE(dialled);
    auto accepted = bob.inbox.Wait();
    ASSERT_TRUE(accepted);
    auto at_alice = std::make_shared<Recorder>();
    auto at_bob = std::make_shared<Recorder>();

    // Bob talks before Alice has started her session.
    ASSERT_TRUE(accepted->Send(Chat{"early"}));
    std::this_thread::sleep_for(50ms);
    dialled->Start(at_alice);
    accepted->Start(at_bob);
    ASSERT_TRUE(dialled->Send(Chat{"hello, \xE4\xB8\x96\xE7\x95\x8C"}));
    ASSERT_TRUE(dialled->Send(Event{EventCode::kVideoStarted, 6000}));
    ASSERT_TRUE(accepted->Send(Event{EventCode::kVoiceStopped, std::nullopt}));
    ASSERT_TRUE(at_bob->WaitMessages(2));
    ASSERT_TRUE(at_alice->WaitMessages(2));
    EXPECT_EQ(at_bob->messages(), (std::vector<Message>{Chat{"hello, \xE4\xB8\x96\xE7\x95\x8C"},
                                                        Event{EventCode::kVideoStarted, 6000}}));
    EXPECT_EQ(at_alice->messages(),
              (std::vector<Message>{Chat{"early"}, Event{EventCode::kVoiceStopped, {}}}));

    // What the session keeps to itself, or cannot be encoded, is refused.
    EXPECT_FALSE(dialled->Send(Hello{}));
    EXPECT_FALSE(dialled->Send(Bye{}));
    EXPECT_FALSE(dialled->Send(Chat{"\xFF"}));

    dialled->Close();
    EXPECT_EQ(at_alice->WaitClosed(0ms), Ended::kClosedHere);  // told before Close returned
    EXPECT_EQ(at_bob->WaitClosed(), Ended::kPeerClosed);
    EXPECT_FALSE(dialled->IsOpen());
    EXPECT_FALSE(dialled->Send(Chat{"late"}));
    dialled->Close();
    EXPECT_EQ(at_alice->closed_count(), 1);
    EXPECT_EQ(at_bob->closed_count(), 1);
}

TEST_F(TwoPeers, FileMessagesTravelOnlyWhenBothNameFile1) {
    // Without the capability (these two name only chat and events) they are refused.
    auto plain = Dial(alice, bob_port);
    ASSERT_TRUE(plain);
    EXPECT_FALSE(plain->Send(FileMessage{OfferEnd{1}}));
    EXPECT_TRUE(plain->Send(Chat{"still fine"}));

    SessionOptions with_files = Peer::Fast();
    with_files.capabilities = {"chat", "events", kFileCapability};
    Peer carol{"127.0.0.3", "carol@nas", with_files};
    Peer dave{"127.0.0.1", "dave@pc", with_files};
    const std::uint16_t dave_port = dave.Listen();
    auto dialled = Dial(carol, dave_port);
    ASSERT_TRUE(dialled);
    auto accepted = dave.inbox.Wait();
    ASSERT_TRUE(accepted);
    EXPECT_TRUE(dialled->Info().agreement.Has(kFileCapability));
    auto at_dave = std::make_shared<Recorder>();
    accepted->Start(at_dave);
    const std::vector<Message> sent{
        FileMessage{OfferBegin{1, 1, kMaxDataBytes}},
        FileMessage{OfferEntries{1, 0, {{EntryKind::kFile, "a.bin", kMaxDataBytes}}}},
        FileMessage{OfferEnd{1}}, FileMessage{Data{1, 0, 0, std::string(kMaxDataBytes, '\xA5')}},
        FileMessage{FileDone{1, 0, Sha256{9}}}};
    for (const auto& m : sent) ASSERT_TRUE(dialled->Send(m));
    ASSERT_TRUE(at_dave->WaitMessages(sent.size()));
    EXPECT_EQ(at_dave->messages(), sent);
}

TEST_F(TwoPeers, CallMessagesTravelOnlyWhenBothNameCall1) {
    // Alice names call/1, Bob does not: neither may send them.
    SessionOptions with_calls = Peer::Fast();
    with_calls.capabilities = {"chat", "events", kCallCapability};
    Peer carol{"127.0.0.3", "carol@nas", with_calls};
    auto half = Dial(carol, bob_port);
    ASSERT_TRUE(half);
    auto at_bob = bob.inbox.Wait();
    ASSERT_TRUE(at_bob);
    EXPECT_FALSE(half->Info().agreement.Has(kCallCapability));
    EXPECT_FALSE(half->Send(CallMessage{CallInvite{1, CallMedia::kVoice}}));
    EXPECT_FALSE(at_bob->Send(CallMessage{CallStop{1, ""}}));
    EXPECT_TRUE(half->Send(Chat{"still fine"}));

    Peer dave{"127.0.0.1", "dave@pc", with_calls};
    const std::uint16_t dave_port = dave.Listen();
    auto dialled = Dial(carol, dave_port);
    ASSERT_TRUE(dialled);
    auto accepted = dave.inbox.Wait();
    ASSERT_TRUE(accepted);
    auto at_dave = std::make_shared<Recorder>();
    accepted->Start(at_dave);
    const std::vector<Message> sent{
        CallMessage{CallInvite{7, CallMedia::kVideo}},
        CallMessage{CallDescription{7, SdpKind::kOffer, std::string(kMaxSdpBytes, 's')}},
        CallMessage{CallCandidate{7, 1, "candidate:1 1 UDP 1 127.0.0.3 5000 typ host"}},
        CallMessage{CallStop{7, "hung up"}}};
    for (const auto& m : sent) ASSERT_TRUE(dialled->Send(m));
    EXPECT_FALSE(dialled->Send(CallMessage{CallCandidate{7, kMaxMline + 1, "candidate:x"}}));
    ASSERT_TRUE(at_dave->WaitMessages(sent.size()));
    EXPECT_EQ(at_dave->messages(), sent);
}

TEST_F(TwoPeers, ASessionThatEndedBeforeStartSaysSoOnStart) {
    auto dialled = Dial(alice, bob_port);
    ASSERT_TRUE(dialled);
    auto accepted = bob.inbox.Wait();
    ASSERT_TRUE(accepted);
    ASSERT_TRUE(dialled->Send(Chat{"last words"}));
    dialled->Close(ByeReason::kShuttingDown);
    std::this_thread::sleep_for(100ms);
    auto at_bob = std::make_shared<Recorder>();
    accepted->Start(at_bob);
    EXPECT_EQ(at_bob->WaitClosed(), Ended::kPeerClosed);
    EXPECT_EQ(at_bob->messages(), std::vector<Message>{Chat{"last words"}});
}

TEST_F(TwoPeers, KeepAlivePingsHoldAQuietSessionAndSilenceEndsOne) {
    SessionOptions quick = Peer::Fast();
    quick.keepalive = 100ms;
    quick.dead_after = 400ms;
    Peer carol{"127.0.0.3", "carol", quick};
    Peer dave{"127.0.0.1", "dave", quick};
    const std::uint16_t port = dave.Listen();
    std::string error;
    auto dialled = carol.service->Dial(Ip("127.0.0.1"), port, error);
    ASSERT_TRUE(dialled) << error;
    auto accepted = dave.inbox.Wait();
    ASSERT_TRUE(accepted);
    auto at_carol = std::make_shared<Recorder>();
    dialled->Start(at_carol);
    accepted->Start(std::make_shared<Recorder>());
    EXPECT_FALSE(at_carol->WaitClosed(1000ms)) << at_carol->detail();
    EXPECT_TRUE(dialled->IsOpen() && accepted->IsOpen());

    // A peer that opens and then never reads nor answers is given up after dead_after.
    Peer erin{"127.0.0.1", "erin", quick};
    const std::uint16_t erin_port = erin.Listen();
    HandPeer mute(*carol.identity, erin_port);
    ASSERT_TRUE(mute.opened()) << mute.error();
    auto silent = erin.inbox.Wait();
    ASSERT_TRUE(silent);
    auto at_erin = std::make_shared<Recorder>();
    const auto started = Clock::now();
    silent->Start(at_erin);
    EXPECT_EQ(at_erin->WaitClosed(2000ms), Ended::kLost);
    EXPECT_LT(Clock::now() - started, 1500ms);
}

TEST_F(TwoPeers, SendRefusesBeyondTheQueueWhenThePeerDoesNotRead) {
    // The idle peer answers no Ping: filling the queue must not take long enough, in a slow
    // (sanitized) build, for the session to end as silent first.
    SessionOptions patient = Peer::Fast();
    patient.keepalive = 60s;
    patient.dead_after = 120s;
    Peer carol{"127.0.0.1", "carol@nas", patient};
    HandPeer idle(*alice.identity, carol.Listen());
    ASSERT_TRUE(idle.opened()) << idle.error();
    auto accepted = carol.inbox.Wait();
    ASSERT_TRUE(accepted);
    accepted->Start(std::make_shared<Recorder>());
    const Chat big{std::string(kMaxChatBytes, 'q')};
    std::size_t sent = 0;
    while (sent < 64u * 1024 * 1024 && accepted->Send(big)) sent += kMaxChatBytes;
    EXPECT_LT(sent, 40u * 1024 * 1024);  // the queue plus what the sockets buffer
    EXPECT_GE(sent, 16u * 1024 * 1024 - kMaxChatBytes);
    accepted->Close();
}

TEST_F(TwoPeers, DialFailsQuicklyWhenNobodyListensOrThePeerNeverSpeaks) {
    std::string error;
    auto started = Clock::now();
    EXPECT_FALSE(alice.service->Dial(Ip("127.0.0.1"), quorell::test::UnusedPort(), error));
    EXPECT_LT(Clock::now() - started, 200ms);
    EXPECT_FALSE(error.empty());

    int port = 0;
    UniqueFd plain(quorell::test::ListenLoopback(4, &port));  // accepted by the kernel, never read
    ASSERT_TRUE(plain.valid());
    started = Clock::now();
    error.clear();
    EXPECT_FALSE(alice.service->Dial(Ip("127.0.0.1"), static_cast<std::uint16_t>(port), error));
    const auto took = Clock::now() - started;
    EXPECT_GE(took, 900ms);
    EXPECT_LT(took, 1600ms);  // the connect and handshake time-outs of Peer::Fast
    EXPECT_NE(error.find("timed out"), std::string::npos) << error;
}

TEST_F(TwoPeers, StopEndsOpeningsInProgressAndKeepsOpenSessions) {
    auto dialled = Dial(alice, bob_port);
    ASSERT_TRUE(dialled);
    auto accepted = bob.inbox.Wait();
    ASSERT_TRUE(accepted);
    quorell::test::ClientSocket stalled = quorell::test::ConnectLoopback(bob_port, 500ms);
    ASSERT_TRUE(stalled);
    std::this_thread::sleep_for(50ms);
    const auto started = Clock::now();
    bob.service->Stop();
    EXPECT_LT(Clock::now() - started, 300ms);
    EXPECT_TRUE(stalled.ServerClosedWithin(500ms));
    EXPECT_FALSE(quorell::test::PortAccepts(bob_port));
    auto at_bob = std::make_shared<Recorder>();
    accepted->Start(at_bob);
    ASSERT_TRUE(dialled->Send(Chat{"still here"}));
    EXPECT_TRUE(at_bob->WaitMessages(1));
}

// A peer that does not read makes SendWaiting wait and give up after its time; once the peer
// reads again it goes on, and a Close ends the wait at once.
TEST(SendWaiting, WaitsForRoomInsteadOfFailingAndEndsWithTheSession) {
    SessionOptions with_files = Peer::Fast();
    with_files.capabilities = {"chat", "events", kFileCapability};
    Peer carol{"127.0.0.3", "carol@nas", with_files};
    Peer dave{"127.0.0.1", "dave@pc", with_files};
    const std::uint16_t port = dave.Listen();
    const Message chunk = FileMessage{Data{1, 0, 0, std::string(kMaxDataBytes, '\x5A')}};
    std::string error;
    for (int round = 0; round < 2; ++round) {
        auto dialled = carol.service->Dial(Ip("127.0.0.1"), port, error);
        ASSERT_TRUE(dialled) << error;
        auto accepted = dave.inbox.Wait();
        ASSERT_TRUE(accepted);
        // Dave's handler is not there yet: after 16 MiB held his side stops reading.
        std::size_t queued = 0;
        while (queued < 400 && dialled->SendWaiting(chunk, 300ms)) ++queued;
        ASSERT_LT(queued, 400u) << "the queue never filled";
        if (round == 0) {
            auto at_dave = std::make_shared<Recorder>();
            accepted->Start(at_dave);
            EXPECT_TRUE(dialled->SendWaiting(chunk, 20s));
            EXPECT_TRUE(at_dave->WaitMessages(queued + 1, 20s));
        } else {
            std::atomic<bool> sent{true};
            const auto began = std::chrono::steady_clock::now();
            std::thread waiting([&] { sent = dialled->SendWaiting(chunk, 60s); });
            dialled->Close();
            waiting.join();
            EXPECT_FALSE(sent);
            EXPECT_LT(std::chrono::steady_clock::now() - began, 30s);
        }
    }
}

}  // namespace
}  // namespace quorell::session::test
