#pragma once

// The messages two copies of the program exchange inside their encrypted session, their byte
// form, and the negotiation of version and capabilities. Pure: no sockets, no encryption.
// docs/session-protocol.md is the reference for every byte written here.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "session/call_messages.h"
#include "session/file_messages.h"

namespace quorell::session {

inline constexpr std::size_t kHeaderSize = 8;
inline constexpr std::uint32_t kMaxPayload = 1024 * 1024;
inline constexpr std::uint16_t kProtocolVersion = 1;
inline constexpr std::uint16_t kFlagMustUnderstand = 0x0001;

inline constexpr std::size_t kMaxChatBytes = 64 * 1024;
inline constexpr std::size_t kMaxProgramBytes = 256;
inline constexpr std::size_t kMaxNameBytes = 256;
inline constexpr std::size_t kMaxReasonBytes = 1024;
inline constexpr std::size_t kMaxCapabilities = 64;
inline constexpr std::size_t kMaxCapabilityBytes = 32;

enum class Type : std::uint16_t {
    kHello = 1,
    kChat = 2,
    kEvent = 3,
    kPing = 4,
    kPong = 5,
    kBye = 6,
    kError = 7,
    kCommit = 8,
    kReveal = 9,
};

// What a feature reports to the peer. The high byte names the feature.
enum class EventCode : std::uint16_t {
    kConnected = 0x0001,
    kFileOffered = 0x0101,
    kFileAccepted = 0x0102,
    kFileDeclined = 0x0103,
    kFileCancelled = 0x0104,
    kVideoStarted = 0x0201,  // value: the video port
    kVideoStopped = 0x0202,
    kVoiceStarted = 0x0301,  // value: the voice port
    kVoiceStopped = 0x0302,
    // The rest of what the window tells the peer, one code per notice of the plain protocol.
    kAddressTold = 0x0002,  // value: the sender's IPv4 address; not sent (the session knows it)
    kFileCompleted = 0x0105,
    kVideoReceiving = 0x0203,
    kVideoNotReceiving = 0x0204,
    kVideoPort = 0x0205,  // value: the video port
    kVoiceReceiving = 0x0303,
    kVoiceNotReceiving = 0x0304,
    kVoicePort = 0x0305,  // value: the voice port
};

enum class ByeReason : std::uint16_t {
    kUserClosed = 1,
    kShuttingDown = 2,
    kIdle = 3,
};

enum class ErrorCode : std::uint16_t {
    kMalformed = 1,
    kTooLarge = 2,
    kBadUtf8 = 3,
    kMustUnderstand = 4,
    kHelloExpected = 5,
    kNoCommonVersion = 6,
    kVerificationFailed = 7,
};

struct Hello {
    std::uint16_t version = kProtocolVersion;
    std::string program;
    std::vector<std::string> capabilities;
    std::uint16_t port = 0;
    std::string name;  // what the user's copy calls itself, e.g. "alice@laptop"
    bool operator==(const Hello&) const = default;
};
struct Chat {
    std::string text;
    bool operator==(const Chat&) const = default;
};
// Codes this version does not know are kept as they came; the receiver ignores them.
struct Event {
    EventCode code = EventCode::kConnected;
    std::optional<std::uint32_t> value;
    bool operator==(const Event&) const = default;
};
struct Ping {
    std::uint64_t token = 0;
    bool operator==(const Ping&) const = default;
};
struct Pong {
    std::uint64_t token = 0;
    bool operator==(const Pong&) const = default;
};
struct Bye {
    ByeReason reason = ByeReason::kUserClosed;
    std::string text;
    bool operator==(const Bye&) const = default;
};
struct Error {
    ErrorCode code = ErrorCode::kMalformed;
    std::string text;
    bool operator==(const Error&) const = default;
};

// The verification exchange that follows both Hellos: the dialling side commits to its nonce
// (Commit carries SHA-256 over a label and the nonce), the accepting side reveals its own, then
// the dialling side reveals the nonce it committed to.
using Digest = std::array<std::uint8_t, 32>;
struct Commit {
    Digest digest{};
    bool operator==(const Commit&) const = default;
};
struct Reveal {
    Digest nonce{};
    bool operator==(const Reveal&) const = default;
};

// The file-transfer messages are one alternative, FileMessage, whose own alternatives are the
// types from 0x0101 on (file_messages.h); the call messages likewise CallMessage, from 0x0201 on
// (call_messages.h).
using Message = std::variant<Hello, Chat, Event, Ping, Pong, Bye, Error, Commit, Reveal,
                             FileMessage, CallMessage>;

// The whole message, header included; empty when a field is beyond its limit, a text is not
// well-formed UTF-8 or a capability name is not a valid one (nothing invalid is ever sent).
std::string Encode(const Message& message);

bool IsWellFormedUtf8(std::string_view text);
// 1 to 32 bytes of lower-case letters, digits and "/._-".
bool IsCapabilityName(std::string_view name);

enum class ReadError {
    kNone,
    kTooLarge,        // a header declared more than kMaxPayload bytes
    kTruncated,       // a payload ended before its fields did
    kMalformed,       // a field out of its range
    kBadUtf8,         // a text that is not well-formed UTF-8
    kMustUnderstand,  // a type this version does not know, marked must-understand
    kHelloExpected,   // the first message was not Hello, or a second Hello came
};

// The code to put in the Error message sent before closing on a reader's error.
ErrorCode ErrorCodeFor(ReadError error);

// Cuts a byte stream, fed in pieces of any size, into messages. Holds at most one header and
// one payload of a known type, and of that only the bytes that came (never more than its
// declared length); skips the payload of an unknown optional type without keeping it. After the
// first error it takes nothing more.
class MessageReader {
public:
    // Appends the messages completed by these bytes to out; false once the stream is broken.
    bool Feed(std::string_view bytes, std::vector<Message>& out);

    ReadError error() const { return error_; }
    // The type of the message the error was found in.
    std::uint16_t error_type() const { return type_; }
    // True when the stream stopped inside a message: a connection closing now was cut short.
    bool MidMessage() const { return !header_.empty() || in_payload_; }
    // The memory held for the message being read.
    std::size_t HeldBytes() const;
    // The bytes of a file data message delivered already: later ones are read into their
    // memory rather than into new memory. A few are kept.
    void Recycle(std::string bytes);

private:
    bool Fail(ReadError error);
    bool Finish(std::vector<Message>& out);

    std::string header_;
    std::string payload_;
    std::vector<std::string> spares_;  // see Recycle
    bool in_payload_ = false;
    bool keep_ = false;  // false while skipping an unknown type
    std::uint32_t remaining_ = 0;
    std::uint16_t type_ = 0;
    bool seen_hello_ = false;
    ReadError error_ = ReadError::kNone;
};

// What both sides use: the lower of the two versions and the capabilities both named, in our
// order, each once. Empty when a side gave version 0.
struct Agreement {
    std::uint16_t version = 0;
    std::vector<std::string> capabilities;
    bool Has(std::string_view capability) const;
    bool operator==(const Agreement&) const = default;
};
std::optional<Agreement> Negotiate(const Hello& ours, const Hello& theirs);

}  // namespace quorell::session
