// One controller and a peer played by the test: declines, withdrawn invites, a hostile peer,
// a session that takes nothing more, and Close from an event handler. No call connects here.
#include <cstdlib>

#include "calls_fixture.h"

namespace quorell::calls::test {
namespace {

using session::CallMessage;

// The controller under test, its session a Pipe the test reads (nothing is delivered back).
struct Lone {
    Ears ears;
    std::shared_ptr<Recorder> told = std::make_shared<Recorder>();
    Pipe out;
    std::unique_ptr<SessionCalls> calls;

    explicit Lone(const std::function<void(SessionCallsConfig&)>& adjust = {}) {
        SessionCallsConfig config = LoopbackConfig(false, 440, &ears);
        if (adjust) adjust(config);
        calls = std::make_unique<SessionCalls>(
            std::move(config), [this](const CallMessage& m) { return out.Send(m); }, told);
    }
    ~Lone() {
        calls.reset();
        out.Shut();
    }
    // The messages sent, once `count` were.
    std::vector<CallMessage> SentOnce(std::size_t count) {
        EXPECT_TRUE(Eventually([&] { return out.Sent().size() >= count; }))
            << out.Sent().size() << " of " << count;
        auto sent = out.Sent();
        if (sent.size() < count) sent.resize(count);  // what follows fails, not crashes
        return sent;
    }
};

TEST(SessionCallsSignals, DeclineWithdrawAndBusy) {
    Lone lone;
    // Our invite declined by the peer's user, then one refused as busy.
    lone.calls->Invite(MediaKind::kVoice);
    auto sent = lone.SentOnce(1);
    const auto first = std::get<session::CallInvite>(sent[0]);
    EXPECT_EQ(first.media, session::CallMedia::kVoice);
    lone.calls->OnMessage(
        session::CallDecline{first.call, session::CallDeclineReason::kUserDeclined, "not now"});
    auto end = lone.told->WaitEnd(MediaKind::kVoice, 1);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->why, CallEnd::kPeerDeclined);
    EXPECT_EQ(end->text, "not now");
    lone.calls->Invite(MediaKind::kVoice);
    sent = lone.SentOnce(2);
    const auto second = std::get<session::CallInvite>(sent[1]);
    EXPECT_NE(second.call, first.call);
    lone.calls->OnMessage(session::CallDecline{second.call, session::CallDeclineReason::kBusy, {}});
    end = lone.told->WaitEnd(MediaKind::kVoice, 2);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->why, CallEnd::kPeerBusy);

    // Our invite withdrawn before the peer answered: the peer is told, a late accept of it is
    // dropped.
    lone.calls->Invite(MediaKind::kVideo);
    sent = lone.SentOnce(3);
    const auto third = std::get<session::CallInvite>(sent[2]);
    EXPECT_EQ(third.media, session::CallMedia::kVideo);
    lone.calls->Stop(MediaKind::kVideo);
    sent = lone.SentOnce(4);
    EXPECT_EQ(std::get<session::CallStop>(sent[3]).call, third.call);
    lone.calls->OnMessage(session::CallAccept{third.call});
    end = lone.told->WaitEnd(MediaKind::kVideo, 1);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->why, CallEnd::kStoppedHere);

    // The peer's invite declined here; the peer's invite withdrawn by the peer.
    lone.calls->OnMessage(session::CallInvite{7, session::CallMedia::kVoice});
    ASSERT_TRUE(lone.told->WaitPhase(MediaKind::kVoice, CallPhase::kInvited));
    lone.calls->Decline(MediaKind::kVoice);
    sent = lone.SentOnce(5);
    const auto declined = std::get<session::CallDecline>(sent[4]);
    EXPECT_EQ(declined.call, 7u);
    EXPECT_EQ(declined.reason, session::CallDeclineReason::kUserDeclined);
    lone.calls->OnMessage(session::CallInvite{8, session::CallMedia::kVoice});
    ASSERT_TRUE(lone.told->WaitPhase(MediaKind::kVoice, CallPhase::kInvited));
    // A second invite of the kind while one waits is busy; an unknown media cannot be run.
    lone.calls->OnMessage(session::CallInvite{9, session::CallMedia::kVoice});
    lone.calls->OnMessage(session::CallInvite{10, session::CallMedia(7)});
    sent = lone.SentOnce(7);
    EXPECT_EQ(std::get<session::CallDecline>(sent[5]).reason, session::CallDeclineReason::kBusy);
    EXPECT_EQ(std::get<session::CallDecline>(sent[5]).call, 9u);
    EXPECT_EQ(std::get<session::CallDecline>(sent[6]).reason,
              session::CallDeclineReason::kUnavailable);
    lone.calls->OnMessage(session::CallStop{8, "changed my mind"});
    end = lone.told->WaitEnd(MediaKind::kVoice, 4);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->why, CallEnd::kPeerStopped);
    EXPECT_EQ(end->text, "changed my mind");
    EXPECT_EQ(lone.calls->Phase(MediaKind::kVoice), CallPhase::kIdle);

    // Requests that do not fit the phase do nothing.
    lone.calls->Accept(MediaKind::kVoice);
    lone.calls->Decline(MediaKind::kVideo);
    lone.calls->Stop(MediaKind::kVoice);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(lone.out.Sent().size(), 7u);
    EXPECT_EQ(lone.told->Ends(), 5u);
}

// Messages of no call of ours, or out of phase, are dropped; what the media refuses ends the
// call as failed and stops the peer's.
TEST(SessionCallsSignals, HostilePeerIsDroppedOrStopped) {
    Lone lone;
    // Nothing runs: every message but an invite names no call.
    lone.calls->OnMessage(session::CallAccept{1});
    lone.calls->OnMessage(session::CallDecline{1, session::CallDeclineReason::kBusy, {}});
    lone.calls->OnMessage(session::CallDescription{1, session::SdpKind::kOffer, "v=0\r\n"});
    lone.calls->OnMessage(
        session::CallCandidate{1, 0, "candidate:1 1 UDP 1 127.0.0.1 5000 typ host"});
    lone.calls->OnMessage(session::CallStop{1, {}});
    // Invited: a description before our accept, an accept of the peer's own invite, a decline
    // of it and messages of other ids do nothing.
    lone.calls->OnMessage(session::CallInvite{20, session::CallMedia::kVoice});
    ASSERT_TRUE(lone.told->WaitPhase(MediaKind::kVoice, CallPhase::kInvited));
    lone.calls->OnMessage(session::CallDescription{20, session::SdpKind::kOffer, "v=0\r\n"});
    lone.calls->OnMessage(session::CallAccept{20});
    lone.calls->OnMessage(session::CallDecline{20, session::CallDeclineReason::kUserDeclined, {}});
    lone.calls->OnMessage(session::CallStop{21, {}});
    // The same id for a video call would make the two one.
    lone.calls->OnMessage(session::CallInvite{20, session::CallMedia::kVideo});
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(lone.out.Sent().empty());
    EXPECT_EQ(lone.calls->Phase(MediaKind::kVoice), CallPhase::kInvited);
    EXPECT_EQ(lone.calls->Phase(MediaKind::kVideo), CallPhase::kIdle);
    EXPECT_EQ(lone.told->Ends(), 0u);

    // Accepted: an offer that does not parse ends the call, and the peer is stopped.
    lone.calls->Accept(MediaKind::kVoice);
    auto sent = lone.SentOnce(1);
    EXPECT_EQ(std::get<session::CallAccept>(sent[0]).call, 20u);
    lone.calls->OnMessage(session::CallDescription{20, session::SdpKind::kOffer, "garbage"});
    auto end = lone.told->WaitEnd(MediaKind::kVoice, 1);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->why, CallEnd::kFailed);
    EXPECT_NE(end->text.find("does not parse"), std::string::npos) << end->text;
    EXPECT_EQ(end->text.rfind("对方的通话发来了本机不接受的内容", 0), 0u) << end->text;
    sent = lone.SentOnce(2);
    EXPECT_EQ(std::get<session::CallStop>(sent[1]).call, 20u);

    // Our own invite accepted: our offer goes out; a candidate of another address ends it.
    lone.calls->Invite(MediaKind::kVoice);
    sent = lone.SentOnce(3);
    const auto invite = std::get<session::CallInvite>(sent[2]);
    lone.calls->OnMessage(session::CallAccept{invite.call});
    ASSERT_TRUE(
        Eventually([&] { return !OfType<session::CallDescription>(lone.out.Sent()).empty(); }));
    const auto offer = OfType<session::CallDescription>(lone.out.Sent())[0];
    EXPECT_EQ(offer.call, invite.call);
    EXPECT_EQ(offer.kind, session::SdpKind::kOffer);
    EXPECT_NE(offer.sdp.find("m=audio"), std::string::npos);
    EXPECT_EQ(lone.calls->Phase(MediaKind::kVoice), CallPhase::kStarting);
    // An accept again is dropped; the candidate is refused by the media, which the end names.
    lone.calls->OnMessage(session::CallAccept{invite.call});
    lone.calls->OnMessage(session::CallCandidate{
        invite.call, 0, "candidate:1 1 UDP 2015363327 192.0.2.7 40000 typ host"});
    end = lone.told->WaitEnd(MediaKind::kVoice, 2);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->why, CallEnd::kFailed);
    EXPECT_NE(end->text.find("other than the peer's"), std::string::npos) << end->text;
    ASSERT_TRUE(Eventually([&] {
        const auto stops = OfType<session::CallStop>(lone.out.Sent());
        return stops.size() == 2 && stops[1].call == invite.call;
    }));
    // The description of a call that ended is dropped, and whatever its media still had to
    // say was not sent after the stop.
    lone.calls->OnMessage(session::CallDescription{invite.call, session::SdpKind::kAnswer, "v=0"});
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(std::holds_alternative<session::CallStop>(lone.out.Sent().back()));
    EXPECT_EQ(lone.told->Ends(), 2u);
    EXPECT_EQ(lone.calls->Phase(MediaKind::kVoice), CallPhase::kIdle);
}

// Media without its sound devices (here a sound server that is not there) still answers: the
// speaker that cannot be used is told once, and the call goes on without it.
TEST(SessionCallsSignals, MediaWithoutItsSpeakerStillAnswers) {
    struct NoSoundServer {
        const char* was = std::getenv("PULSE_SERVER");
        std::string kept = was ? was : "";
        NoSoundServer() { setenv("PULSE_SERVER", "unix:/nonexistent/quorell-no-sound", 1); }
        ~NoSoundServer() {
            was ? setenv("PULSE_SERVER", kept.c_str(), 1) : unsetenv("PULSE_SERVER");
        }
    } no_sound_server;
    Lone lone([](SessionCallsConfig& config) { config.voice_output = {}; });
    lone.calls->OnMessage(session::CallInvite{3, session::CallMedia::kVoice});
    lone.calls->Accept(MediaKind::kVoice);
    ASSERT_TRUE(lone.told->WaitFor([](const std::vector<Told>& told) {
        for (const Told& t : told)
            if (t.what == Told::What::kProblem && t.text.find("扬声器") != std::string::npos)
                return true;
        return false;
    })) << "the speaker's problem was not told";
    const auto sent = lone.SentOnce(1);
    ASSERT_TRUE(std::holds_alternative<session::CallAccept>(sent[0]));
    EXPECT_EQ(std::get<session::CallAccept>(sent[0]).call, 3u);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(lone.told->Ends(), 0u);
    EXPECT_EQ(lone.calls->Phase(MediaKind::kVoice), CallPhase::kStarting);
}

// The session took nothing more: the call ends as closed rather than waiting forever.
TEST(SessionCallsSignals, ASessionThatEndedEndsTheInvite) {
    Lone lone;
    lone.out.Shut();
    lone.calls->Invite(MediaKind::kVoice);
    auto end = lone.told->WaitEnd(MediaKind::kVoice);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->why, CallEnd::kClosed);
    EXPECT_EQ(lone.calls->Phase(MediaKind::kVoice), CallPhase::kIdle);
}

// Close, and even the controller's destruction, from inside an event handler: no deadlock,
// the call ends as closed once the handler returned, nothing is sent.
TEST(SessionCallsSignals, CloseFromAnEventHandler) {
    for (bool destroy : {false, true}) {
        auto told = std::make_shared<Recorder>();
        Pipe out;
        std::unique_ptr<SessionCalls> calls;
        std::atomic<bool> handled{false};
        told->on_phase = [&](MediaKind, CallPhase phase) {
            if (phase != CallPhase::kInvited) return;
            if (destroy) {
                calls.reset();
            } else {
                calls->Close();
            }
            handled = true;
        };
        calls = std::make_unique<SessionCalls>(
            LoopbackConfig(false, 440, nullptr), [&](const CallMessage& m) { return out.Send(m); },
            told);
        calls->OnMessage(session::CallInvite{5, session::CallMedia::kVoice});
        auto end = told->WaitEnd(MediaKind::kVoice);
        ASSERT_TRUE(end) << destroy;
        EXPECT_EQ(end->why, CallEnd::kClosed);
        EXPECT_TRUE(handled);
        if (calls) {
            calls->Accept(MediaKind::kVoice);  // closed: dropped
            calls->Close();                    // joins
            EXPECT_EQ(told->Ends(), 1u);
            calls.reset();
        }
        out.Shut();
        EXPECT_TRUE(out.Sent().empty());
        // The detached thread lets go of the inside just after telling the end.
        if (destroy) std::this_thread::sleep_for(50ms);
    }
}

}  // namespace
}  // namespace quorell::calls::test
