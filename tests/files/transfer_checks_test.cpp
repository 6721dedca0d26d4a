// A sender or a receiver that breaks the rules, played by hand against the other side.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <csignal>

#include "../session/temp_folder.h"
#include "files/file_hash.h"
#include "files/incoming_transfer.h"
#include "files/outgoing_transfer.h"
#include "transfer_support.h"

namespace quorell::files::test {
namespace {

namespace fs = std::filesystem;
using namespace session;

session::Sha256 HashOf(const std::string& bytes) {
    files::Sha256 h;
    h.Update(bytes);
    Sha256Digest d{};
    EXPECT_TRUE(h.Final(d));
    return d;
}

// A receiver that accepts every offer into its folder at once.
class Receiver {
public:
    explicit Receiver(const std::string& folder) {
        IncomingCallbacks c;
        c.offered = [this, folder](const IncomingOffer&) {
            offered = true;
            std::string error;
            EXPECT_TRUE(transfer->Accept(folder, error)) << error;
        };
        c.ended = [this](const IncomingResult& r) { result = r; };
        transfer = std::make_unique<IncomingTransfer>(pipe, c);
    }
    void Offer(std::uint64_t id, const std::vector<OfferEntry>& entries,
               std::optional<std::uint64_t> total = {}, std::optional<std::uint32_t> count = {}) {
        std::uint64_t sum = 0;
        for (const auto& e : entries) sum += e.size;
        in().OnMessage(OfferBegin{id, count.value_or(static_cast<std::uint32_t>(entries.size())),
                                  total.value_or(sum)});
        in().OnMessage(OfferEntries{id, 0, entries});
        in().OnMessage(OfferEnd{id});
    }
    RecordingPipe pipe;
    std::unique_ptr<IncomingTransfer> transfer;
    IncomingTransfer& in() { return *transfer; }
    bool offered = false;
    std::optional<IncomingResult> result;
};

OfferEntry File(const std::string& path, std::uint64_t size) {
    return {EntryKind::kFile, path, size};
}

class LyingSender : public ::testing::Test {
protected:
    void SetUp() override {
        inside = fs::path(top.path()) / "inside";
        fs::create_directories(inside);
    }
    // Nothing was written beside the chosen folder.
    void ExpectNothingOutside() {
        for (const auto& e : fs::directory_iterator(top.path()))
            EXPECT_EQ(e.path(), inside) << e.path();
    }
    TempFolder top;
    fs::path inside;
};

TEST_F(LyingSender, AnOfferThatBreaksItsOwnRulesIsDeclinedAsBad) {
    struct Case {
        const char* what;
        std::vector<OfferEntry> entries;
        std::optional<std::uint64_t> total;
        std::optional<std::uint32_t> count;
    };
    const std::vector<Case> cases = {
        {"climbing out", {File("../evil", 3)}, {}, {}},
        {"climbing out inside", {File("a/../../evil", 3)}, {}, {}},
        {"absolute", {File("/tmp/evil", 3)}, {}, {}},
        {"the same path twice", {File("a", 1), File("a", 1)}, {}, {}},
        {"a file as a folder", {File("a", 1), File("a/b", 1)}, {}, {}},
        {"a total that does not add up", {File("a", 1)}, 5, {}},
        {"fewer entries than announced", {File("a", 1)}, {}, 2},
    };
    for (const auto& c : cases) {
        Receiver r(inside.string());
        r.Offer(3, c.entries, c.total, c.count);
        const auto decline = r.pipe.WaitFor<Decline>(0ms);
        ASSERT_TRUE(decline) << c.what;
        EXPECT_EQ(decline->reason, DeclineReason::kBadOffer) << c.what;
        EXPECT_FALSE(r.offered) << c.what;
        ASSERT_TRUE(r.result) << c.what;
        EXPECT_EQ(r.result->end, TransferEnd::kFailed);
    }
    {
        Receiver r(inside.string());
        r.in().OnMessage(OfferBegin{3, 1, 1});
        r.in().OnMessage(OfferEntries{3, 0, {File("a", 1), File("b", 0)}});
        EXPECT_TRUE(r.pipe.WaitFor<Decline>(0ms)) << "more entries than announced";
    }
    ExpectNothingOutside();
    EXPECT_TRUE(fs::is_empty(inside));
}

TEST_F(LyingSender, DataOutOfPlaceCancelsAndNothingIsSaved) {
    struct Case {
        const char* what;
        std::vector<FileMessage> sent;
    };
    const std::vector<Case> cases = {
        {"more bytes than announced", {Data{3, 1, 0, "hello!"}}},
        {"a gap", {Data{3, 1, 2, "ll"}}},
        {"an overlap", {Data{3, 1, 0, "hel"}, Data{3, 1, 2, "ll"}}},
        {"a folder's index", {Data{3, 0, 0, "x"}}},
        {"an index beyond the offer", {Data{3, 9, 0, "x"}}},
        {"a file not accepted", {Data{3, 2, 0, "x"}}},
        {"the end before all bytes", {Data{3, 1, 0, "he"}, FileDone{3, 1, HashOf("he")}}},
        {"data of the next file first", {Data{3, 1, 0, "he"}, Data{3, 3, 0, "x"}}},
    };
    for (const auto& c : cases) {
        TempFolder sub_top;
        const fs::path folder = fs::path(sub_top.path()) / "in";
        fs::create_directories(folder);
        WriteFile(folder / "taken", "mine");  // not replaced, so not accepted
        Receiver r(folder.string());
        r.Offer(3, {{EntryKind::kFolder, "d", 0}, File("f", 5), File("taken", 1), File("g", 1)});
        ASSERT_TRUE(r.pipe.WaitFor<Accept>(0ms)) << c.what;
        for (const auto& m : c.sent) r.in().OnMessage(m);
        EXPECT_TRUE(r.pipe.WaitFor<Cancel>(0ms)) << c.what;
        ASSERT_TRUE(r.result) << c.what;
        EXPECT_EQ(r.result->end, TransferEnd::kFailed) << c.what;
        for (const auto& f : r.result->files) EXPECT_FALSE(f.ok()) << c.what << " " << f.path;
        EXPECT_FALSE(fs::exists(folder / "f")) << c.what;
        EXPECT_EQ(ReadFile(folder / "taken"), "mine");
        for (const auto& e : fs::directory_iterator(sub_top.path())) EXPECT_EQ(e.path(), folder);
        // Messages after the end are dropped.
        r.in().OnMessage(Data{3, 1, 0, "h"});
        EXPECT_EQ(r.pipe.All<Cancel>().size(), 1u);
    }
}

TEST_F(LyingSender, AWrongHashIsNeverReportedAsSavedAndTheBytesStayPartial) {
    Receiver r(inside.string());
    r.Offer(3, {File("f", 4), File("g", 0)});
    ASSERT_TRUE(r.pipe.WaitFor<Accept>(0ms));
    r.in().OnMessage(Data{3, 0, 0, "abcd"});
    r.in().OnMessage(FileDone{3, 0, HashOf("abce")});
    r.in().OnMessage(FileDone{3, 1, HashOf("")});
    const auto results = r.pipe.All<FileResult>();
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0].status, FileStatus::kHashMismatch);
    EXPECT_EQ(results[1].status, FileStatus::kOk);
    ASSERT_TRUE(r.result);
    EXPECT_FALSE(r.result->files[0].ok());
    EXPECT_TRUE(r.result->files[0].saved_path.empty());
    EXPECT_FALSE(fs::exists(inside / "f"));
    EXPECT_EQ(ReadFile(inside / "f.part"), "abcd");
    EXPECT_TRUE(fs::exists(inside / "g"));
}

TEST_F(LyingSender, AResumedFileIsCheckedWithTheBeginningThatIsHere) {
    // The hash goes on from the bytes that were here: an honest end matches, one over another
    // beginning does not, and neither does a beginning changed after the Accept.
    struct Case {
        const char* what;
        std::string sender_hashes;
        bool change_here;
        FileStatus status;
    };
    const std::vector<Case> cases = {
        {"the same beginning", "xycd", false, FileStatus::kOk},
        {"another beginning", "abcd", false, FileStatus::kHashMismatch},
        {"a beginning changed since", "xycd", true, FileStatus::kHashMismatch},
    };
    for (const auto& c : cases) {
        TempFolder sub;
        WriteFile(fs::path(sub.path()) / "f.part", "xy");
        Receiver r(sub.path());
        r.Offer(3, {File("f", 4)});
        const auto accept = r.pipe.WaitFor<Accept>(0ms);
        ASSERT_TRUE(accept) << c.what;
        ASSERT_EQ(accept->files.size(), 1u);
        EXPECT_EQ(accept->files[0].have, 2u);
        EXPECT_EQ(accept->files[0].prefix, HashOf("xy"));
        if (c.change_here) {
            std::this_thread::sleep_for(50ms);  // past the file system's clock step
            WriteFile(fs::path(sub.path()) / "f.part", "zz");
        }
        r.in().OnMessage(Data{3, 0, 2, "cd"});
        r.in().OnMessage(FileDone{3, 0, HashOf(c.sender_hashes)});
        const auto results = r.pipe.All<FileResult>();
        ASSERT_EQ(results.size(), 1u) << c.what;
        EXPECT_EQ(results[0].status, c.status) << c.what;
        ASSERT_TRUE(r.result);
        EXPECT_EQ(r.result->files[0].ok(), c.status == FileStatus::kOk) << c.what;
        const std::string kept = c.change_here ? "zzcd" : "xycd";
        EXPECT_EQ(ReadFile(fs::path(sub.path()) / (c.status == FileStatus::kOk ? "f" : "f.part")),
                  kept)
            << c.what;
    }
}

TEST_F(LyingSender, AWriteThatFailsMidStreamIsReportedAndWhatCameStays) {
    // A file size limit stops the second write part way, as a full disk would.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{1000, 1000};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(10);
        Receiver r(inside.string());
        r.Offer(3, {File("f", 1800), File("g", 1)});
        if (!r.pipe.WaitFor<Accept>(0ms)) ::_exit(11);
        const std::string a(600, 'a'), b(600, 'b'), c(600, 'c');
        r.in().OnMessage(Data{3, 0, 0, a});
        r.in().OnMessage(Data{3, 0, 600, b});
        r.in().OnMessage(Data{3, 0, 1200, c});  // on the way meanwhile: never written
        r.in().OnMessage(FileDone{3, 0, HashOf(a + b + c)});
        r.in().OnMessage(Data{3, 1, 0, "g"});
        r.in().OnMessage(FileDone{3, 1, HashOf("g")});
        const auto results = r.pipe.All<FileResult>();
        if (results.size() != 2 || results[0].status != FileStatus::kWriteFailed) ::_exit(12);
        if (results[0].text.find("f.part") == std::string::npos) ::_exit(13);
        if (results[1].status != FileStatus::kOk) ::_exit(14);
        if (!r.result || r.result->end != TransferEnd::kFinished || r.result->files[0].ok())
            ::_exit(15);
        if (!r.pipe.All<Cancel>().empty()) ::_exit(16);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(fs::file_size(inside / "f.part"), 1000u);  // what was written stays
    EXPECT_FALSE(fs::exists(inside / "f"));
    EXPECT_EQ(ReadFile(inside / "g"), "g");
}

TEST_F(LyingSender, ASecondOfferMeanwhileIsDeclinedAsBusy) {
    Receiver r(inside.string());
    r.Offer(3, {File("f", 4)});
    r.in().OnMessage(OfferBegin{4, 1, 1});
    const auto decline = r.pipe.WaitFor<Decline>(0ms);
    ASSERT_TRUE(decline);
    EXPECT_EQ(decline->offer, 4u);
    EXPECT_EQ(decline->reason, DeclineReason::kBusy);
    EXPECT_FALSE(r.result);  // the first goes on
}

TEST(LyingReceiver, AnAcceptOutsideTheOfferCancelsIt) {
    TempFolder source;
    WriteFile(fs::path(source.path()) / "a", "four");
    WriteFile(fs::path(source.path()) / "d" / "b", "x");
    std::string error;
    auto offer = BuildOffer({source.path() + "/a", source.path() + "/d"}, error);
    ASSERT_TRUE(offer) << error;
    const std::vector<Accept> accepts = {
        {5, true, {{7, 0, {}}}},               // no such index
        {5, true, {{0, 5, HashOf("four!")}}},  // more there than the file holds
    };
    for (const auto& accept : accepts) {
        RecordingPipe pipe;
        std::optional<OutgoingResult> result;
        OutgoingTransfer out(5, *offer, pipe, {{}, [&](const OutgoingResult& r) { result = r; }});
        out.Start();
        ASSERT_TRUE(pipe.WaitFor<OfferEnd>());
        out.OnMessage(accept);
        ASSERT_TRUE(out.Wait(kLong));
        EXPECT_EQ(result->end, TransferEnd::kFailed);
        EXPECT_TRUE(pipe.WaitFor<Cancel>(0ms));
        EXPECT_TRUE(pipe.All<Data>().empty());
    }
}

// An offer cancelled before it started still ends once, and the peer hears nothing of it.
TEST(CancelledSender, BeforeItStartsItEndsOnceAndSaysNothing) {
    TempFolder source;
    WriteFile(fs::path(source.path()) / "a", "four");
    std::string error;
    auto offer = BuildOffer({source.path() + "/a"}, error);
    ASSERT_TRUE(offer) << error;
    RecordingPipe pipe;
    int ended = 0;
    std::optional<OutgoingResult> result;
    OutgoingTransfer out(9, *offer, pipe, {{}, [&](const OutgoingResult& r) {
                                               ++ended;
                                               result = r;
                                           }});
    out.Cancel("changed my mind");
    out.Start();
    ASSERT_TRUE(out.Wait(kLong));
    EXPECT_EQ(ended, 1);
    EXPECT_EQ(result->end, TransferEnd::kCancelledHere);
    EXPECT_TRUE(pipe.All<OfferBegin>().empty());
    EXPECT_TRUE(pipe.All<Cancel>().empty());
}

}  // namespace
}  // namespace quorell::files::test
