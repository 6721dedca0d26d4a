#pragma once

// The call messages (types 0x0201..0x0206, capability "call/1"): one side invites the other to
// a voice or a video call, the other accepts or declines, then the two media engines exchange
// their descriptions and candidates until either side stops. Pure: no media, no sockets.
// docs/session-protocol.md ("Calls (call/1)") is the reference for every byte and rule.

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>

#include "session/variant_part.h"

namespace quorell::session {

inline constexpr char kCallCapability[] = "call/1";

inline constexpr std::size_t kMaxSdpBytes = 64 * 1024;
inline constexpr std::size_t kMaxCandidateBytes = 1024;
inline constexpr std::size_t kMaxCallTextBytes = 1024;
// ICE candidates name the m-line they belong to; a call has very few.
inline constexpr std::uint32_t kMaxMline = 15;

enum class CallType : std::uint16_t {
    kInvite = 0x0201,
    kAccept = 0x0202,
    kDecline = 0x0203,
    kDescription = 0x0204,
    kCandidate = 0x0205,
    kStop = 0x0206,
};

enum class CallMedia : std::uint8_t { kVoice = 1, kVideo = 2 };

// The inviting side's call id, chosen at random; every later message of the call carries it.
struct CallInvite {
    std::uint64_t call = 0;
    CallMedia media = CallMedia::kVoice;
    bool operator==(const CallInvite&) const = default;
};
struct CallAccept {
    std::uint64_t call = 0;
    bool operator==(const CallAccept&) const = default;
};
enum class CallDeclineReason : std::uint16_t {
    kUserDeclined = 1,
    kBusy = 2,         // a call of that kind runs already
    kUnavailable = 3,  // this side cannot run calls (no media engine)
};
struct CallDecline {
    std::uint64_t call = 0;
    CallDeclineReason reason = CallDeclineReason::kUserDeclined;  // unknown codes kept as came
    std::string text;
    bool operator==(const CallDecline&) const = default;
};
// The media engine's session description: the inviting side sends the offer once the call is
// accepted, the invited side the answer. 1 to kMaxSdpBytes of UTF-8.
enum class SdpKind : std::uint8_t { kOffer = 1, kAnswer = 2 };
struct CallDescription {
    std::uint64_t call = 0;
    SdpKind kind = SdpKind::kOffer;
    std::string sdp;
    bool operator==(const CallDescription&) const = default;
};
// One ICE candidate ("candidate:..." without "a="), 1 to kMaxCandidateBytes, for m-line mline
// (0 to kMaxMline).
struct CallCandidate {
    std::uint64_t call = 0;
    std::uint32_t mline = 0;
    std::string text;
    bool operator==(const CallCandidate&) const = default;
};
// Either side ends the call (or withdraws its invite); the other stops its media at once.
struct CallStop {
    std::uint64_t call = 0;
    std::string text;
    bool operator==(const CallStop&) const = default;
};

// In the order of their types, from 0x0201 on.
using CallMessage =
    std::variant<CallInvite, CallAccept, CallDecline, CallDescription, CallCandidate, CallStop>;

template <class T>
concept CallMessagePart = IsAlternativeOf<T, CallMessage>::value;

// The whole message, header included; empty when a field is out of its range (a media or an
// SDP kind this version does not know, an empty or too long SDP or candidate, an m-line beyond
// kMaxMline, a text beyond kMaxCallTextBytes, anything not well-formed UTF-8).
std::string Encode(const CallMessage& message);
template <CallMessagePart T>
std::string Encode(const T& message) {
    return Encode(CallMessage{message});
}

// The call a message belongs to.
std::uint64_t CallOf(const CallMessage& message);
// What a received call message costs to hold until it is handled.
std::size_t HeldSize(const CallMessage& message);

}  // namespace quorell::session
