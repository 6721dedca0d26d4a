#include "session/file_messages.h"

#include <gtest/gtest.h>

#include "session/message.h"

namespace quorell::session {
namespace {

Hello OurHello() {
    return Hello{1, "Quorell 1.0", {"chat", "events", "file/1"}, 52000, "alice@laptop"};
}

Sha256 Hash(std::uint8_t fill) {
    Sha256 h{};
    h.fill(fill);
    h[31] = 0x5A;
    return h;
}

std::vector<Message> FileSamples() {
    return {
        FileMessage{OfferBegin{7, kMaxOfferEntries, ~0ULL}},
        FileMessage{OfferEntries{7,
                                 0,
                                 {{EntryKind::kFolder, "照片", 0},
                                  {EntryKind::kFile, "照片/a.jpg", 123456789012ULL},
                                  {EntryKind::kFile, "照片/empty", 0}}}},
        FileMessage{OfferEntries{7, kMaxOfferEntries - 1, {{EntryKind::kFile, "last", 1}}}},
        FileMessage{OfferEnd{7}},
        FileMessage{Accept{7, false, {{1, 0, {}}, {2, 4096, Hash(0xAB)}}}},
        FileMessage{Accept{7, true, {}}},
        FileMessage{Decline{8, DeclineReason::kBusy, "another offer is in progress"}},
        FileMessage{Decline{8, static_cast<DeclineReason>(900), ""}},
        FileMessage{Data{7, 1, 0, std::string("\0\xFF\xC0\x80", 4)}},
        FileMessage{Data{7, 1, 4, std::string(kMaxDataBytes, 'd')}},
        FileMessage{FileDone{7, 2, Hash(3)}},
        FileMessage{FileResult{7, 2, FileStatus::kHashMismatch, "不一样"}},
        FileMessage{FileResult{7, 1, FileStatus::kCancelled, ""}},
        FileMessage{Cancel{7, "the user stopped it"}},
    };
}

std::string Raw(std::uint16_t type, const std::string& payload) {
    std::string out;
    const auto size = static_cast<std::uint32_t>(payload.size());
    for (int shift : {24, 16, 8, 0}) out.push_back(static_cast<char>(size >> shift));
    out += {static_cast<char>(type >> 8), static_cast<char>(type), 0, 0};
    return out + payload;
}
std::string Be(std::uint64_t v, int bytes) {
    std::string out;
    for (int k = bytes - 1; k >= 0; --k) out.push_back(static_cast<char>(v >> (8 * k)));
    return out;
}
std::string Text(const std::string& s) {
    return Be(s.size(), 4) + s;
}

TEST(FileMessages, EveryTypeRoundTripsThroughTheReaderInAnyCuts) {
    std::vector<Message> messages{OurHello()};
    for (auto& m : FileSamples()) messages.push_back(m);
    std::string bytes;
    for (const auto& m : messages) {
        const std::string one = Encode(m);
        ASSERT_FALSE(one.empty()) << "message " << bytes.size();
        bytes += one;
    }
    for (std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{4096}, bytes.size()}) {
        MessageReader reader;
        std::vector<Message> got;
        for (std::size_t at = 0; at < bytes.size(); at += piece)
            ASSERT_TRUE(reader.Feed(std::string_view(bytes).substr(at, piece), got));
        EXPECT_EQ(got, messages) << "pieces of " << piece;
        EXPECT_FALSE(reader.MidMessage());
    }
}

TEST(FileMessages, ReusedMemoryNeverShowsEarlierBytes) {
    // Encoded into memory that held a longer message, data read into memory that held longer
    // data: each comes out exactly as it went in.
    const std::vector<FileMessage> sent = {Data{1, 2, 0, std::string(kMaxDataBytes, 'a')},
                                           Data{1, 2, 1, "b"}, Cancel{1, "c"},
                                           Data{1, 3, 5, std::string(1000, 'd')}};
    std::string reused(400000, 'z');
    std::string bytes = Encode(OurHello());
    for (const auto& m : sent) {
        ASSERT_TRUE(EncodeTo(m, reused));
        EXPECT_EQ(reused, Encode(m));
        bytes += reused;
    }
    EXPECT_FALSE(EncodeTo(Data{1, 2, 0, ""}, reused));
    EXPECT_TRUE(reused.empty());

    MessageReader reader;
    reader.Recycle(std::string(500000, 'y'));
    std::vector<Message> got;
    for (std::size_t at = 0; at < bytes.size(); at += 16384) {
        const std::size_t before = got.size();
        ASSERT_TRUE(reader.Feed(std::string_view(bytes).substr(at, 16384), got));
        for (std::size_t i = before; i < got.size(); ++i)
            if (auto* file = std::get_if<FileMessage>(&got[i]))
                if (auto* data = std::get_if<Data>(file)) {
                    const Data kept = *data;
                    reader.Recycle(std::move(data->bytes));
                    *data = kept;  // compared below
                }
    }
    ASSERT_EQ(got.size(), sent.size() + 1);
    for (std::size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(got[i + 1], Message{sent[i]}) << i;
}

TEST(FileMessages, FieldsAreLaidOutAsDocumented) {
    const Sha256 one = Hash(1);
    // Type numbers follow the order of FileMessage from 0x0101.
    EXPECT_EQ(Encode(OfferBegin{1, 2, 3}), Raw(0x0101, Be(1, 8) + Be(2, 4) + Be(3, 8)));
    EXPECT_EQ(
        Encode(OfferEntries{5, 9, {{EntryKind::kFile, "a", 10}, {EntryKind::kFolder, "b", 0}}}),
        Raw(0x0102,
            Be(5, 8) + Be(9, 4) + Be(2, 4) + "\x01" + Text("a") + Be(10, 8) + "\x02" + Text("b")));
    EXPECT_EQ(Encode(Accept{5, true, {{3, 0, {}}, {4, 2, Hash(1)}}}),
              Raw(0x0104, Be(5, 8) + "\x01" + Be(2, 4) + Be(3, 4) + Be(0, 8) + Be(4, 4) + Be(2, 8) +
                              std::string(one.begin(), one.end())));
    EXPECT_EQ(Encode(Data{5, 1, 2, "xyz"}),
              Raw(0x0106, Be(5, 8) + Be(1, 4) + Be(2, 8) + Text("xyz")));
    EXPECT_EQ(Encode(Cancel{5, "no"}), Raw(0x0109, Be(5, 8) + Text("no")));
    // A message in the Message variant encodes the same as on its own.
    EXPECT_EQ(Encode(Message{FileMessage{OfferEnd{4}}}), Encode(OfferEnd{4}));
}

TEST(FileMessages, EncodeRefusesWhatIsOutOfRange) {
    const std::vector<FileMessage> refused{
        OfferBegin{1, 0, 0},
        OfferBegin{1, kMaxOfferEntries + 1, 0},
        OfferEntries{1, 0, {}},
        OfferEntries{
            1, kMaxOfferEntries - 1, {{EntryKind::kFile, "a", 1}, {EntryKind::kFile, "b", 1}}},
        OfferEntries{1, 0, {{EntryKind::kFile, std::string(kMaxPathBytes + 1, 'p'), 1}}},
        OfferEntries{1, 0, {{EntryKind::kFile, "", 1}}},
        OfferEntries{1, 0, {{EntryKind::kFile, "bad\xFF", 1}}},
        OfferEntries{1, 0, {{EntryKind::kFolder, "f", 5}}},
        OfferEntries{1, 0, {{static_cast<EntryKind>(3), "x", 0}}},
        Accept{1, true, {{2, 0, {}}, {2, 0, {}}}},
        Accept{1, true, {{3, 0, {}}, {2, 0, {}}}},
        Accept{1, true, {{kMaxOfferEntries, 0, {}}}},
        Decline{1, DeclineReason::kUserDeclined, std::string(kMaxFileTextBytes + 1, 't')},
        Data{1, 0, 0, ""},
        Data{1, 0, 0, std::string(kMaxDataBytes + 1, 'd')},
        Data{1, 0, ~0ULL, "x"},
        Data{1, kMaxOfferEntries, 0, "x"},
        FileResult{1, 0, static_cast<FileStatus>(0), ""},
        FileResult{1, 0, static_cast<FileStatus>(6), ""},
        FileResult{1, 0, FileStatus::kOk, "\xC3"},
        Cancel{1, "\xED\xA0\x80"},
    };
    for (std::size_t i = 0; i < refused.size(); ++i)
        EXPECT_EQ(Encode(refused[i]), "") << "case " << i;
    // The largest of each still goes.
    EXPECT_FALSE(
        Encode(OfferEntries{1, 0, {{EntryKind::kFile, std::string(kMaxPathBytes, 'p'), 1}}})
            .empty());
    EXPECT_FALSE(Encode(Data{1, 0, ~0ULL - 1, "x"}).empty());
    // Entries beyond one message's payload are refused rather than cut.
    OfferEntries many{1, 0, {}};
    for (int i = 0; i < 300; ++i)
        many.entries.push_back({EntryKind::kFile, std::string(4000, 'q'), 1});
    EXPECT_EQ(Encode(many), "");
}

TEST(FileMessages, MalformedPayloadsEndTheStreamWithTheirError) {
    const std::string hello = Encode(OurHello());
    const std::string entry = "\x01" + Text("a") + Be(1, 8);
    struct Case {
        const char* what;
        std::string bytes;
        ReadError error;
    };
    const Case cases[] = {
        {"offer begin cut short", Raw(0x0101, Be(1, 8) + Be(1, 4)), ReadError::kTruncated},
        {"offer of no entries", Raw(0x0101, Be(1, 8) + Be(0, 4) + Be(0, 8)), ReadError::kMalformed},
        {"offer beyond the entry limit",
         Raw(0x0101, Be(1, 8) + Be(kMaxOfferEntries + 1, 4) + Be(0, 8)), ReadError::kMalformed},
        {"entries past the limit",
         Raw(0x0102, Be(1, 8) + Be(kMaxOfferEntries, 4) + Be(1, 4) + entry), ReadError::kMalformed},
        {"a count that wraps the index",
         Raw(0x0102, Be(1, 8) + Be(5, 4) + Be(0xFFFFFFFF, 4) + entry), ReadError::kMalformed},
        {"a count of entries not there", Raw(0x0102, Be(1, 8) + Be(0, 4) + Be(1000, 4) + entry),
         ReadError::kTruncated},
        {"no entries", Raw(0x0102, Be(1, 8) + Be(0, 4) + Be(0, 4)), ReadError::kMalformed},
        {"entry kind 3", Raw(0x0102, Be(1, 8) + Be(0, 4) + Be(1, 4) + "\x03" + Text("a")),
         ReadError::kMalformed},
        {"path beyond 4096 bytes",
         Raw(0x0102,
             Be(1, 8) + Be(0, 4) + Be(1, 4) + "\x01" + Text(std::string(4097, 'p')) + Be(1, 8)),
         ReadError::kMalformed},
        {"empty path", Raw(0x0102, Be(1, 8) + Be(0, 4) + Be(1, 4) + "\x02" + Text("")),
         ReadError::kMalformed},
        {"path not UTF-8", Raw(0x0102, Be(1, 8) + Be(0, 4) + Be(1, 4) + "\x02" + Text("a\xC0\xAF")),
         ReadError::kBadUtf8},
        {"file entry without its size",
         Raw(0x0102, Be(1, 8) + Be(0, 4) + Be(1, 4) + "\x01" + Text("a")), ReadError::kTruncated},
        {"accept last flag 2", Raw(0x0104, Be(1, 8) + "\x02" + Be(0, 4)), ReadError::kMalformed},
        {"accept index repeated",
         Raw(0x0104, Be(1, 8) + "\x01" + Be(2, 4) + Be(3, 4) + Be(0, 8) + Be(3, 4) + Be(0, 8)),
         ReadError::kMalformed},
        {"accept index beyond the limit",
         Raw(0x0104, Be(1, 8) + "\x01" + Be(1, 4) + Be(kMaxOfferEntries, 4) + Be(0, 8)),
         ReadError::kMalformed},
        {"accept of a prefix without its hash",
         Raw(0x0104, Be(1, 8) + "\x01" + Be(1, 4) + Be(0, 4) + Be(10, 8) + std::string(31, 'h')),
         ReadError::kTruncated},
        {"accept count beyond the limit",
         Raw(0x0104, Be(1, 8) + "\x01" + Be(kMaxOfferEntries + 1, 4)), ReadError::kMalformed},
        {"decline text beyond 1024 bytes",
         Raw(0x0105, Be(1, 8) + Be(1, 2) + Text(std::string(1025, 't'))), ReadError::kMalformed},
        {"data over 256 KiB",
         Raw(0x0106, Be(1, 8) + Be(0, 4) + Be(0, 8) + Text(std::string(kMaxDataBytes + 1, 'd'))),
         ReadError::kMalformed},
        {"data of nothing", Raw(0x0106, Be(1, 8) + Be(0, 4) + Be(0, 8) + Text("")),
         ReadError::kMalformed},
        {"data past the largest offset",
         Raw(0x0106, Be(1, 8) + Be(0, 4) + Be(~0ULL, 8) + Text("x")), ReadError::kMalformed},
        {"data shorter than its count",
         Raw(0x0106, Be(1, 8) + Be(0, 4) + Be(0, 8) + Be(10, 4) + "abc"), ReadError::kTruncated},
        {"file done without the whole hash",
         Raw(0x0107, Be(1, 8) + Be(0, 4) + std::string(20, 'h')), ReadError::kTruncated},
        {"result status 0", Raw(0x0108, Be(1, 8) + Be(0, 4) + "\x00" + Text("")),
         ReadError::kMalformed},
        {"result status 6", Raw(0x0108, Be(1, 8) + Be(0, 4) + "\x06" + Text("")),
         ReadError::kMalformed},
        {"cancel text not UTF-8", Raw(0x0109, Be(1, 8) + Text("\xF8\x88\x80\x80\x80")),
         ReadError::kBadUtf8},
        {"file message before hello", Encode(OfferEnd{1}), ReadError::kHelloExpected},
    };
    for (const auto& c : cases) {
        const bool before_hello = c.error == ReadError::kHelloExpected;
        MessageReader reader;
        std::vector<Message> got;
        EXPECT_FALSE(reader.Feed((before_hello ? "" : hello) + c.bytes + Encode(OfferEnd{9}), got))
            << c.what;
        EXPECT_EQ(reader.error(), c.error) << c.what;
        EXPECT_EQ(got.size(), before_hello ? 0u : 1u) << c.what;
    }
}

TEST(FileMessages, TrailingFieldsOfALaterVersionAreIgnored) {
    MessageReader reader;
    std::vector<Message> got;
    ASSERT_TRUE(reader.Feed(Encode(OurHello()) + Raw(0x0103, Be(4, 8) + "later") +
                                Raw(0x0150, "an unknown file type is skipped"),
                            got));
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1], Message{FileMessage{OfferEnd{4}}});
}

}  // namespace
}  // namespace quorell::session
