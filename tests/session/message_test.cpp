#include "session/message.h"

#include <gtest/gtest.h>

namespace quorell::session {
namespace {

Hello OurHello() {
    return Hello{1, "Quorell 1.0", {"chat", "events", "file/1"}, 52000, "alice@laptop"};
}

std::vector<Message> SampleMessages() {
    return {OurHello(),
            Chat{"hello, \xE4\xB8\x96\xE7\x95\x8C"},
            Chat{""},
            Event{EventCode::kVideoStarted, 6000},
            Event{EventCode::kFileCancelled, std::nullopt},
            Ping{0x0102030405060708},
            Pong{~0ULL},
            Bye{ByeReason::kShuttingDown, "bye"},
            Error{ErrorCode::kMustUnderstand, "type 900"},
            Commit{Digest{1, 2, 3}},
            Reveal{Digest{0xFF, 0, 0xFE}}};
}

std::string Stream(const std::vector<Message>& messages) {
    std::string bytes;
    for (const auto& m : messages) bytes += Encode(m);
    return bytes;
}

// A raw message as a peer might send it, valid or not.
std::string Raw(std::uint16_t type, std::uint16_t flags, const std::string& payload,
                std::uint32_t declared) {
    std::string out;
    for (int shift : {24, 16, 8, 0}) out.push_back(static_cast<char>(declared >> shift));
    out += {static_cast<char>(type >> 8), static_cast<char>(type), static_cast<char>(flags >> 8),
            static_cast<char>(flags)};
    return out + payload;
}
std::string Raw(std::uint16_t type, std::uint16_t flags, const std::string& payload) {
    return Raw(type, flags, payload, static_cast<std::uint32_t>(payload.size()));
}
std::string Text(const std::string& s) {
    return std::string{0, 0, static_cast<char>(s.size() >> 8), static_cast<char>(s.size())} + s;
}

struct Outcome {
    std::vector<Message> messages;
    ReadError error;
    bool mid_message;
};
Outcome Read(const std::string& bytes) {
    MessageReader reader;
    Outcome o;
    reader.Feed(bytes, o.messages);
    o.error = reader.error();
    o.mid_message = reader.MidMessage();
    return o;
}

TEST(SessionMessage, EveryTypeRoundTripsAndTheHeaderIsBigEndian) {
    const auto messages = SampleMessages();
    const auto got = Read(Stream(messages));
    EXPECT_EQ(got.error, ReadError::kNone);
    EXPECT_FALSE(got.mid_message);
    EXPECT_EQ(got.messages, messages);

    const std::string ping = Encode(Ping{1});
    EXPECT_EQ(ping.substr(0, 8), std::string("\0\0\0\x08\0\x04\0\0", 8));
    EXPECT_EQ(ping.size(), 16u);
}

TEST(SessionMessage, EverySplitOfAStreamGivesTheSameMessages) {
    const auto messages = SampleMessages();
    const std::string bytes = Stream(messages);
    for (std::size_t cut = 0; cut <= bytes.size(); ++cut) {
        MessageReader reader;
        std::vector<Message> got;
        ASSERT_TRUE(reader.Feed(std::string_view(bytes).substr(0, cut), got));
        ASSERT_TRUE(reader.Feed(std::string_view(bytes).substr(cut), got));
        ASSERT_EQ(got, messages) << "cut at " << cut;
    }
    MessageReader reader;
    std::vector<Message> got;
    for (char c : bytes) ASSERT_TRUE(reader.Feed(std::string_view(&c, 1), got));
    EXPECT_EQ(got, messages);
}

TEST(SessionMessage, EncodeRefusesWhatItMustNotSend) {
    EXPECT_TRUE(Encode(Chat{std::string(kMaxChatBytes, 'a')}).size() > kMaxChatBytes);
    EXPECT_EQ(Encode(Chat{std::string(kMaxChatBytes + 1, 'a')}), "");
    EXPECT_EQ(Encode(Chat{"\xC0\x80"}), "");      // overlong NUL
    EXPECT_EQ(Encode(Chat{"\xED\xA0\x80"}), "");  // surrogate
    EXPECT_EQ(Encode(Bye{ByeReason::kIdle, "\xFF"}), "");
    EXPECT_EQ(Encode(Hello{0, "x", {}, 1, ""}), "");
    EXPECT_EQ(Encode(Hello{1, "x", {"Chat"}, 1, ""}), "");
    EXPECT_EQ(Encode(Hello{1, "x", {""}, 1, ""}), "");
    EXPECT_EQ(Encode(Hello{1, "x", std::vector<std::string>(kMaxCapabilities + 1, "a"), 1, ""}),
              "");
    EXPECT_EQ(Encode(Hello{1, "x", {}, 1, std::string(kMaxNameBytes + 1, 'n')}), "");
    EXPECT_EQ(Encode(Hello{1, "x", {}, 1, "\xC3"}), "");
    EXPECT_FALSE(Encode(Hello{1, "x", {}, 1, std::string(kMaxNameBytes, 'n')}).empty());
}

TEST(SessionMessage, MalformedInputGivesItsError) {
    const std::string hello = Encode(OurHello());
    struct Case {
        const char* what;
        std::string bytes;
        ReadError error;
    };
    const Case cases[] = {
        {"length beyond the maximum", hello + Raw(2, 0, "", kMaxPayload + 1), ReadError::kTooLarge},
        {"text longer than its payload", hello + Raw(2, 0, Text("abc").substr(0, 6)),
         ReadError::kTruncated},
        {"ping payload too short", hello + Raw(4, 0, "1234567"), ReadError::kTruncated},
        {"chat beyond 64 KiB",
         hello + Raw(2, 0, Text("").replace(0, 4, std::string("\0\1\0\1", 4))),
         ReadError::kMalformed},
        {"bad UTF-8 in chat", hello + Raw(2, 0, Text("a\x80")), ReadError::kBadUtf8},
        {"bad UTF-8 in program", Raw(1, 0, std::string("\0\1", 2) + Text("\xF5") + "\0\0\0"),
         ReadError::kBadUtf8},
        {"hello version 0", Raw(1, 0, std::string("\0\0", 2) + Text("") + "\0\0\0"),
         ReadError::kMalformed},
        {"bad capability name",
         Raw(1, 0, std::string("\0\1", 2) + Text("") + "\x01\x02" + "A!" + "\0\0"),
         ReadError::kMalformed},
        {"event value flag 2", hello + Raw(3, 0, std::string("\0\1\2", 3)), ReadError::kMalformed},
        {"unknown must-understand type", hello + Raw(900, kFlagMustUnderstand, "x"),
         ReadError::kMustUnderstand},
        {"chat before hello", Encode(Chat{"hi"}), ReadError::kHelloExpected},
        {"unknown type before hello", Raw(900, 0, ""), ReadError::kHelloExpected},
        {"second hello", hello + hello, ReadError::kHelloExpected},
        {"hello without a name",
         Raw(1, 0, std::string("\0\1", 2) + Text("") + std::string("\0\0\0", 3)),
         ReadError::kTruncated},
        {"name beyond 256 bytes",
         Raw(1, 0,
             std::string("\0\1", 2) + Text("") + std::string("\0\0\0", 3) +
                 Text(std::string(257, 'n'))),
         ReadError::kMalformed},
        {"bad UTF-8 in name",
         Raw(1, 0, std::string("\0\1", 2) + Text("") + std::string("\0\0\0", 3) + Text("\xC3")),
         ReadError::kBadUtf8},
        {"commit under 32 bytes", hello + Raw(8, 0, std::string(31, 'c')), ReadError::kTruncated},
        {"reveal under 32 bytes", hello + Raw(9, 0, ""), ReadError::kTruncated},
    };
    for (const auto& c : cases) {
        MessageReader reader;
        std::vector<Message> got;
        EXPECT_FALSE(reader.Feed(c.bytes + Encode(Chat{"after"}), got)) << c.what;
        EXPECT_EQ(reader.error(), c.error) << c.what;
        // Nothing after the fault is taken, now or later.
        EXPECT_FALSE(reader.Feed(Encode(Chat{"later"}), got)) << c.what;
        for (const auto& m : got) EXPECT_FALSE(std::holds_alternative<Chat>(m)) << c.what;
    }
    MessageReader reader;
    std::vector<Message> got;
    reader.Feed(hello + Raw(900, kFlagMustUnderstand, ""), got);
    EXPECT_EQ(reader.error_type(), 900);
    EXPECT_EQ(ErrorCodeFor(reader.error()), ErrorCode::kMustUnderstand);
    EXPECT_EQ(ErrorCodeFor(ReadError::kTruncated), ErrorCode::kMalformed);
}

TEST(SessionMessage, MemoryFollowsTheBytesThatCameNotTheDeclaredLength) {
    const std::string hello = Encode(OurHello());
    MessageReader reader;
    std::vector<Message> got;
    ASSERT_TRUE(reader.Feed(hello + Raw(2, 0, Text("ab"), kMaxPayload), got));
    EXPECT_LT(reader.HeldBytes(), 1024u);
    // Many readers each told of a whole payload cost little until the bytes come.
    std::vector<MessageReader> many(64);
    std::size_t held = 0;
    for (auto& r : many) {
        r.Feed(hello + Raw(2, 0, "", kMaxPayload), got);
        held += r.HeldBytes();
    }
    EXPECT_LT(held, 64u * 1024);
    // A large message that did come is let go once read.
    const std::string big = Encode(Chat{std::string(kMaxChatBytes, 'x')});
    ASSERT_TRUE(reader.Feed(std::string(kMaxPayload - 6, 'x'), got));
    ASSERT_TRUE(reader.Feed(big, got));
    EXPECT_LT(reader.HeldBytes(), 64u * 1024 + 1024);
}

TEST(SessionMessage, AStreamCutInsideAMessageIsSeen) {
    const std::string hello = Encode(OurHello());
    EXPECT_TRUE(Read(hello.substr(0, 3)).mid_message);
    EXPECT_TRUE(Read(hello.substr(0, hello.size() - 1)).mid_message);
    EXPECT_FALSE(Read(hello).mid_message);
}

TEST(SessionMessage, UnknownOptionalTypesAndTrailingFieldsAreSkipped) {
    const std::string big(kMaxPayload, 'z');
    const std::string bytes = Encode(OurHello()) + Raw(0x0100, 0, "file offer") +
                              Raw(0x7FFF, 0x8002, big) + Raw(4, 0, std::string(8, '\1') + "more") +
                              Encode(Chat{"next"});
    const auto got = Read(bytes);
    EXPECT_EQ(got.error, ReadError::kNone);
    const std::vector<Message> want{OurHello(), Ping{0x0101010101010101}, Chat{"next"}};
    EXPECT_EQ(got.messages, want);
    // An event code this version does not know comes through for the caller to ignore.
    const auto unknown = Read(Encode(OurHello()) + Raw(3, 0, std::string("\x7F\x01\0", 3)));
    ASSERT_EQ(unknown.messages.size(), 2u);
    EXPECT_EQ(std::get<Event>(unknown.messages[1]).code, static_cast<EventCode>(0x7F01));
}

TEST(SessionNegotiate, LowestVersionAndSharedCapabilities) {
    const Hello ours{3, "a", {"chat", "events", "file/1", "media/1", "chat"}, 1, ""};
    const Hello theirs{2, "b", {"media/1", "chat", "file/2"}, 2, ""};
    const auto a = Negotiate(ours, theirs);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->version, 2);
    EXPECT_EQ(a->capabilities, (std::vector<std::string>{"chat", "media/1"}));
    EXPECT_TRUE(a->Has("media/1"));
    EXPECT_FALSE(a->Has("file/1"));
    EXPECT_EQ(Negotiate(theirs, ours)->version, 2);
    EXPECT_TRUE(Negotiate(ours, Hello{1, "c", {}, 3, ""})->capabilities.empty());
    EXPECT_FALSE(Negotiate(ours, Hello{0, "c", {"chat"}, 3, ""}));
}

}  // namespace
}  // namespace quorell::session
