#include "session/call_messages.h"

#include <gtest/gtest.h>

#include "session/message.h"

namespace quorell::session {
namespace {

Hello OurHello() {
    return Hello{1, "Quorell 1.0", {"chat", "events", kCallCapability}, 52000, "alice@laptop"};
}

// Each type with its fields at the edges of their ranges.
std::vector<Message> CallSamples() {
    const std::string candidate = "candidate:1 1 UDP 2015363327 127.0.0.1 40000 typ host";
    return {
        CallMessage{CallInvite{~0ULL, CallMedia::kVoice}},
        CallMessage{CallInvite{1, CallMedia::kVideo}},
        CallMessage{CallAccept{0x0102030405060708}},
        CallMessage{CallDecline{5, CallDeclineReason::kBusy, std::string(kMaxCallTextBytes, 't')}},
        CallMessage{CallDecline{5, static_cast<CallDeclineReason>(0), ""}},
        CallMessage{CallDecline{5, static_cast<CallDeclineReason>(900), "不要"}},
        CallMessage{CallDescription{5, SdpKind::kOffer, "v=0\r\n"}},
        CallMessage{CallDescription{5, SdpKind::kAnswer, std::string(kMaxSdpBytes, 's')}},
        CallMessage{CallCandidate{5, 0, candidate}},
        CallMessage{CallCandidate{5, kMaxMline, std::string(kMaxCandidateBytes, 'c')}},
        CallMessage{CallStop{5, ""}},
        CallMessage{CallStop{5, std::string(kMaxCallTextBytes, 'x')}},
    };
}

std::string Be(std::uint64_t v, int bytes) {
    std::string out;
    for (int k = bytes - 1; k >= 0; --k) out.push_back(static_cast<char>(v >> (8 * k)));
    return out;
}
std::string Raw(std::uint16_t type, const std::string& payload, std::uint16_t flags = 0) {
    return Be(payload.size(), 4) + Be(type, 2) + Be(flags, 2) + payload;
}
std::string Text(const std::string& s) {
    return Be(s.size(), 4) + s;
}

TEST(CallMessages, EveryTypeRoundTripsThroughTheReaderInAnyCutsAsDocumented) {
    std::vector<Message> messages{OurHello()};
    for (auto& m : CallSamples()) messages.push_back(m);
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

    // Type numbers follow the order of CallMessage from 0x0201.
    EXPECT_EQ(Encode(CallInvite{1, CallMedia::kVideo}), Raw(0x0201, Be(1, 8) + "\x02"));
    EXPECT_EQ(Encode(CallAccept{2}), Raw(0x0202, Be(2, 8)));
    EXPECT_EQ(Encode(CallDecline{3, CallDeclineReason::kUnavailable, "no"}),
              Raw(0x0203, Be(3, 8) + Be(3, 2) + Text("no")));
    EXPECT_EQ(Encode(CallDescription{4, SdpKind::kAnswer, "v=0"}),
              Raw(0x0204, Be(4, 8) + "\x02" + Text("v=0")));
    EXPECT_EQ(Encode(CallCandidate{5, 1, "candidate:x"}),
              Raw(0x0205, Be(5, 8) + Be(1, 4) + Text("candidate:x")));
    EXPECT_EQ(Encode(CallStop{6, "bye"}), Raw(0x0206, Be(6, 8) + Text("bye")));
    EXPECT_EQ(Encode(Message{CallMessage{CallAccept{2}}}), Encode(CallAccept{2}));
    EXPECT_EQ(CallOf(CallCandidate{77, 0, "c"}), 77u);
}

TEST(CallMessages, EncodeRefusesWhatIsOutOfRange) {
    const std::vector<CallMessage> refused{
        CallInvite{1, static_cast<CallMedia>(0)},
        CallInvite{1, static_cast<CallMedia>(3)},
        CallDecline{1, CallDeclineReason::kBusy, std::string(kMaxCallTextBytes + 1, 't')},
        CallDescription{1, static_cast<SdpKind>(0), "v=0"},
        CallDescription{1, static_cast<SdpKind>(3), "v=0"},
        CallDescription{1, SdpKind::kOffer, ""},
        CallDescription{1, SdpKind::kOffer, std::string(kMaxSdpBytes + 1, 's')},
        CallDescription{1, SdpKind::kOffer, "v=0\xC0\x80"},
        CallCandidate{1, 0, ""},
        CallCandidate{1, 0, std::string(kMaxCandidateBytes + 1, 'c')},
        CallCandidate{1, kMaxMline + 1, "candidate:x"},
        CallCandidate{1, ~0u, "candidate:x"},
        CallStop{1, "\xED\xA0\x80"},
    };
    for (std::size_t i = 0; i < refused.size(); ++i)
        EXPECT_EQ(Encode(refused[i]), "") << "case " << i;
}

TEST(CallMessages, MalformedOrTruncatedPayloadsEndTheStreamWithTheirError) {
    const std::string hello = Encode(OurHello());
    struct Case {
        const char* what;
        std::string bytes;
        ReadError error;
    };
    const Case cases[] = {
        {"invite media 0", Raw(0x0201, Be(1, 8) + Be(0, 1)), ReadError::kMalformed},
        {"invite media 3", Raw(0x0201, Be(1, 8) + "\x03"), ReadError::kMalformed},
        {"decline text beyond 1024 bytes",
         Raw(0x0203, Be(1, 8) + Be(1, 2) + Text(std::string(1025, 't'))), ReadError::kMalformed},
        {"description kind 3", Raw(0x0204, Be(1, 8) + "\x03" + Text("v=0")), ReadError::kMalformed},
        {"empty description", Raw(0x0204, Be(1, 8) + "\x01" + Text("")), ReadError::kMalformed},
        {"description beyond 64 KiB",
         Raw(0x0204, Be(1, 8) + "\x01" + Text(std::string(kMaxSdpBytes + 1, 's'))),
         ReadError::kMalformed},
        {"description not UTF-8", Raw(0x0204, Be(1, 8) + "\x02" + Text("v=0\xFF")),
         ReadError::kBadUtf8},
        {"candidate m-line 16", Raw(0x0205, Be(1, 8) + Be(16, 4) + Text("c")),
         ReadError::kMalformed},
        {"empty candidate", Raw(0x0205, Be(1, 8) + Be(0, 4) + Text("")), ReadError::kMalformed},
        {"candidate beyond 1024 bytes",
         Raw(0x0205, Be(1, 8) + Be(0, 4) + Text(std::string(1025, 'c'))), ReadError::kMalformed},
        {"stop text not UTF-8", Raw(0x0206, Be(1, 8) + Text("\xC3")), ReadError::kBadUtf8},
        {"call message before hello", Encode(CallAccept{1}), ReadError::kHelloExpected},
    };
    std::vector<Case> all(std::begin(cases), std::end(cases));
    // Every payload cut anywhere before its last byte.
    for (const auto& m : CallSamples()) {
        const std::string whole = Encode(m);
        const auto type = static_cast<std::uint16_t>((static_cast<unsigned char>(whole[4]) << 8) |
                                                     static_cast<unsigned char>(whole[5]));
        const std::string payload = whole.substr(kHeaderSize);
        for (std::size_t size : {std::size_t{0}, std::size_t{7}, std::size_t{8}, std::size_t{9},
                                 std::size_t{12}, payload.size() - 1})
            if (size < payload.size())
                all.push_back(
                    {"cut short", Raw(type, payload.substr(0, size)), ReadError::kTruncated});
    }
    for (const auto& c : all) {
        const bool before_hello = c.error == ReadError::kHelloExpected;
        MessageReader reader;
        std::vector<Message> got;
        EXPECT_FALSE(
            reader.Feed((before_hello ? "" : hello) + c.bytes + Encode(CallAccept{9}), got))
            << c.what << " " << c.bytes.size();
        EXPECT_EQ(reader.error(), c.error) << c.what << " " << c.bytes.size();
        EXPECT_EQ(got.size(), before_hello ? 0u : 1u) << c.what;
    }
}

TEST(CallMessages, LaterFieldsAndLaterCallTypesAreSkippedUnlessMarked) {
    MessageReader reader;
    std::vector<Message> got;
    ASSERT_TRUE(reader.Feed(Encode(OurHello()) + Raw(0x0202, Be(4, 8) + "later") +
                                Raw(0x0207, "an unknown call type is skipped") +
                                Raw(0x02FF, "and so is this"),
                            got));
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1], Message{CallMessage{CallAccept{4}}});
    EXPECT_FALSE(reader.Feed(Raw(0x0207, "", kFlagMustUnderstand), got));
    EXPECT_EQ(reader.error(), ReadError::kMustUnderstand);
}

}  // namespace
}  // namespace quorell::session
