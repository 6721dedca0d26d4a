// The files of a session both ways: two controllers over in-memory links, with real files, and
// one against a peer played by hand.

#include <gtest/gtest.h>

#include "../session/temp_folder.h"
#include "session_files_support.h"

namespace quorell::files::test {
namespace {

namespace fs = std::filesystem;
using session::FileMessage;
constexpr std::size_t kChunk = session::kMaxDataBytes;

std::string Started(std::uint64_t id) {
    return "started " + std::to_string(id);
}
std::string Ended(std::uint64_t id) {
    return "ended " + std::to_string(id);
}
auto DataAt(std::uint64_t offset) {
    return [offset](const FileMessage& m) {
        const auto* d = std::get_if<session::Data>(&m);
        return d && d->offset == offset;
    };
}
template <class T>
bool Is(const FileMessage& m) {
    return std::holds_alternative<T>(m);
}

class Controllers : public ::testing::Test {
protected:
    fs::path Src(const std::string& name) { return fs::path(src.path()) / name; }
    Offer OfferOf(const std::string& name) {
        std::string error;
        auto offer = BuildOffer({Src(name).string()}, error);
        EXPECT_TRUE(offer) << error;
        return offer ? std::move(*offer) : Offer{};
    }
    // Whether `name` arrived in `dest` as it is in the source.
    bool Same(const TempFolder& dest, const std::string& name) {
        return ReadFile(fs::path(dest.path()) / name) == ReadFile(Src(name));
    }
    TempFolder src, dest_a, dest_b;
};

TEST_F(Controllers, BothDirectionsAtOnceArriveByteForByte) {
    WriteFile(Src("to_b/x.bin"), RandomBytes(5 * kChunk + 3, 1));
    WriteFile(Src("to_b/sub/y.txt"), "y");
    WriteFile(Src("to_a.bin"), RandomBytes(4 * kChunk + 9, 2));
    Pair p(dest_a.path(), dest_b.path());
    const std::uint64_t to_b = p.a->Send(OfferOf("to_b"));
    p.b->Send(OfferOf("to_a.bin"));
    for (Owner* o : {&p.owner_a, &p.owner_b}) {
        ASSERT_TRUE(
            o->WaitFor([&] { return o->out_ended.size() == 1 && o->in_ended.size() == 1; }));
        const OutgoingResult& sent = o->out_ended.begin()->second.at(0);
        EXPECT_EQ(sent.end, TransferEnd::kFinished) << sent.text;
        EXPECT_EQ(o->in_ended[0].end, TransferEnd::kFinished) << o->in_ended[0].text;
        EXPECT_FALSE(o->files->Progress(Direction::kOutgoing).active);
        EXPECT_FALSE(o->files->Progress(Direction::kIncoming).active);
    }
    EXPECT_EQ(p.owner_a.log, (std::vector<std::string>{Started(to_b), Ended(to_b)}));
    EXPECT_TRUE(Same(dest_b, "to_b/x.bin") && Same(dest_b, "to_b/sub/y.txt"));
    EXPECT_TRUE(Same(dest_a, "to_a.bin"));
}

// Each offer goes out once the one before has ended (finished, cancelled or dropped) and is told
// started and ended once, in that order; the owner sends from inside an event.
TEST_F(Controllers, QueuedOffersGoOutOneAfterAnotherEachEndingOnce) {
    for (char c : std::string("01234")) WriteFile(Src({'f', c}), RandomBytes(kChunk + c, c));
    Pair p(dest_a.path(), dest_b.path());
    p.owner_b.accept_at_once = false;
    const std::uint64_t first = p.a->Send(OfferOf("f0"));
    const std::uint64_t dropped = p.a->Send(OfferOf("f1"));
    p.a->DropQueued();
    const std::uint64_t empty = p.a->Send(Offer{});  // ends at once, never started
    const std::uint64_t second = p.a->Send(OfferOf("f2"));
    const std::uint64_t third = p.a->Send(OfferOf("f3"));
    const TransferProgress waiting = p.a->Progress(Direction::kOutgoing);
    EXPECT_TRUE(waiting.active && waiting.offer == first && waiting.queued == 2u);

    // The first is cancelled while the peer's user has it: the second goes.
    ASSERT_TRUE(p.owner_b.WaitFor([&] { return p.owner_b.offered.size() == 1; }));
    p.a->CancelOutgoing("changed my mind");
    ASSERT_TRUE(p.owner_b.WaitFor([&] { return p.owner_b.offered.size() == 2; }));
    EXPECT_EQ(p.owner_b.With([&] { return p.owner_b.in_ended.at(0).text; }), "changed my mind");

    std::atomic<std::uint64_t> fourth{0};
    p.owner_a.With([&] {
        p.owner_a.on_out_ended = [&](std::uint64_t id) {
            if (id == second) fourth = p.a->Send(OfferOf("f4"));
        };
    });
    p.owner_b.accept_at_once = true;
    std::string error;
    ASSERT_TRUE(p.b->AcceptIncoming(dest_b.path(), {}, error)) << error;
    ASSERT_TRUE(p.owner_a.WaitFor([&] { return p.owner_a.out_ended.size() == 6; }));
    p.owner_a.With([&] {
        EXPECT_EQ(p.owner_a.log, (std::vector<std::string>{
                                     Started(first), Ended(dropped), Ended(empty), Ended(first),
                                     Started(second), Ended(second), Started(third), Ended(third),
                                     Started(fourth), Ended(fourth)}));
        EXPECT_EQ(p.owner_a.out_ended[dropped][0].end, TransferEnd::kCancelledHere);
        EXPECT_EQ(p.owner_a.out_ended[first][0].end, TransferEnd::kCancelledHere);
        EXPECT_EQ(p.owner_a.out_ended[empty][0].end, TransferEnd::kFailed);
        for (std::uint64_t id : {second, third, fourth.load()})
            EXPECT_EQ(p.owner_a.out_ended[id][0].end, TransferEnd::kFinished) << id;
    });
    EXPECT_TRUE(Same(dest_b, "f2") && Same(dest_b, "f3") && Same(dest_b, "f4"));
    EXPECT_FALSE(fs::exists(fs::path(dest_b.path()) / "f0"));
}

// Both sides cancel the same offer at once: each ends once, the other's Cancel is dropped, and
// the next offer goes through.
TEST_F(Controllers, CancelsThatCrossEndEachSideOnce) {
    WriteFile(Src("big.bin"), RandomBytes(8 * kChunk, 3));
    WriteFile(Src("next.txt"), "next");
    Pair p(dest_a.path(), dest_b.path(), 64 * 1024 * 1024);
    p.hold_b.Arm(DataAt(2 * kChunk));
    p.hold_a.Arm(Is<session::Cancel>);
    const std::uint64_t id = p.a->Send(OfferOf("big.bin"));
    ASSERT_TRUE(p.hold_b.Held());
    p.b->CancelIncoming("stopped by B");
    ASSERT_TRUE(p.hold_a.Held());  // B's Cancel is on its way
    p.a->CancelOutgoing("stopped by A");
    ASSERT_TRUE(p.owner_a.WaitFor([&] { return p.owner_a.out_ended.size() == 1; }));
    p.hold_a.Release();
    p.hold_b.Release();

    const std::uint64_t next = p.a->Send(OfferOf("next.txt"));
    ASSERT_TRUE(p.owner_b.WaitFor([&] { return p.owner_b.in_ended.size() == 2; }));
    ASSERT_TRUE(p.owner_a.WaitFor([&] { return p.owner_a.out_ended.size() == 2; }));
    p.owner_a.With([&] {
        ASSERT_EQ(p.owner_a.out_ended[id].size(), 1u);
        EXPECT_EQ(p.owner_a.out_ended[id][0].end, TransferEnd::kCancelledHere);
        EXPECT_EQ(p.owner_a.out_ended[id][0].text, "stopped by A");
        EXPECT_EQ(p.owner_a.out_ended[next][0].end, TransferEnd::kFinished);
        EXPECT_TRUE(p.owner_a.in_ended.empty());
    });
    EXPECT_EQ(p.owner_b.in_ended[0].end, TransferEnd::kCancelledHere);
    EXPECT_EQ(p.owner_b.in_ended[1].end, TransferEnd::kFinished);
    EXPECT_EQ(p.cancels_to_b, 1);
    EXPECT_TRUE(Same(dest_b, "next.txt"));
}

// The peer's messages routed by type and id: a second offer is declined as busy, one that takes
// this side's own id is refused, unknown ids are dropped, a Cancel goes to the offer it names.
TEST_F(Controllers, AHostilePeersMessagesGoWhereTheyBelongOrNowhere) {
    using namespace session;
    WriteFile(Src("mine.txt"), "mine");
    RecordingPipe to_peer;
    Owner owner;
    owner.accept_at_once = false;
    SessionFiles b(to_peer, owner);
    owner.files = &b;
    const std::uint64_t mine = b.Send(OfferOf("mine.txt"));
    ASSERT_TRUE(to_peer.WaitFor<OfferEnd>());
    const auto offer = [&](std::uint64_t id) {
        b.OnMessage(OfferBegin{id, 1, 3});
        b.OnMessage(OfferEntries{id, 0, {{EntryKind::kFile, "a.txt", 3}}});
        b.OnMessage(OfferEnd{id});
    };
    b.OnMessage(OfferBegin{mine, 1, 3});
    offer(5);
    ASSERT_TRUE(owner.WaitFor([&] { return owner.offered.size() == 1; }));
    b.OnMessage(OfferBegin{6, 1, 3});
    for (const FileMessage& m : std::vector<FileMessage>{
             OfferEntries{99, 0, {{EntryKind::kFile, "b", 1}}}, OfferEnd{99}, Accept{99, true, {}},
             Decline{99, DeclineReason::kUserDeclined, ""}, Data{99, 0, 0, "abc"},
             FileDone{99, 0, {}}, FileResult{99, 0, FileStatus::kOk, ""}, Cancel{99, ""}})
        b.OnMessage(m);
    std::string error;
    ASSERT_TRUE(b.AcceptIncoming(dest_b.path(), {}, error)) << error;  // 5 still waited
    const auto declines = to_peer.All<Decline>();
    ASSERT_EQ(declines.size(), 2u);  // Decline is sent during OnMessage
    EXPECT_TRUE(declines[0].offer == mine && declines[0].reason == DeclineReason::kBadOffer);
    EXPECT_TRUE(declines[1].offer == 6u && declines[1].reason == DeclineReason::kBusy);

    b.OnMessage(Cancel{mine, "the peer stops it"});
    ASSERT_TRUE(owner.WaitFor([&] { return owner.out_ended.size() == 1; }));
    EXPECT_TRUE(owner.With([&] { return owner.in_ended.empty(); }));
    b.OnMessage(Cancel{5, ""});
    ASSERT_TRUE(owner.WaitFor([&] { return owner.in_ended.size() == 1; }));
    offer(5);  // the peer's next offer, under the same id even, has a transfer of its own
    ASSERT_TRUE(owner.WaitFor([&] { return owner.offered.size() == 2; }));
    b.Close("");
    EXPECT_EQ(owner.out_ended[mine][0].end, TransferEnd::kCancelledByPeer);
    EXPECT_EQ(owner.in_ended[0].end, TransferEnd::kCancelledByPeer);
    EXPECT_EQ(to_peer.All<Accept>().size(), 1u);
    EXPECT_TRUE(to_peer.All<FileResult>().empty() && to_peer.All<Cancel>().empty());
}

// Close mid-transfer ends both sides without a word to the peer and keeps the partial file;
// the next session's controllers resume it, the progress on both sides counting the resume.
TEST_F(Controllers, CloseMidTransferKeepsThePartialFileAndTheNextSessionResumesIt) {
    const std::uint64_t size = 8 * kChunk + 5, kept = 3 * kChunk;
    WriteFile(Src("big.bin"), RandomBytes(size, 4));
    WriteFile(Src("small.txt"), "small");
    {
        Pair p(dest_a.path(), dest_b.path(), 64 * 1024 * 1024);
        p.hold_b.Arm(DataAt(kept));
        const std::uint64_t id = p.a->Send(OfferOf("big.bin"));
        const std::uint64_t queued = p.a->Send(OfferOf("small.txt"));
        ASSERT_TRUE(p.hold_b.Held());
        p.a->Close("the session ended");
        p.b->Close("the session ended");
        EXPECT_EQ(p.a->Send(OfferOf("small.txt")), 0u);
        p.hold_b.Release();
        p.a_to_b.Cut();
        EXPECT_EQ(p.cancels_to_b, 0);
        EXPECT_EQ(p.owner_a.log, (std::vector<std::string>{Started(id), Ended(queued), Ended(id)}));
        for (std::uint64_t i : {id, queued}) {
            EXPECT_EQ(p.owner_a.out_ended[i][0].end, TransferEnd::kFailed);
            EXPECT_EQ(p.owner_a.out_ended[i][0].text, "the session ended");
        }
        ASSERT_EQ(p.owner_b.in_ended.size(), 1u);
        EXPECT_EQ(p.owner_b.in_ended[0].end, TransferEnd::kFailed);
        EXPECT_EQ(p.owner_b.in_ended[0].text, "the session ended");
    }
    ASSERT_EQ(fs::file_size(fs::path(dest_b.path()) / "big.bin.part"), kept);

    Pair p(dest_a.path(), dest_b.path());
    p.hold_b.Arm(Is<session::FileDone>);
    p.hold_a.Arm(Is<session::FileResult>);
    const std::uint64_t id = p.a->Send(OfferOf("big.bin"));
    ASSERT_TRUE(p.hold_b.Held());
    const TransferProgress in = p.b->Progress(Direction::kIncoming);
    EXPECT_TRUE(in.active && in.offer == id && in.files == 1u && in.files_done == 0u);
    EXPECT_EQ(in.current_path, "big.bin");
    EXPECT_TRUE(in.current_bytes == size && in.all_bytes == size && in.all_size == size);
    EXPECT_EQ(in.resumed_bytes, kept);
    p.hold_b.Release();
    ASSERT_TRUE(p.hold_a.Held());
    const TransferProgress out = p.a->Progress(Direction::kOutgoing);
    EXPECT_TRUE(out.files == 1u && out.files_done == 0u && out.all_bytes == size);
    EXPECT_EQ(out.resumed_bytes, kept);
    p.hold_a.Release();

    ASSERT_TRUE(p.owner_a.WaitFor([&] { return p.owner_a.out_ended.size() == 1; }));
    ASSERT_TRUE(p.owner_b.WaitFor([&] { return p.owner_b.in_ended.size() == 1; }));
    const OutgoingResult sent = p.owner_a.With([&] { return p.owner_a.out_ended[id][0]; });
    ASSERT_EQ(sent.end, TransferEnd::kFinished) << sent.text;
    EXPECT_TRUE(sent.files.at(0).from == kept && sent.sent_bytes == size - kept);
    const ReceivedFile got = p.owner_b.With([&] { return p.owner_b.in_ended[0].files.at(0); });
    EXPECT_TRUE(got.ok() && got.resumed) << got.text;
    EXPECT_TRUE(Same(dest_b, "big.bin"));
}

}  // namespace
}  // namespace quorell::files::test
