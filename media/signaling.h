#pragma once

#include <string>

namespace quorell::media {

// What a call sends the peer over the session, and what the peer's call sends back: the session
// carries these as they are (its TLS authenticates the DTLS fingerprints inside the SDP).
struct Description {
    enum class Type { kOffer, kAnswer };
    Type type = Type::kOffer;
    std::string sdp;
};

// One ICE candidate line ("candidate:..." without "a=") for the m-line of that index.
struct Candidate {
    unsigned mline = 0;
    std::string text;
};

// The kinds of media a call may carry; the two sides agree on them before the call starts.
enum class MediaKind { kVoice, kVideo };

}  // namespace quorell::media
