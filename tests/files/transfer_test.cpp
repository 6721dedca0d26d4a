// Whole offers between a sending and a receiving transfer over an in-memory link.

#include <gtest/gtest.h>

#include <atomic>
#include <optional>

#include "../session/temp_folder.h"
#include "files/incoming_transfer.h"
#include "files/outgoing_transfer.h"
#include "transfer_support.h"

namespace quorell::files::test {
namespace {

namespace fs = std::filesystem;
using session::FileStatus;

// One offer from a sender to a receiver that accepts into `folder` (or declines).
struct Exchange {
    QueuePipe to_receiver;
    QueuePipe to_sender;
    Offer offer;
    std::string folder;
    bool decline = false;
    bool replace = false;
    std::function<void(OutgoingTransfer&, std::uint64_t)> on_sent;  // after each progress step
    std::function<void(IncomingTransfer&, std::uint64_t)> on_received;
    std::unique_ptr<IncomingTransfer> in;
    std::unique_ptr<OutgoingTransfer> out;
    std::mutex mu;
    std::optional<OutgoingResult> sent;
    std::optional<IncomingResult> received;
    std::string accept_error;
    std::uint64_t last_all_sent = 0;

    Exchange(const std::vector<std::string>& picked, std::string into) : folder(std::move(into)) {
        std::string error;
        auto built = BuildOffer(picked, error);
        EXPECT_TRUE(built) << error;
        if (built) offer = std::move(*built);
    }
    ~Exchange() {
        to_receiver.Cut();
        to_sender.Cut();
        out.reset();
        in.reset();
    }

    void Start(std::uint64_t id = 7) {
        IncomingCallbacks ic;
        ic.offered = [this](const IncomingOffer&) {
            if (decline) return in->Decline(session::DeclineReason::kUserDeclined, "no thanks");
            std::string error;
            if (!in->Accept(folder, error)) {
                std::lock_guard lock(mu);
                accept_error = error;
            }
        };
        ic.replace = [this](const std::string&) { return replace; };
        ic.progress = [this](std::uint32_t, std::uint64_t, std::uint64_t all) {
            if (on_received) on_received(*in, all);
        };
        ic.ended = [this](const IncomingResult& r) {
            std::lock_guard lock(mu);
            received = r;
        };
        OutgoingCallbacks oc;
        oc.progress = [this](std::uint32_t, std::uint64_t, std::uint64_t all) {
            last_all_sent = all;
            if (on_sent) on_sent(*out, all);
        };
        oc.ended = [this](const OutgoingResult& r) {
            std::lock_guard lock(mu);
            sent = r;
        };
        in = std::make_unique<IncomingTransfer>(to_sender, ic);
        out = std::make_unique<OutgoingTransfer>(id, offer, to_receiver, oc);
        to_receiver.Begin([this](const session::FileMessage& m) { in->OnMessage(m); });
        to_sender.Begin([this](const session::FileMessage& m) { out->OnMessage(m); });
        out->Start();
    }
    // Both sides ended.
    bool Wait() {
        const bool a = out->Wait(kLong);
        const bool b = in->Wait(kLong);
        return a && b;
    }
};

const ReceivedFile* Find(const IncomingResult& r, const std::string& path) {
    for (const auto& f : r.files)
        if (f.path == path) return &f;
    return nullptr;
}

bool AnyPartFile(const fs::path& root) {
    for (const auto& e : fs::recursive_directory_iterator(root))
        if (e.path().extension() == ".part") return true;
    return false;
}

class Transfers : public ::testing::Test {
protected:
    void SetUp() override {
        src = fs::path(source.path()) / "album";
        WriteFile(src / "a.bin", RandomBytes(3 * session::kMaxDataBytes + 7, 1));
        WriteFile(src / "sub" / "b.txt", "the second file\n");
        WriteFile(src / "zero", "");
        fs::create_directories(src / "empty");
    }
    TempFolder source, dest;
    fs::path src;
};

TEST_F(Transfers, ATreeWithAnEmptyFolderArrivesByteForByte) {
    Exchange x({src.string()}, dest.path());
    x.Start();
    ASSERT_TRUE(x.Wait());
    ASSERT_EQ(x.sent->end, TransferEnd::kFinished) << x.sent->text;
    ASSERT_EQ(x.received->end, TransferEnd::kFinished) << x.received->text;
    ASSERT_EQ(x.sent->files.size(), 3u);
    for (const auto& f : x.sent->files) EXPECT_TRUE(f.ok()) << f.text;
    const fs::path out = fs::path(dest.path()) / "album";
    for (const char* name : {"a.bin", "sub/b.txt", "zero"}) {
        const ReceivedFile* f = Find(*x.received, std::string("album/") + name);
        ASSERT_TRUE(f && f->ok()) << name;
        EXPECT_EQ(f->saved_path, (out / name).string());
        EXPECT_FALSE(f->resumed);
        EXPECT_EQ(ReadFile(out / name), ReadFile(src / name)) << name;
    }
    EXPECT_TRUE(fs::is_directory(out / "empty"));
    EXPECT_FALSE(AnyPartFile(dest.path()));
    EXPECT_EQ(x.sent->sent_bytes, x.offer.total_bytes);
    EXPECT_EQ(x.last_all_sent, x.offer.total_bytes);
}

TEST_F(Transfers, ACutTransferResumesFromTheKeptBytesAndAChangedPrefixStartsOver) {
    const std::uint64_t kept = 2 * session::kMaxDataBytes;
    const std::uint64_t size = fs::file_size(src / "a.bin");
    const fs::path part = fs::path(dest.path()) / "album" / "a.bin.part";
    {
        Exchange x({(src / "a.bin").string()}, dest.path() + "/album");
        fs::create_directories(x.folder);
        x.to_receiver.CutAfterDataBytes(kept);
        x.Start();
        ASSERT_TRUE(x.out->Wait(kLong));
        EXPECT_EQ(x.sent->end, TransferEnd::kFailed);
        x.to_receiver.Cut();  // what was on the way has arrived
        x.in->Cancel("the session ended");
        ASSERT_TRUE(x.in->Wait(kLong));
        EXPECT_FALSE(Find(*x.received, "a.bin")->ok());
    }
    ASSERT_EQ(fs::file_size(part), kept);
    {
        Exchange x({(src / "a.bin").string()}, dest.path() + "/album");
        x.Start(8);
        ASSERT_TRUE(x.Wait());
        ASSERT_EQ(x.sent->end, TransferEnd::kFinished) << x.sent->text;
        EXPECT_EQ(x.sent->files.at(0).from, kept);
        EXPECT_EQ(x.sent->sent_bytes, size - kept);
        const ReceivedFile* f = Find(*x.received, "a.bin");
        ASSERT_TRUE(f && f->ok()) << (f ? f->text : "");
        EXPECT_TRUE(f->resumed);
        EXPECT_EQ(ReadFile(f->saved_path), ReadFile(src / "a.bin"));
    }
    // Cut again, then the kept bytes are changed: the sender finds its beginning differs.
    fs::remove(fs::path(dest.path()) / "album" / "a.bin");
    {
        Exchange x({(src / "a.bin").string()}, dest.path() + "/album");
        x.to_receiver.CutAfterDataBytes(kept);
        x.Start(9);
        ASSERT_TRUE(x.out->Wait(kLong));
        x.to_receiver.Cut();
        x.in->Cancel("the session ended");
    }
    {
        std::fstream f(part, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(10);
        f.put('\x5A' ^ ReadFile(src / "a.bin")[10]);
    }
    Exchange x({(src / "a.bin").string()}, dest.path() + "/album");
    x.Start(10);
    ASSERT_TRUE(x.Wait());
    EXPECT_EQ(x.sent->files.at(0).from, 0u);
    EXPECT_EQ(x.sent->sent_bytes, size);
    const ReceivedFile* f = Find(*x.received, "a.bin");
    ASSERT_TRUE(f && f->ok()) << (f ? f->text : "");
    EXPECT_FALSE(f->resumed);
    EXPECT_EQ(ReadFile(f->saved_path), ReadFile(src / "a.bin"));
}

TEST_F(Transfers, DeclineAndCancelFromEitherSideSaveNothingAndEndBoth) {
    {
        Exchange x({src.string()}, dest.path());
        x.decline = true;
        x.Start();
        ASSERT_TRUE(x.Wait());
        EXPECT_EQ(x.sent->end, TransferEnd::kDeclined);
        EXPECT_EQ(x.sent->text, "no thanks");
        EXPECT_EQ(x.received->end, TransferEnd::kDeclined);
        EXPECT_TRUE(fs::is_empty(dest.path()));
    }
    {
        Exchange x({src.string()}, dest.path());
        x.on_sent = [](OutgoingTransfer& out, std::uint64_t all) {
            if (all > 0) out.Cancel("stopped by the sender");
        };
        x.Start();
        ASSERT_TRUE(x.Wait());
        EXPECT_EQ(x.sent->end, TransferEnd::kCancelledHere);
        EXPECT_EQ(x.received->end, TransferEnd::kCancelledByPeer);
        EXPECT_EQ(x.received->text, "stopped by the sender");
        EXPECT_FALSE(fs::exists(fs::path(dest.path()) / "album" / "a.bin"));
    }
    {
        Exchange x({src.string()}, dest.path());
        x.on_received = [](IncomingTransfer& in, std::uint64_t all) {
            if (all > 0) in.Cancel("stopped by the receiver");
        };
        x.Start();
        ASSERT_TRUE(x.Wait());
        EXPECT_EQ(x.received->end, TransferEnd::kCancelledHere);
        EXPECT_EQ(x.sent->end, TransferEnd::kCancelledByPeer);
        EXPECT_EQ(x.sent->text, "stopped by the receiver");
        EXPECT_FALSE(fs::exists(fs::path(dest.path()) / "album" / "a.bin"));
    }
}

TEST_F(Transfers, AnExistingFileIsReplacedOnlyWithLeave) {
    const fs::path mine = fs::path(dest.path()) / "album" / "sub" / "b.txt";
    WriteFile(mine, "mine");
    {
        Exchange x({src.string()}, dest.path());
        x.Start();
        ASSERT_TRUE(x.Wait());
        EXPECT_EQ(ReadFile(mine), "mine");
        const ReceivedFile* f = Find(*x.received, "album/sub/b.txt");
        ASSERT_TRUE(f);
        EXPECT_FALSE(f->wanted);
        EXPECT_FALSE(f->ok());
        EXPECT_EQ(x.sent->files.size(), 2u);  // the other two files came
        EXPECT_TRUE(Find(*x.received, "album/a.bin")->ok());
    }
    fs::remove(fs::path(dest.path()) / "album" / "a.bin");
    fs::remove(fs::path(dest.path()) / "album" / "zero");
    Exchange x({src.string()}, dest.path());
    x.replace = true;
    x.Start();
    ASSERT_TRUE(x.Wait());
    EXPECT_TRUE(Find(*x.received, "album/sub/b.txt")->ok());
    EXPECT_EQ(ReadFile(mine), "the second file\n");
}

}  // namespace
}  // namespace quorell::files::test
