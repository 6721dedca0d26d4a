#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "media/signaling.h"

// The checks of everything the peer's call sends us, before any of it reaches GStreamer. Pure
// functions: no GStreamer, no sockets.
namespace quorell::media {

inline constexpr std::size_t kMaxSdpBytes = 64 * 1024;
inline constexpr std::size_t kMaxCandidateBytes = 1024;
inline constexpr std::size_t kMaxMediaLines = 2;

// The media the two sides agreed on for this call.
struct Agreement {
    bool voice = false;
    bool video = false;
};

// What a description that passed holds: the kind of each m-line, in order.
struct SdpSummary {
    std::vector<MediaKind> media;
};

// An address in its canonical text ("127.0.0.1", "fe80::1"), or nothing when the text is not
// a literal IPv4 or IPv6 address.
std::optional<std::string> CanonicalAddress(std::string_view text);

// A candidate line is taken only when it is a UDP host candidate of the peer's own address
// (canonical text), for one of the two components. `text` is "candidate:..." as it travels.
// Returns the reason of a refusal, or nothing.
std::optional<std::string> CheckCandidate(std::string_view text, const std::string& peer_address);

// A description from the peer: well formed, within the size limit, DTLS-SRTP with a fingerprint,
// media only of the agreed kinds (at most one m-line each), and every candidate inside it as
// CheckCandidate wants. When `expected` is given (an answer to our offer), its m-lines must be
// exactly those kinds in that order. Fills `summary` when it passes.
std::optional<std::string> CheckDescription(std::string_view sdp, const Agreement& agreement,
                                            const std::string& peer_address,
                                            const std::vector<MediaKind>* expected,
                                            SdpSummary* summary);

}  // namespace quorell::media
