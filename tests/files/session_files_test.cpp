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

Offer OfferOf(const fs::path& picked) {
    std::string error;
    auto offer = BuildOffer({picked.string()}, error);
    EXPECT_TRUE(offer) << error;
    return offer ? std::move(*offer) : Offer{};
}

std::string Started(std::uint64_t id) {
    return "started " + std::to_string(id);
}
std::string Ended(std::uint64_t id) {
    return "ended " + std::to_string(id);
}

class Controllers : public ::testing::Test {
protected:
    fs::path In(const TempFolder& f, const std::string& name) { return fs::path(f.path()) / name; }
    TempFolder src, dest_a, dest_b;
};

TEST_F(Controllers, BothDirectionsAtOnceArriveByteForByte) {
    WriteFile(In(src, "to_b/x.bin"), RandomBytes(5 * kChunk + 3, 1));
    WriteFile(In(src, "to_b/sub/y.txt"), "y");
    WriteFile(In(src, "to_a/z.bin"), RandomBytes(4 * kChunk + 9, 2));
    Pair p(dest_a.path(), dest_b.path());
    const std::uint64_t to_b = p.a->Send(OfferOf(In(src, "to_b")));
    const std::uint64_t to_a = p.b->Send(OfferOf(In(src, "to_a")));
    EXPECT_NE(to_b, 0u);
    EXPECT_NE(to_a, 0u);
    for (Owner* o : {&p.owner_a, &p.owner_b})
        ASSERT_TRUE(
            o->WaitFor([&] { return o->out_ended.size() == 1 && o->in_ended.size() == 1; }));
    for (Owner* o : {&p.owner_a, &p.owner_b}) {
        EXPECT_EQ(o->out_ended[0].second.end, TransferEnd::kFinished)
            << o->out_ended[0].second.text;
        EXPECT_EQ(o->in_ended[0].end, TransferEnd::kFinished) << o->in_ended[0].text;
        EXPECT_EQ(o->log.size(), 2u);
        EXPECT_FALSE(o->files->Progress(Direction::kOutgoing).active);
        EXPECT_FALSE(o->files->Progress(Direction::kIncoming).active);
    }
    EXPECT_EQ(p.owner_a.log, (std::vector<std::string>{Started(to_b), Ended(to_b)}));
    for (const char* name : {"to_b/x.bin", "to_b/sub/y.txt"})
        EXPECT_EQ(ReadFile(In(dest_b, name)), ReadFile(In(src, name))) << name;
    EXPECT_EQ(ReadFile(In(dest_a, "to_a/z.bin")), ReadFile(In(src, "to_a/z.bin")));
}

// Each offer goes out once the one before has ended, whether finished, cancelled or dropped, and
// is told started and ended once, in that order; the owner sends from inside an event.
TEST_F(Controllers, QueuedOffersGoOutOneAfterAnotherEachEndingOnce) {
    for (int i = 0; i < 5; ++i)
        WriteFile(In(src, "f" + std::to_string(i)), RandomBytes(kChunk + i, 10 + i));
    Pair p(dest_a.path(), dest_b.path());
    p.owner_b.accept_at_once = false;
    const std::uint64_t first = p.a->Send(OfferOf(In(src, "f0")));
    const std::uint64_t dropped = p.a->Send(OfferOf(In(src, "f1")));
    p.a->DropQueued();
    const std::uint64_t second = p.a->Send(OfferOf(In(src, "f2")));
    const std::uint64_t third = p.a->Send(OfferOf(In(src, "f3")));
    const TransferProgress waiting = p.a->Progress(Direction::kOutgoing);
    EXPECT_TRUE(waiting.active);
    EXPECT_EQ(waiting.offer, first);
    EXPECT_EQ(waiting.queued, 2u);

    // The first is cancelled while the peer has it before its user: the second goes.
    ASSERT_TRUE(p.owner_b.WaitFor([&] { return p.owner_b.offered.size() == 1; }));
    p.a->CancelOutgoing("changed my mind");
    ASSERT_TRUE(p.owner_b.WaitFor([&] { return p.owner_b.offered.size() == 2; }));
    p.owner_b.With([&] {
        EXPECT_EQ(p.owner_b.in_ended.at(0).end, TransferEnd::kCancelledByPeer);
        EXPECT_EQ(p.owner_b.in_ended.at(0).text, "changed my mind");
        EXPECT_EQ(p.owner_b.offered.at(1).offer, second);
    });

    std::atomic<std::uint64_t> fourth{0};
    p.owner_a.With([&] {
        p.owner_a.on_out_ended = [&](std::uint64_t id) {
            if (id == second) fourth = p.a->Send(OfferOf(In(src, "f4")));
        };
    });
    p.owner_b.accept_at_once = true;
    std::string error;
    ASSERT_TRUE(p.b->AcceptIncoming(dest_b.path(), {}, error)) << error;
    ASSERT_TRUE(p.owner_a.WaitFor([&] { return p.owner_a.out_ended.size() == 5; }));
    ASSERT_TRUE(p.owner_b.WaitFor([&] { return p.owner_b.in_ended.size() == 4; }));
    p.owner_a.With([&] {
        EXPECT_EQ(p.owner_a.log,
                  (std::vector<std::string>{Started(first), Ended(dropped), Ended(first),
                                            Started(second), Ended(second), Started(third),
                                            Ended(third), Started(fourth), Ended(fourth)}));
        EXPECT_EQ(p.owner_a.EndOf(dropped).end, TransferEnd::kCancelledHere);
        EXPECT_TRUE(p.owner_a.EndOf(dropped).files.empty());
        EXPECT_EQ(p.owner_a.EndOf(first).end, TransferEnd::kCancelledHere);
        for (std::uint64_t id : {second, third, fourth.load()})
            EXPECT_EQ(p.owner_a.EndOf(id).end, TransferEnd::kFinished) << id;
    });
    for (const char* name : {"f2", "f3", "f4"})
        EXPECT_EQ(ReadFile(In(dest_b, name)), ReadFile(In(src, name))) << name;
    EXPECT_FALSE(fs::exists(In(dest_b, "f0")) || fs::exists(In(dest_b, "f1")));
}

// Both sides cancel the same offer at once; each side ends once, the other's Cancel is dropped,
// and the next offer goes through.
TEST_F(Controllers, CancelsThatCrossEndEachSideOnce) {
    WriteFile(In(src, "big.bin"), RandomBytes(8 * kChunk, 3));
    WriteFile(In(src, "next.txt"), "next");
    Pair p(dest_a.path(), dest_b.path(), 64 * 1024 * 1024);
    p.hold_b.Arm([](const FileMessage& m) {
        const auto* d = std::get_if<session::Data>(&m);
        return d && d->offset == 2 * kChunk;
    });
    p.hold_a.Arm([](const FileMessage& m) { return std::holds_alternative<session::Cancel>(m); });
    const std::uint64_t id = p.a->Send(OfferOf(In(src, "big.bin")));
    ASSERT_TRUE(p.hold_b.Held());
    p.b->CancelIncoming("stopped by B");
    ASSERT_TRUE(p.hold_a.Held());  // B's Cancel is on its way
    p.a->CancelOutgoing("stopped by A");
    ASSERT_TRUE(p.owner_a.WaitFor([&] { return p.owner_a.out_ended.size() == 1; }));
    p.hold_a.Release();
    p.hold_b.Release();

    const std::uint64_t next = p.a->Send(OfferOf(In(src, "next.txt")));
    ASSERT_TRUE(p.owner_a.WaitFor([&] { return p.owner_a.out_ended.size() == 2; }));
    ASSERT_TRUE(p.owner_b.WaitFor([&] { return p.owner_b.in_ended.size() == 2; }));
    p.owner_a.With([&] {
        EXPECT_EQ(p.owner_a.EndedCount(id), 1);
        EXPECT_EQ(p.owner_a.EndOf(id).end, TransferEnd::kCancelledHere);
        EXPECT_EQ(p.owner_a.EndOf(id).text, "stopped by A");
        EXPECT_EQ(p.owner_a.EndOf(next).end, TransferEnd::kFinished);
        EXPECT_TRUE(p.owner_a.in_ended.empty());
    });
    p.owner_b.With([&] {
        EXPECT_EQ(p.owner_b.in_ended[0].end, TransferEnd::kCancelledHere);
        EXPECT_EQ(p.owner_b.in_ended[1].end, TransferEnd::kFinished);
    });
    EXPECT_EQ(p.cancels_to_b, 1);
    EXPECT_EQ(ReadFile(In(dest_b, "next.txt")), "next");
    EXPECT_FALSE(fs::exists(In(dest_b, "big.bin")));
}

template <class T>
std::vector<T> WaitForCount(RecordingPipe& pipe, std::size_t n) {
    for (int i = 0; i < 2000 && pipe.All<T>().size() < n; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return pipe.All<T>();
}

// The peer's messages routed by type and id: a second offer is declined as busy, one that takes
// this side's own id is refused, unknown ids are dropped, a Cancel goes to the offer it names.
TEST_F(Controllers, AHostilePeersMessagesGoWhereTheyBelongOrNowhere) {
    using namespace session;
    WriteFile(In(src, "mine.txt"), "mine");
    RecordingPipe to_peer;
    Owner owner;
    owner.accept_at_once = false;
    SessionFiles b(to_peer, owner);
    owner.files = &b;
    const std::uint64_t mine = b.Send(OfferOf(In(src, "mine.txt")));
    ASSERT_TRUE(to_peer.WaitFor<session::OfferEnd>());

    b.OnMessage(OfferBegin{mine, 1, 3});
    b.OnMessage(OfferBegin{5, 1, 3});
    b.OnMessage(OfferEntries{5, 0, {{EntryKind::kFile, "a.txt", 3}}});
    b.OnMessage(OfferEnd{5});
    ASSERT_TRUE(owner.WaitFor([&] { return owner.offered.size() == 1; }));
    b.OnMessage(OfferBegin{6, 1, 3});
    const auto declines = WaitForCount<Decline>(to_peer, 2);
    ASSERT_EQ(declines.size(), 2u);
    EXPECT_EQ(declines[0].offer, mine);
    EXPECT_EQ(declines[0].reason, DeclineReason::kBadOffer);
    EXPECT_EQ(declines[1].offer, 6u);
    EXPECT_EQ(declines[1].reason, DeclineReason::kBusy);

    const std::vector<FileMessage> unknown = {OfferEntries{99, 0, {{EntryKind::kFile, "b", 1}}},
                                              OfferEnd{99},
                                              Accept{99, true, {}},
                                              Decline{99, DeclineReason::kUserDeclined, ""},
                                              Data{99, 0, 0, "abc"},
                                              FileDone{99, 0, {}},
                                              FileResult{99, 0, FileStatus::kOk, ""},
                                              Cancel{99, ""}};
    for (const auto& m : unknown) b.OnMessage(m);
    std::string error;
    ASSERT_TRUE(b.AcceptIncoming(dest_b.path(), {}, error)) << error;  // 5 still waited
    ASSERT_EQ(to_peer.WaitFor<Accept>()->offer, 5u);

    b.OnMessage(Cancel{mine, "the peer stops it"});
    ASSERT_TRUE(owner.WaitFor([&] { return owner.out_ended.size() == 1; }));
    owner.With([&] {
        EXPECT_EQ(owner.out_ended[0].second.end, TransferEnd::kCancelledByPeer);
        EXPECT_TRUE(owner.in_ended.empty());
    });
    b.OnMessage(Cancel{5, ""});
    ASSERT_TRUE(owner.WaitFor([&] { return owner.in_ended.size() == 1; }));
    EXPECT_EQ(owner.With([&] { return owner.in_ended[0].end; }), TransferEnd::kCancelledByPeer);
    // The peer's next offer, under the same id even, gets a transfer of its own.
    b.OnMessage(OfferBegin{5, 1, 3});
    b.OnMessage(OfferEntries{5, 0, {{EntryKind::kFile, "c.txt", 3}}});
    b.OnMessage(OfferEnd{5});
    ASSERT_TRUE(owner.WaitFor([&] { return owner.offered.size() == 2; }));
    b.Close("");
    EXPECT_EQ(to_peer.All<Decline>().size(), 2u);
    EXPECT_EQ(to_peer.All<Accept>().size(), 1u);
    EXPECT_TRUE(to_peer.All<FileResult>().empty());
    EXPECT_EQ(to_peer.All<Cancel>().size(), 0u);  // nothing after Close either
}

// Close mid-transfer ends both sides without a word to the peer and keeps the partial file;
// the next session's controllers resume it, the progress on both sides counting the resume.
TEST_F(Controllers, CloseMidTransferKeepsThePartialFileAndTheNextSessionResumesIt) {
    const std::uint64_t size = 8 * kChunk + 5, kept = 3 * kChunk;
    WriteFile(In(src, "big.bin"), RandomBytes(size, 4));
    WriteFile(In(src, "small.txt"), "small");
    {
        Pair p(dest_a.path(), dest_b.path(), 64 * 1024 * 1024);
        p.hold_b.Arm([](const FileMessage& m) {
            const auto* d = std::get_if<session::Data>(&m);
            return d && d->offset == kept;
        });
        const std::uint64_t id = p.a->Send(OfferOf(In(src, "big.bin")));
        const std::uint64_t queued = p.a->Send(OfferOf(In(src, "small.txt")));
        ASSERT_TRUE(p.hold_b.Held());
        p.a->Close("the session ended");
        p.b->Close("the session ended");
        EXPECT_EQ(p.a->Send(OfferOf(In(src, "small.txt"))), 0u);
        p.hold_b.Release();
        p.a_to_b.Cut();
        EXPECT_EQ(p.cancels_to_b, 0);
        p.owner_a.With([&] {
            EXPECT_EQ(p.owner_a.log,
                      (std::vector<std::string>{Started(id), Ended(queued), Ended(id)}));
            EXPECT_EQ(p.owner_a.EndOf(id).end, TransferEnd::kFailed);
            EXPECT_EQ(p.owner_a.EndOf(id).text, "the session ended");
            EXPECT_EQ(p.owner_a.EndOf(queued).end, TransferEnd::kFailed);
        });
        p.owner_b.With([&] {
            ASSERT_EQ(p.owner_b.in_ended.size(), 1u);
            EXPECT_EQ(p.owner_b.in_ended[0].end, TransferEnd::kFailed);
            EXPECT_EQ(p.owner_b.in_ended[0].text, "the session ended");
        });
    }
    ASSERT_EQ(fs::file_size(In(dest_b, "big.bin.part")), kept);

    Pair p(dest_a.path(), dest_b.path());
    p.hold_b.Arm([](const FileMessage& m) { return std::holds_alternative<session::FileDone>(m); });
    p.hold_a.Arm(
        [](const FileMessage& m) { return std::holds_alternative<session::FileResult>(m); });
    const std::uint64_t id = p.a->Send(OfferOf(In(src, "big.bin")));
    ASSERT_TRUE(p.hold_b.Held());
    const TransferProgress in = p.b->Progress(Direction::kIncoming);
    EXPECT_TRUE(in.active);
    EXPECT_EQ(in.offer, id);
    EXPECT_EQ(in.files, 1u);
    EXPECT_EQ(in.files_done, 0u);
    EXPECT_EQ(in.current_path, "big.bin");
    EXPECT_EQ(in.current_bytes, size);
    EXPECT_EQ(in.all_bytes, size);
    EXPECT_EQ(in.all_size, size);
    EXPECT_EQ(in.resumed_bytes, kept);
    p.hold_b.Release();
    ASSERT_TRUE(p.hold_a.Held());
    const TransferProgress out = p.a->Progress(Direction::kOutgoing);
    EXPECT_EQ(out.files, 1u);
    EXPECT_EQ(out.all_bytes, size);
    EXPECT_EQ(out.resumed_bytes, kept);
    EXPECT_EQ(out.files_done, 0u);  // its verdict is held on the way
    p.hold_a.Release();

    ASSERT_TRUE(p.owner_a.WaitFor([&] { return p.owner_a.out_ended.size() == 1; }));
    ASSERT_TRUE(p.owner_b.WaitFor([&] { return p.owner_b.in_ended.size() == 1; }));
    const OutgoingResult sent = p.owner_a.With([&] { return p.owner_a.EndOf(id); });
    ASSERT_EQ(sent.end, TransferEnd::kFinished) << sent.text;
    EXPECT_EQ(sent.files.at(0).from, kept);
    EXPECT_EQ(sent.sent_bytes, size - kept);
    const ReceivedFile got = p.owner_b.With([&] { return p.owner_b.in_ended[0].files.at(0); });
    EXPECT_TRUE(got.ok()) << got.text;
    EXPECT_TRUE(got.resumed);
    EXPECT_EQ(ReadFile(In(dest_b, "big.bin")), ReadFile(In(src, "big.bin")));
    EXPECT_FALSE(fs::exists(In(dest_b, "big.bin.part")));
}

}  // namespace
}  // namespace quorell::files::test
