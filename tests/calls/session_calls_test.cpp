// Real calls between two controllers joined in memory, their media on 127.0.0.1.
#include "calls_fixture.h"

namespace quorell::calls::test {
namespace {

void ExpectEnd(Recorder& told, MediaKind kind, int nth, CallEnd why) {
    auto end = told.WaitEnd(kind, nth);
    ASSERT_TRUE(end.has_value()) << "call end " << nth << " not told";
    EXPECT_EQ(end->why, why) << end->text;
}

// Invite, accept, both running and hearing each other; stopped by the invited side; invited
// and accepted again, then stopped by the inviting side.
TEST(SessionCalls, VoiceCallRunsStopsFromEitherSideAndStartsAgain) {
    JoinedCalls calls;
    calls.a->Invite(MediaKind::kVoice);
    ASSERT_TRUE(calls.told_b->WaitPhase(MediaKind::kVoice, CallPhase::kInvited));
    EXPECT_EQ(calls.a->Phase(MediaKind::kVoice), CallPhase::kInviting);
    calls.b->Accept(MediaKind::kVoice);
    ASSERT_TRUE(calls.BothIn(MediaKind::kVoice, CallPhase::kRunning));
    ASSERT_TRUE(Eventually([&] { return calls.ears_a.Hears(1000) && calls.ears_b.Hears(440); }))
        << media::test::ToneShare(calls.ears_a.Latest(4800), 1000) << " and "
        << media::test::ToneShare(calls.ears_b.Latest(4800), 440);
    EXPECT_EQ(calls.a->Phase(MediaKind::kVideo), CallPhase::kIdle);
    // Muted, A's voice arrives as silence and the call goes on; unmuted, it is back. Left
    // muted: the next call starts unmuted.
    calls.a->SetVoiceMuted(true);
    ASSERT_TRUE(Eventually([&] { return media::test::Rms(calls.ears_b.Latest(4800)) < 30; }));
    EXPECT_TRUE(calls.ears_a.Hears(1000));
    calls.a->SetVoiceMuted(false);
    ASSERT_TRUE(Eventually([&] { return calls.ears_b.Hears(440); }));
    calls.a->SetVoiceMuted(true);

    // Both ends told at once, the media of both stopped: nothing more arrives.
    calls.b->Stop(MediaKind::kVoice);
    ExpectEnd(*calls.told_b, MediaKind::kVoice, 1, CallEnd::kStoppedHere);
    ExpectEnd(*calls.told_a, MediaKind::kVoice, 1, CallEnd::kPeerStopped);
    EXPECT_EQ(calls.a->Phase(MediaKind::kVoice), CallPhase::kIdle);
    EXPECT_EQ(calls.b->Phase(MediaKind::kVoice), CallPhase::kIdle);
    std::this_thread::sleep_for(200ms);
    const std::size_t at_a = calls.ears_a.heard.sample_count;
    const std::size_t at_b = calls.ears_b.heard.sample_count;
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(calls.ears_a.heard.sample_count, at_a);
    EXPECT_EQ(calls.ears_b.heard.sample_count, at_b);

    // Again, with a new call id; Invite on the waiting invite accepts it.
    {
        std::lock_guard lock(calls.ears_a.heard.mutex);
        calls.ears_a.heard.samples.clear();
    }
    calls.b->Invite(MediaKind::kVoice);
    ASSERT_TRUE(calls.told_a->WaitPhase(MediaKind::kVoice, CallPhase::kInvited));
    calls.a->Invite(MediaKind::kVoice);
    ASSERT_TRUE(calls.BothIn(MediaKind::kVoice, CallPhase::kRunning));
    ASSERT_TRUE(Eventually([&] { return calls.ears_a.Hears(1000) && calls.ears_b.Hears(440); }));
    const auto invites = OfType<session::CallInvite>(calls.a_to_b.Sent());
    const auto reinvites = OfType<session::CallInvite>(calls.b_to_a.Sent());
    ASSERT_EQ(invites.size(), 1u);
    ASSERT_EQ(reinvites.size(), 1u);
    EXPECT_NE(invites[0].call, reinvites[0].call);
    calls.a->Stop(MediaKind::kVoice);
    ExpectEnd(*calls.told_a, MediaKind::kVoice, 2, CallEnd::kStoppedHere);
    ExpectEnd(*calls.told_b, MediaKind::kVoice, 2, CallEnd::kPeerStopped);

    // Every event came from one thread, each side's own.
    EXPECT_EQ(calls.told_a->Threads().size(), 1u);
    EXPECT_EQ(calls.told_a->Threads().count(std::this_thread::get_id()), 0u);
    for (const Told& t : calls.told_a->All()) EXPECT_NE(t.what, Told::What::kProblem) << t.text;
}

// Video both ways; a second video invite while it runs is declined as busy and the call goes
// on; closing one side mid-call tells kClosed there and sends nothing.
TEST(SessionCalls, VideoCallRunsBusyToASecondInviteAndClosesMidCall) {
    JoinedCalls calls;
    calls.b->Invite(MediaKind::kVideo);
    ASSERT_TRUE(calls.told_a->WaitPhase(MediaKind::kVideo, CallPhase::kInvited));
    calls.a->Accept(MediaKind::kVideo);
    ASSERT_TRUE(calls.BothIn(MediaKind::kVideo, CallPhase::kRunning));
    // A loaded machine (or a sanitizer) may encode far below 30 pictures a second.
    ASSERT_TRUE(
        Eventually([&] { return calls.told_a->frames > 5 && calls.told_b->frames > 5; }, 30s))
        << calls.told_a->frames << " and " << calls.told_b->frames;
    EXPECT_EQ(calls.told_a->frame_width, 640);
    EXPECT_EQ(calls.told_b->frame_height, 480);
    EXPECT_EQ(calls.ears_a.heard.sample_count, 0u);  // a video call carries no voice

    calls.b->OnMessage(session::CallInvite{42, session::CallMedia::kVideo});
    ASSERT_TRUE(
        Eventually([&] { return OfType<session::CallDecline>(calls.b_to_a.Sent()).size() == 1; }));
    const auto busy = OfType<session::CallDecline>(calls.b_to_a.Sent())[0];
    EXPECT_EQ(busy.call, 42u);
    EXPECT_EQ(busy.reason, session::CallDeclineReason::kBusy);
    const int frames = calls.told_a->frames;
    ASSERT_TRUE(Eventually([&] { return calls.told_a->frames > frames + 3; }));
    EXPECT_EQ(calls.b->Phase(MediaKind::kVideo), CallPhase::kRunning);

    const std::size_t sent = calls.a_to_b.Sent().size();
    calls.a->Close();
    ExpectEnd(*calls.told_a, MediaKind::kVideo, 1, CallEnd::kClosed);
    EXPECT_EQ(calls.told_a->Ends(), 1u);
    EXPECT_EQ(calls.a_to_b.Sent().size(), sent);
    EXPECT_EQ(calls.a->Phase(MediaKind::kVideo), CallPhase::kIdle);
    // Closed: requests and messages do nothing, and nothing is told.
    calls.a->Invite(MediaKind::kVoice);
    calls.a->Close();
    EXPECT_EQ(calls.a_to_b.Sent().size(), sent);
    EXPECT_EQ(calls.told_a->Ends(), 1u);
}

// Both invite to voice at once: the invite of `a`, which dialled the session, stands; `b`
// drops its own without a word and accepts it.
TEST(SessionCalls, CrossingInvitesMakeOneCall) {
    JoinedCalls calls;
    calls.a_to_b.Hold(true);
    calls.b_to_a.Hold(true);
    calls.a->Invite(MediaKind::kVoice);
    calls.b->Invite(MediaKind::kVoice);
    ASSERT_TRUE(calls.BothIn(MediaKind::kVoice, CallPhase::kInviting));
    calls.a_to_b.Hold(false);
    calls.b_to_a.Hold(false);
    ASSERT_TRUE(calls.BothIn(MediaKind::kVoice, CallPhase::kRunning));
    ASSERT_TRUE(Eventually([&] { return calls.ears_a.Hears(1000) && calls.ears_b.Hears(440); }));

    const auto a_sent = calls.a_to_b.Sent();
    const auto b_sent = calls.b_to_a.Sent();
    const auto a_invites = OfType<session::CallInvite>(a_sent);
    ASSERT_EQ(a_invites.size(), 1u);
    const auto accepts = OfType<session::CallAccept>(b_sent);
    ASSERT_EQ(accepts.size(), 1u);
    EXPECT_EQ(accepts[0].call, a_invites[0].call);
    EXPECT_TRUE(OfType<session::CallAccept>(a_sent).empty());
    EXPECT_TRUE(OfType<session::CallDecline>(a_sent).empty());
    EXPECT_TRUE(OfType<session::CallDecline>(b_sent).empty());
    EXPECT_TRUE(OfType<session::CallStop>(b_sent).empty());
    // Everything after the invites is of the one call.
    for (const auto& d : OfType<session::CallDescription>(b_sent)) {
        EXPECT_EQ(d.call, a_invites[0].call);
    }
    EXPECT_EQ(calls.told_a->Ends(), 0u);
    EXPECT_EQ(calls.told_b->Ends(), 0u);
}

}  // namespace
}  // namespace quorell::calls::test
