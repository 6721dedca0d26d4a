// What the peer's call sends (a description or a candidate) to the media library's checks.
// The first byte picks which, and the media this call agreed. Whatever passes must be what
// the checks promise: within the size limits, of the agreed media only, each kind at most once,
// an answer exactly the media of our offer, a candidate a UDP host candidate of the peer.
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "media/signal_check.h"

using quorell::media::Agreement;
using quorell::media::MediaKind;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t mode = data[0];
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::string peer = (mode & 8) ? "::1" : "127.0.0.1";

    if (mode & 1) {
        const auto fault = quorell::media::CheckCandidate(text, peer);
        if (!fault) {
            FUZZ_CHECK(text.size() <= quorell::media::kMaxCandidateBytes);
            FUZZ_CHECK(text.rfind("candidate:", 0) == 0);
            FUZZ_CHECK(text.find(" typ host") != std::string::npos);
            FUZZ_CHECK(text.find('\n') == std::string::npos &&
                       text.find('\0') == std::string::npos);
        }
        FUZZ_CHECK(quorell::media::CheckCandidate(text, peer) == fault);
        return 0;
    }

    const Agreement agreement{(mode & 2) != 0, (mode & 4) != 0};
    const std::vector<MediaKind> offered =
        (mode & 16) ? std::vector<MediaKind>{MediaKind::kVoice, MediaKind::kVideo}
                    : std::vector<MediaKind>{MediaKind::kVoice};
    const bool answer = (mode & 32) != 0;
    quorell::media::SdpSummary summary;
    const auto fault = quorell::media::CheckDescription(text, agreement, peer,
                                                        answer ? &offered : nullptr, &summary);
    if (!fault) {
        FUZZ_CHECK(text.size() <= quorell::media::kMaxSdpBytes);
        FUZZ_CHECK(text.rfind("v=0", 0) == 0);
        FUZZ_CHECK(!summary.media.empty() &&
                   summary.media.size() <= quorell::media::kMaxMediaLines);
        if (summary.media.size() == 2) FUZZ_CHECK(summary.media[0] != summary.media[1]);
        for (const MediaKind kind : summary.media) {
            FUZZ_CHECK(kind == MediaKind::kVoice ? agreement.voice : agreement.video);
        }
        if (answer) FUZZ_CHECK(summary.media == offered);
    }
    return 0;
}
