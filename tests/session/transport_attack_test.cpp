// Hostile peers: floods of silent connections, no certificate, no TLS, malformed messages after
// the opening, a cheating reveal and a man in the middle.

#include <openssl/err.h>
#include <sys/socket.h>

#include <thread>

#include "transport_support.h"

namespace quorell::session::test {
namespace {

class Attacked : public ::testing::Test {
protected:
    Peer alice{"127.0.0.2", "alice@laptop"};
    Peer bob{"127.0.0.1", "bob@desk", Limited()};
    std::uint16_t bob_port = bob.Listen();

    static SessionOptions Limited() {
        SessionOptions o = Peer::Fast();
        o.handshake_timeout = 3000ms;  // longer than the test: the flood stays pending
        o.max_pending = 6;
        o.max_pending_per_address = 3;
        return o;
    }
};

TEST_F(Attacked, SilentFloodFromOneAddressDoesNotLockOutAnother) {
    std::vector<quorell::test::ClientSocket> flood;
    for (int i = 0; i < 20; ++i) {
        flood.push_back(quorell::test::StartConnectLoopback(bob_port, "127.0.0.1", "127.0.0.3"));
        ASSERT_TRUE(flood.back() && quorell::test::ConnectCompleted(flood.back().fd(), 500ms));
    }
    std::this_thread::sleep_for(100ms);
    int closed = 0;
    for (auto& s : flood) closed += s.ServerClosedWithin(10ms) ? 1 : 0;
    EXPECT_EQ(closed, 20 - 3);  // beyond its share, each was closed at once

    const auto started = Clock::now();
    std::string error;
    auto s = alice.service->Dial(Ip("127.0.0.1"), bob_port, error);
    EXPECT_TRUE(s) << error;
    EXPECT_LT(Clock::now() - started, 500ms);
    EXPECT_TRUE(bob.inbox.Wait());

    // The bound in all: with a second address filling its share too, the next is closed.
    for (int i = 0; i < 3; ++i) {
        flood.push_back(quorell::test::StartConnectLoopback(bob_port, "127.0.0.1", "127.0.0.1"));
        ASSERT_TRUE(quorell::test::ConnectCompleted(flood.back().fd(), 500ms));
    }
    std::this_thread::sleep_for(100ms);
    auto one_more = quorell::test::StartConnectLoopback(bob_port, "127.0.0.1", "127.0.0.2");
    ASSERT_TRUE(quorell::test::ConnectCompleted(one_more.fd(), 500ms));
    EXPECT_TRUE(one_more.ServerClosedWithin(200ms));
    EXPECT_FALSE(flood.back().ServerClosedWithin(10ms));
}

TEST_F(Attacked, OpeningsWithoutCertificateTlsOrTheExchangeAreRefused) {
    // A TLS client without a certificate.
    SslCtxPtr bare(SSL_CTX_new(TLS_client_method()));
    SSL_CTX_set_verify(bare.get(), SSL_VERIFY_NONE, nullptr);
    quorell::test::ClientSocket socket = quorell::test::ConnectLoopback(bob_port, 500ms);
    ASSERT_TRUE(socket);
    SslPtr ssl(SSL_new(bare.get()));
    SSL_set_fd(ssl.get(), socket.fd());
    SSL_connect(ssl.get());  // TLS 1.3: the client thinks it is done before the server checks
    char byte = 0;
    EXPECT_LE(SSL_read(ssl.get(), &byte, 1), 0);
    ERR_clear_error();

    // Bytes that are not TLS at all.
    quorell::test::ClientSocket garbage = quorell::test::ConnectLoopback(bob_port, 500ms);
    ASSERT_TRUE(garbage.SendAll("GET / HTTP/1.0\r\n\r\n" + std::string(300, '\x16')));
    EXPECT_TRUE(garbage.ServerClosedWithin(500ms));

    // A session opened with the wrong nonce revealed.
    HandPeer cheat(*alice.identity, bob_port, "127.0.0.2", /*reveal_wrong_nonce=*/true);
    ASSERT_TRUE(cheat.opened());  // the dialling side is done once it has revealed
    const auto error = cheat.ReadError();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, ErrorCode::kVerificationFailed);

    // A proper TLS client with a certificate that skips the Commit.
    std::string ctx_error;
    SslCtxPtr own = MakeTlsContext(false, *alice.identity, ctx_error);
    quorell::test::ClientSocket eager = quorell::test::ConnectLoopback(bob_port, 500ms);
    ASSERT_TRUE(own && eager);
    SslPtr tls(SSL_new(own.get()));
    SSL_set_fd(tls.get(), eager.fd());
    ASSERT_EQ(SSL_connect(tls.get()), 1);
    const std::string early = Encode(Hello{1, "x", {"chat"}, 0, "eager"}) + Encode(Chat{"hi"});
    ASSERT_EQ(SSL_write(tls.get(), early.data(), static_cast<int>(early.size())),
              static_cast<int>(early.size()));
    MessageReader reader;
    std::vector<Message> got;
    char buffer[4096];
    for (int r; got.size() < 3 && (r = SSL_read(tls.get(), buffer, sizeof buffer)) > 0;)
        reader.Feed(std::string_view(buffer, static_cast<std::size_t>(r)), got);
    ASSERT_GE(got.size(), 2u);  // Bob's Hello, then the refusal
    ASSERT_TRUE(std::holds_alternative<Error>(got[1]));
    EXPECT_EQ(std::get<Error>(got[1]).code, ErrorCode::kVerificationFailed);

    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(bob.inbox.count(), 0u);
}

TEST_F(Attacked, MalformedMessagesAfterTheOpeningEndTheSessionWithTheirError) {
    struct Case {
        const char* what;
        std::string bytes;
        ErrorCode code;
    };
    const Case cases[] = {
        {"a header declaring more than 1 MiB", RawMessage(2, 0, "", kMaxPayload + 1),
         ErrorCode::kTooLarge},
        {"an unknown must-understand type", RawMessage(900, kFlagMustUnderstand, "x", 1),
         ErrorCode::kMustUnderstand},
        {"a text that is not UTF-8", RawMessage(2, 0, std::string("\0\0\0\1\xFF", 5), 5),
         ErrorCode::kBadUtf8},
        {"a second Hello", Encode(Hello{1, "x", {}, 0, "again"}), ErrorCode::kHelloExpected},
        {"a second Commit", Encode(Commit{}), ErrorCode::kMalformed},
    };
    for (const auto& c : cases) {
        HandPeer hand(*alice.identity, bob_port);
        ASSERT_TRUE(hand.opened()) << c.what << ": " << hand.error();
        auto accepted = bob.inbox.Wait();
        ASSERT_TRUE(accepted) << c.what;
        auto at_bob = std::make_shared<Recorder>();
        accepted->Start(at_bob);
        ASSERT_TRUE(hand.Write(Encode(Chat{"before"}) + c.bytes + Encode(Chat{"after"})));
        const auto error = hand.ReadError();
        ASSERT_TRUE(error) << c.what;
        EXPECT_EQ(error->code, c.code) << c.what;
        EXPECT_EQ(at_bob->WaitClosed(), Ended::kProtocolError) << c.what;
        EXPECT_EQ(at_bob->messages(), std::vector<Message>{Chat{"before"}}) << c.what;
    }
}

TEST_F(Attacked, UnknownOptionalTypesAreSkippedAndPeerErrorsEndTheSession) {
    HandPeer hand(*alice.identity, bob_port);
    ASSERT_TRUE(hand.opened()) << hand.error();
    auto accepted = bob.inbox.Wait();
    ASSERT_TRUE(accepted);
    auto at_bob = std::make_shared<Recorder>();
    accepted->Start(at_bob);
    ASSERT_TRUE(hand.Write(RawMessage(0x0150, 0, std::string(5000, 'z'), 5000) + Encode(Ping{77}) +
                           Encode(Chat{"next"})));
    ASSERT_TRUE(at_bob->WaitMessages(1));
    EXPECT_EQ(at_bob->messages(), std::vector<Message>{Chat{"next"}});
    auto pong = hand.Read();
    ASSERT_TRUE(pong);
    EXPECT_EQ(*pong, Message{Pong{77}});
    ASSERT_TRUE(hand.Write(Encode(Error{ErrorCode::kNoCommonVersion, "sorry"})));
    EXPECT_EQ(at_bob->WaitClosed(), Ended::kPeerError);
    EXPECT_EQ(at_bob->detail(), "sorry");
}

TEST(AttackedWithFiles, FileMessagesFromAPeerThatDidNotNameFile1AreNotDelivered) {
    SessionOptions with_files = Peer::Fast();
    with_files.capabilities = {"chat", "events", kFileCapability};
    Peer alice{"127.0.0.2", "alice@laptop"};
    Peer bob{"127.0.0.1", "bob@desk", with_files};
    HandPeer hand(*alice.identity, bob.Listen());  // names chat and events only
    ASSERT_TRUE(hand.opened()) << hand.error();
    auto accepted = bob.inbox.Wait();
    ASSERT_TRUE(accepted);
    auto at_bob = std::make_shared<Recorder>();
    accepted->Start(at_bob);
    ASSERT_TRUE(hand.Write(Encode(Data{1, 0, 0, std::string(1000, 'd')}) + Encode(Chat{"next"})));
    ASSERT_TRUE(at_bob->WaitMessages(1));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(at_bob->messages(), std::vector<Message>{Chat{"next"}});
    EXPECT_TRUE(accepted->IsOpen());
}

TEST(AttackedWithCalls, CallMessagesFromAPeerThatDidNotNameCall1AreNotDelivered) {
    SessionOptions with_calls = Peer::Fast();
    with_calls.capabilities = {"chat", "events", kCallCapability};
    Peer alice{"127.0.0.2", "alice@laptop"};
    Peer bob{"127.0.0.1", "bob@desk", with_calls};
    HandPeer hand(*alice.identity, bob.Listen());  // names chat and events only
    ASSERT_TRUE(hand.opened()) << hand.error();
    auto accepted = bob.inbox.Wait();
    ASSERT_TRUE(accepted);
    auto at_bob = std::make_shared<Recorder>();
    accepted->Start(at_bob);
    ASSERT_TRUE(hand.Write(Encode(CallInvite{1, CallMedia::kVoice}) +
                           Encode(CallDescription{1, SdpKind::kOffer, "v=0"}) +
                           Encode(Chat{"next"})));
    ASSERT_TRUE(at_bob->WaitMessages(1));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(at_bob->messages(), std::vector<Message>{Chat{"next"}});
    EXPECT_TRUE(accepted->IsOpen());
}

// Mallory sits between Alice and Bob with her own identity: she accepts Alice's session, dials
// Bob and relays Chat. Both sessions open, but the codes the two users read out differ.
TEST_F(Attacked, AManInTheMiddleShowsTheTwoUsersDifferentCodes) {
    Peer mallory{"127.0.0.3", "bob@desk"};
    struct Relay : ISessionHandler {
        std::shared_ptr<Session> to;
        void SessionMessage(const Message& m) override { to->Send(m); }
        void SessionClosed(Ended, const std::string&) override {}
    };
    std::shared_ptr<Session> from_alice, to_bob;
    mallory.service->SetIncoming([&](std::shared_ptr<Session> s) {
        std::string error;
        to_bob = mallory.service->Dial(Ip("127.0.0.1"), bob_port, error);
        from_alice = std::move(s);
        if (!to_bob) return;
        auto relay = std::make_shared<Relay>();
        relay->to = to_bob;
        from_alice->Start(relay);
        to_bob->Start(std::make_shared<Recorder>());
    });
    std::string error;
    mallory.Listen();
    auto at_alice = alice.service->Dial(Ip("127.0.0.3"), mallory.service->Port(), error);
    ASSERT_TRUE(at_alice) << error;
    auto at_bob = bob.inbox.Wait();
    ASSERT_TRUE(at_bob);
    auto heard = std::make_shared<Recorder>();
    at_bob->Start(heard);
    ASSERT_TRUE(at_alice->Send(Chat{"relayed"}));
    ASSERT_TRUE(heard->WaitMessages(1));  // the relay works...
    EXPECT_EQ(at_alice->Info().peer_name, "bob@desk");
    EXPECT_NE(at_alice->Info().code, at_bob->Info().code);  // ...but the codes tell
    EXPECT_EQ(at_alice->Info().code, from_alice->Info().code);
    EXPECT_EQ(at_bob->Info().code, to_bob->Info().code);
    mallory.service->Stop();
}

}  // namespace
}  // namespace quorell::session::test
